#include "DeviceTestSupport.h"

#include "UniqueHandle.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>

namespace {

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

// The set member of the device at instancePath, looked up by walking the set
// as the inventory does.
bool FindMember(HDEVINFO set, const std::wstring& instancePath, SP_DEVINFO_DATA& member)
{
    const std::wstring wanted = Upper(instancePath);
    member = {};
    member.cbSize = sizeof(member);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &member); ++index) {
        wchar_t id[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &member, id, 512, nullptr) && Upper(id) == wanted) {
            return true;
        }
    }
    return false;
}

// The set of present devices, and in it the device at instancePath when it
// is listed.
struct ListedDevice {
    explicit ListedDevice(const std::wstring& instancePath)
        : set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)),
          found(set.IsValid() && FindMember(set.Get(), instancePath, member))
    {
    }

    UniqueDeviceInfoSet set;
    SP_DEVINFO_DATA member{};
    bool found;
};

} // namespace

std::wstring TestInstancePath(const std::wstring& name)
{
    return L"USB\\VID_F0E1&PID_7E57\\DEVTEST_" + name;
}

std::wstring TestHardwareId(const std::wstring& name)
{
    return L"USB\\VID_F0E1&PID_7E57&DEVTEST_" + name;
}

std::wstring TestDescription(const std::wstring& name)
{
    return L"Device test " + name;
}

std::wstring TestDriverKey(int number)
{
    wchar_t instance[8] = {};
    swprintf(instance, 8, L"%04d", number);
    return std::wstring(L"{f0e17e57-0000-4000-8000-de71ce7e5700}\\") + instance;
}

std::vector<BYTE> Utf16Bytes(const std::wstring& text)
{
    const auto* first = reinterpret_cast<const BYTE*>(text.data());
    return {first, first + text.size() * sizeof(wchar_t)};
}

std::vector<BYTE> TerminatedBytes(const std::wstring& text)
{
    return Utf16Bytes(text + L'\0');
}

std::wstring PatternText(std::size_t count)
{
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(static_cast<wchar_t>(L'0' + i % 10));
    }
    return text;
}

std::vector<const DeviceRecord*> RecordsNamed(const DeviceInventory& inventory, const std::wstring& name)
{
    std::vector<const DeviceRecord*> records;
    for (const DeviceRecord& record : inventory) {
        if (record.description == TestDescription(name)) {
            records.push_back(&record);
        }
    }
    return records;
}

int RecordIndexById(const DeviceInventory& inventory, const std::wstring& id)
{
    for (std::size_t index = 0; index < inventory.size(); ++index) {
        if (!inventory[index].hardwareIds.empty() && inventory[index].hardwareIds.front() == id) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

std::vector<std::wstring> ListedInstanceIds()
{
    std::vector<std::wstring> ids;
    const UniqueDeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set.IsValid()) {
        return ids;
    }
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof(member);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.Get(), index, &member); ++index) {
        wchar_t id[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set.Get(), &member, id, 512, nullptr)) {
            ids.push_back(Upper(id));
        }
    }
    return ids;
}

RawProperty ReadRawProperty(const std::wstring& instancePath, DWORD property)
{
    RawProperty result;
    ListedDevice device(instancePath);
    if (!device.found) {
        return result;
    }
    result.found = true;
    std::vector<BYTE> buffer(512);
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    result.read = SetupDiGetDeviceRegistryPropertyW(device.set.Get(), &device.member, property, &result.type,
                                                    buffer.data(), static_cast<DWORD>(buffer.size()), &size) != FALSE;
    result.error = result.read ? 0 : GetLastError();
    if (result.read) {
        buffer.resize(std::min<std::size_t>(size, buffer.size()));
        result.data = std::move(buffer);
    }
    return result;
}

NodeStatus QueryNodeStatus(const std::wstring& instancePath)
{
    NodeStatus result;
    const ListedDevice device(instancePath);
    result.found = device.found;
    ULONG status = 0;
    ULONG problem = 0;
    if (device.found && CM_Get_DevNode_Status(&status, &problem, device.member.DevInst, 0) == CR_SUCCESS) {
        result.status = status;
        result.problem = problem;
    }
    return result;
}

ScopedMachineValue::ScopedMachineValue(std::wstring subKey, std::wstring valueName, DWORD type,
                                       const std::vector<BYTE>& data)
    : subKey(std::move(subKey)), valueName(std::move(valueName))
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, this->subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.Put()) !=
        ERROR_SUCCESS) {
        return;
    }
    // A value that is there already is not ours to overwrite or delete.
    if (RegQueryValueExW(key.Get(), this->valueName.c_str(), nullptr, nullptr, nullptr, nullptr) !=
        ERROR_FILE_NOT_FOUND) {
        return;
    }
    set = RegSetValueExW(key.Get(), this->valueName.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())) ==
          ERROR_SUCCESS;
}

ScopedMachineValue::~ScopedMachineValue()
{
    if (!set) {
        return;
    }
    UniqueRegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_SET_VALUE, key.Put()) == ERROR_SUCCESS) {
        RegDeleteValueW(key.Get(), valueName.c_str());
    }
}
