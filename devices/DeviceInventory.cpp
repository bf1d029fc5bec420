#include "DeviceInventory.h"

#include "SystemLibrary.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <cfgmgr32.h>

namespace {

// The text up to the first zero unit, or all units when there is none.
std::wstring TextUpToNul(const wchar_t* text, std::size_t units)
{
    return {text, static_cast<std::size_t>(std::find(text, text + units, L'\0') - text)};
}

BYTE* Bytes(PropertyBuffer& buffer)
{
    return reinterpret_cast<BYTE*>(buffer.data());
}

constexpr DWORD PropertyBufferBytes = sizeof(PropertyBuffer);

using NodeStatusQuery = CONFIGRET(WINAPI*)(PULONG status, PULONG problem, DEVINST node, ULONG flags);

// CM_Get_DevNode_Status is CFGMGR32's. Imported through SETUPAPI, which
// forwards it there, it would have the loader look for CFGMGR32.dll beside
// the executable first, before main can restrict the search; loaded here it
// comes from System32 and nowhere else. Null when it cannot be had, which
// counts as a failed query.
NodeStatusQuery LoadNodeStatusQuery()
{
    return SystemFunction<NodeStatusQuery>(L"cfgmgr32.dll", "CM_Get_DevNode_Status");
}

std::wstring ReadDeviceText(HDEVINFO set, SP_DEVINFO_DATA& member, DWORD property)
{
    PropertyBuffer buffer{};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &member, property, nullptr, Bytes(buffer), PropertyBufferBytes,
                                           nullptr)) {
        return {};
    }
    return TextUpToNul(buffer.data(), buffer.size());
}

} // namespace

std::vector<std::wstring> ParseHardwareIds(const PropertyBuffer& buffer, DWORD type)
{
    std::vector<std::wstring> ids;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring id = TextUpToNul(buffer.data(), buffer.size());
        if (!id.empty()) {
            ids.push_back(std::move(id));
        }
        return ids;
    }
    if (type != REG_MULTI_SZ) {
        return ids;
    }
    const wchar_t* const end = buffer.data() + buffer.size();
    for (const wchar_t* next = buffer.data(); next != end && *next != L'\0';) {
        const wchar_t* const terminator = std::find(next, end, L'\0');
        // A string cut off by the end of the buffer is not a whole ID.
        if (terminator == end) {
            break;
        }
        ids.emplace_back(next, terminator);
        next = terminator + 1;
    }
    return ids;
}

std::wstring BuildDriverClassKeyPath(const std::wstring& driverKey)
{
    return L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driverKey;
}

std::wstring ReadMachineRegistryString(const std::wstring& subKey, const std::wstring& valueName)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
        return {};
    }
    std::array<wchar_t, 1040> buffer{};
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    if (RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return {};
    }
    // A value stored without its terminating zero is refused, and so is one
    // whose size is not a whole number of characters.
    if (size == 0 || size % sizeof(wchar_t) != 0 || buffer[(size / sizeof(wchar_t)) - 1] != L'\0') {
        return {};
    }
    return TextUpToNul(buffer.data(), size / sizeof(wchar_t));
}

DeviceInventory EnumeratePresentDevices()
{
    // Loaded by the first walk and kept until the process ends.
    static const NodeStatusQuery queryNodeStatus = LoadNodeStatusQuery();
    DeviceInventory inventory;
    const UniqueDeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set.IsValid()) {
        return inventory;
    }
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof(member);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.Get(), index, &member); ++index) {
        DeviceRecord record;
        PropertyBuffer idBuffer{};
        DWORD idType = 0;
        if (SetupDiGetDeviceRegistryPropertyW(set.Get(), &member, SPDRP_HARDWAREID, &idType, Bytes(idBuffer),
                                              PropertyBufferBytes, nullptr)) {
            record.hardwareIds = ParseHardwareIds(idBuffer, idType);
        }
        if (record.hardwareIds.empty()) {
            continue;
        }

        // No check uses status, problem, description or manufacturer; every poll reads them so a record is whole.
        ULONG status = 0;
        ULONG problem = 0;
        if (queryNodeStatus != nullptr && queryNodeStatus(&status, &problem, member.DevInst, 0) == CR_SUCCESS) {
            record.status = status;
            record.problem = problem;
        }

        PropertyBuffer driverKey{};
        if (SetupDiGetDeviceRegistryPropertyW(set.Get(), &member, SPDRP_DRIVER, nullptr, Bytes(driverKey),
                                              PropertyBufferBytes, nullptr)) {
            record.driverVersion = ReadMachineRegistryString(
                BuildDriverClassKeyPath(TextUpToNul(driverKey.data(), driverKey.size())), L"DriverVersion");
        }
        record.description = ReadDeviceText(set.Get(), member, SPDRP_DEVICEDESC);
        record.manufacturer = ReadDeviceText(set.Get(), member, SPDRP_MFG);
        inventory.push_back(std::move(record));
    }
    return inventory;
}
