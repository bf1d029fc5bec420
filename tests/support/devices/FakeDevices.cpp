#include "FakeDevices.h"

#include "UniqueHandle.h"

#include <array>
#include <cstring>

namespace {

constexpr wchar_t EnumRoot[] = L"System\\CurrentControlSet\\Enum";
constexpr wchar_t ClassRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Class";

DWORD TextBytes(const std::wstring& text)
{
    return static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
}

bool KeyExists(const std::wstring& path)
{
    UniqueRegistryKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

bool WriteValue(const std::wstring& keyPath, const std::wstring& valueName, DWORD type, const void* data, DWORD size,
                bool create)
{
    UniqueRegistryKey key;
    const LONG opened = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                 nullptr, key.Put(), nullptr)
                               : RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, key.Put());
    if (opened != ERROR_SUCCESS) {
        return false;
    }
    // RegSetValueExW counts in a terminator that the caller left out when one
    // follows the data; a copy followed by non-zero bytes keeps the value
    // exactly as given.
    std::vector<BYTE> bytes(size + 2 * sizeof(wchar_t), 0xff);
    if (size != 0) {
        std::memcpy(bytes.data(), data, size);
    }
    return RegSetValueExW(key.Get(), valueName.c_str(), 0, type, bytes.data(), size) == ERROR_SUCCESS;
}

// Deletes a key with everything below it; true when it is gone.
bool DeleteTree(const std::wstring& path)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    return !KeyExists(path);
}

// Deletes the key at path when it has neither subkeys nor values, then does
// the same for its parents up to, and without, the key named stop.
void DeleteEmptyParents(std::wstring path, const std::wstring& stop)
{
    while (path.size() > stop.size()) {
        {
            UniqueRegistryKey key;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
                return;
            }
            DWORD subKeys = 0;
            DWORD values = 0;
            if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                subKeys != 0 || values != 0) {
                return;
            }
        }
        if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()) != ERROR_SUCCESS) {
            return;
        }
        const std::size_t cut = path.rfind(L'\\');
        if (cut == std::wstring::npos) {
            return;
        }
        path.resize(cut);
    }
}

std::wstring ParentPath(const std::wstring& path)
{
    const std::size_t cut = path.rfind(L'\\');
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

// The device's Driver value, empty when it has none.
std::wstring ReadDriverKey(const std::wstring& instancePath)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FakeDeviceKeyPath(instancePath).c_str(), 0, KEY_QUERY_VALUE, key.Put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::array<wchar_t, 512> buffer{};
    DWORD type = 0;
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key.Get(), L"Driver", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return buffer.data();
}

} // namespace

std::wstring FakeDeviceKeyPath(const std::wstring& instancePath)
{
    return std::wstring(EnumRoot) + L"\\" + instancePath;
}

std::wstring FakeDriverKeyPath(const std::wstring& driverKey)
{
    return std::wstring(ClassRoot) + L"\\" + driverKey;
}

std::wstring MultiString(const std::vector<std::wstring>& strings)
{
    std::wstring joined;
    for (const std::wstring& text : strings) {
        joined += text;
        joined.push_back(L'\0');
    }
    joined.push_back(L'\0');
    return joined;
}

bool RegisterFakeDevice(const std::wstring& instancePath, const std::vector<std::wstring>& hardwareIds)
{
    if (instancePath.empty() || !RemoveFakeDevice(instancePath)) {
        return false;
    }
    const std::wstring path = FakeDeviceKeyPath(instancePath);
    const std::wstring classGuid = FakeDeviceClassGuid;
    if (!WriteValue(path, L"ClassGUID", REG_SZ, classGuid.c_str(), TextBytes(classGuid), true)) {
        return false;
    }
    if (hardwareIds.empty()) {
        return true;
    }
    const std::wstring ids = MultiString(hardwareIds);
    return WriteValue(path, L"HardwareID", REG_MULTI_SZ, ids.data(), static_cast<DWORD>(ids.size() * sizeof(wchar_t)),
                      false);
}

bool SetFakeDeviceDriver(const std::wstring& instancePath, const std::wstring& driverKey,
                         const std::wstring& driverVersion)
{
    if (driverKey.empty() || !FakeDeviceExists(instancePath)) {
        return false;
    }
    return SetFakeDriverValue(driverKey, L"DriverVersion", REG_SZ, driverVersion.c_str(), TextBytes(driverVersion)) &&
           SetFakeDeviceText(instancePath, L"Driver", driverKey);
}

bool SetFakeDeviceValue(const std::wstring& instancePath, const std::wstring& valueName, DWORD type, const void* data,
                        DWORD size)
{
    return WriteValue(FakeDeviceKeyPath(instancePath), valueName, type, data, size, false);
}

bool SetFakeDeviceText(const std::wstring& instancePath, const std::wstring& valueName, const std::wstring& text)
{
    return SetFakeDeviceValue(instancePath, valueName, REG_SZ, text.c_str(), TextBytes(text));
}

bool DeleteFakeDeviceValue(const std::wstring& instancePath, const std::wstring& valueName)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FakeDeviceKeyPath(instancePath).c_str(), 0, KEY_SET_VALUE, key.Put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG deleted = RegDeleteValueW(key.Get(), valueName.c_str());
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool SetFakeDriverValue(const std::wstring& driverKey, const std::wstring& valueName, DWORD type, const void* data,
                        DWORD size)
{
    return !driverKey.empty() && WriteValue(FakeDriverKeyPath(driverKey), valueName, type, data, size, true);
}

bool RemoveFakeDevice(const std::wstring& instancePath)
{
    if (instancePath.empty()) {
        return false;
    }
    const std::wstring driverKey = ReadDriverKey(instancePath);
    const bool driverGone = driverKey.empty() || RemoveFakeDriverKey(driverKey);
    const std::wstring path = FakeDeviceKeyPath(instancePath);
    const bool deviceGone = DeleteTree(path);
    if (deviceGone) {
        DeleteEmptyParents(ParentPath(path), EnumRoot);
    }
    return driverGone && deviceGone;
}

bool RemoveFakeDriverKey(const std::wstring& driverKey)
{
    if (driverKey.empty()) {
        return false;
    }
    const std::wstring path = FakeDriverKeyPath(driverKey);
    const bool gone = DeleteTree(path);
    if (gone) {
        DeleteEmptyParents(ParentPath(path), ClassRoot);
    }
    return gone;
}

bool FakeDeviceExists(const std::wstring& instancePath)
{
    return !instancePath.empty() && KeyExists(FakeDeviceKeyPath(instancePath));
}

bool FakeDeviceScope::Register(const std::wstring& instancePath, const std::vector<std::wstring>& hardwareIds)
{
    Track(instancePath);
    return RegisterFakeDevice(instancePath, hardwareIds);
}

void FakeDeviceScope::Track(const std::wstring& instancePath)
{
    instancePaths.push_back(instancePath);
}

void FakeDeviceScope::TrackDriverKey(const std::wstring& driverKey)
{
    driverKeys.push_back(driverKey);
}

bool FakeDeviceScope::RemoveAll()
{
    bool allGone = true;
    for (const std::wstring& instancePath : instancePaths) {
        allGone = RemoveFakeDevice(instancePath) && allGone;
    }
    for (const std::wstring& driverKey : driverKeys) {
        allGone = RemoveFakeDriverKey(driverKey) && allGone;
    }
    instancePaths.clear();
    driverKeys.clear();
    return allGone;
}
