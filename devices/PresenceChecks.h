#pragma once

#include "DeviceInventory.h"

#include <string>

// Searched for, case-sensitively, inside a device's first hardware ID.
inline constexpr wchar_t BootloaderHardwareId[] = L"USB\\VID_0483&PID_DF1";

// Whether the first record whose first hardware ID contains hardwareId has a
// driver version.
bool FirstMatchingRecordHasDriver(const DeviceInventory& inventory, const std::wstring& hardwareId);
// Whether any record whose first hardware ID contains hardwareId has a driver
// version.
bool AnyMatchingRecordHasDriver(const DeviceInventory& inventory, const std::wstring& hardwareId);

// The same checks on the devices present at the moment of the call.
bool FirstMatchingDeviceHasDriver(const std::wstring& hardwareId);
bool AnyMatchingDeviceHasDriver(const std::wstring& hardwareId);
