#pragma once

// Devices that the Setup API lists, made for tests by writing the registry
// keys it reads: HKLM\System\CurrentControlSet\Enum\<bus>\<device>\<instance>
// with a braced ClassGUID, HardwareID, DeviceDesc, Mfg and Driver, and the
// driver's HKLM\SYSTEM\CurrentControlSet\Control\Class\<driverKey>.
//
// The keys outlive the wineserver, so every device a test registers must be
// removed again; FakeDeviceScope does that on every path. Tests that register
// devices in the shared bench prefix hold the CTest resource lock "Devices".
//
// The Setup API lists the devices in the order of their key names (bus,
// then device, then instance), not in the order they were registered.

#include <windows.h>

#include <string>
#include <vector>

// The setup class every fake device is registered in (the USB class).
inline constexpr wchar_t FakeDeviceClassGuid[] = L"{36fc9e60-c465-11cf-8056-444553540000}";

// "System\CurrentControlSet\Enum\" followed by the instance path.
std::wstring FakeDeviceKeyPath(const std::wstring& instancePath);
// "SYSTEM\CurrentControlSet\Control\Class\" followed by the driver key.
std::wstring FakeDriverKeyPath(const std::wstring& driverKey);

// The strings, each followed by its zero, and the closing empty string: the
// data of a REG_MULTI_SZ value (its size in bytes is the length * 2).
std::wstring MultiString(const std::vector<std::wstring>& strings);

// Registers HKLM\System\CurrentControlSet\Enum\<instancePath> (e.g.
// L"USB\\VID_0483&PID_DF11\\SIM0001") with FakeDeviceClassGuid and the
// HardwareID value (REG_MULTI_SZ of the given IDs, in order). With no IDs the
// device gets no HardwareID value at all, so reading that property fails.
// A device left at that path earlier is removed first, driver included.
bool RegisterFakeDevice(const std::wstring& instancePath, const std::vector<std::wstring>& hardwareIds);

// Gives the device a driver: its Driver value names <driverKey> (e.g.
// L"{guid}\\0042") and HKLM\SYSTEM\CurrentControlSet\Control\Class\<driverKey>
// gets DriverVersion = driverVersion (REG_SZ).
bool SetFakeDeviceDriver(const std::wstring& instancePath, const std::wstring& driverKey,
                         const std::wstring& driverVersion);

// Writes one value of the device's key exactly as given (type, bytes), for
// properties of odd types or sizes; the key must exist.
bool SetFakeDeviceValue(const std::wstring& instancePath, const std::wstring& valueName, DWORD type, const void* data,
                        DWORD size);
// Writes one REG_SZ value of the device's key, with its terminating zero
// (e.g. L"DeviceDesc", L"Mfg").
bool SetFakeDeviceText(const std::wstring& instancePath, const std::wstring& valueName, const std::wstring& text);
// Deletes one value of the device's key; true when it is gone.
bool DeleteFakeDeviceValue(const std::wstring& instancePath, const std::wstring& valueName);

// Writes one value of the driver's class key exactly as given, creating the
// key; the device's Driver value is not touched.
bool SetFakeDriverValue(const std::wstring& driverKey, const std::wstring& valueName, DWORD type, const void* data,
                        DWORD size);

// Removes the device's Enum key and, when it names one, its driver's class
// key, and then those of their parent keys that were left empty. True when
// nothing of it remains (also when it never existed).
bool RemoveFakeDevice(const std::wstring& instancePath);
// Removes a driver's class key (and its class's key when left empty). True
// when it is gone.
bool RemoveFakeDriverKey(const std::wstring& driverKey);

// Whether the device's Enum key exists.
bool FakeDeviceExists(const std::wstring& instancePath);

// Removes, when it ends, every device and driver key it was told about.
class FakeDeviceScope {
public:
    FakeDeviceScope() = default;
    FakeDeviceScope(const FakeDeviceScope&) = delete;
    FakeDeviceScope& operator=(const FakeDeviceScope&) = delete;
    FakeDeviceScope(FakeDeviceScope&&) = delete;
    FakeDeviceScope& operator=(FakeDeviceScope&&) = delete;
    ~FakeDeviceScope() { RemoveAll(); }

    // RegisterFakeDevice, with the device removed at the end of the scope
    // even when the registration failed half-way.
    bool Register(const std::wstring& instancePath, const std::vector<std::wstring>& hardwareIds);
    // Removes a device written by other means at the end of the scope.
    void Track(const std::wstring& instancePath);
    // Removes a driver class key written on its own at the end of the scope.
    void TrackDriverKey(const std::wstring& driverKey);
    // Removes everything tracked now; true when nothing of it remains.
    bool RemoveAll();

private:
    std::vector<std::wstring> instancePaths;
    std::vector<std::wstring> driverKeys;
};
