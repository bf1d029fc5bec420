#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One present device with at least one hardware ID.
struct DeviceRecord {
    std::vector<std::wstring> hardwareIds;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    std::wstring description;
    std::wstring manufacturer;
    // Empty when no driver version could be read: no driver is installed.
    std::wstring driverVersion;
};

// The present devices in the order the Setup API enumerates them.
using DeviceInventory = std::vector<DeviceRecord>;

// A device property is read into 512 bytes, never sized first; a property
// that does not fit counts as absent.
using PropertyBuffer = std::array<wchar_t, 256>;

// Walks every present device of every setup class.
DeviceInventory EnumeratePresentDevices();

// The text of a REG_SZ or REG_EXPAND_SZ value (unexpanded) under
// HKEY_LOCAL_MACHINE, read through 2080 bytes; empty when the key or value is
// missing, too large, of another type, of odd size or not zero-terminated.
std::wstring ReadMachineRegistryString(const std::wstring& subKey, const std::wstring& valueName);

// "SYSTEM\CurrentControlSet\Control\Class\" followed by the driver key.
std::wstring BuildDriverClassKeyPath(const std::wstring& driverKey);

// The IDs of a hardware-ID property as the Setup API returned it: the strings
// of a REG_MULTI_SZ up to its empty string, or the one text of a REG_SZ or
// REG_EXPAND_SZ; nothing for any other type. Never reads past the buffer.
std::vector<std::wstring> ParseHardwareIds(const PropertyBuffer& buffer, DWORD type);
