#pragma once

#include "DeviceInventory.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Every device these tests register sits under one device key of its own, so
// that its instances never collide with Wine's devices or another suite's, and
// carries its name in its hardware ID and description, so that a record can
// be traced back to the device it came from.
std::wstring TestInstancePath(const std::wstring& name);
std::wstring TestHardwareId(const std::wstring& name);
std::wstring TestDescription(const std::wstring& name);
// A driver key of the tests' own setup class, e.g. L"{...}\\0003".
std::wstring TestDriverKey(int number);

// The bytes of the text, without a terminator unless the text holds one.
std::vector<BYTE> Utf16Bytes(const std::wstring& text);
// The text with its terminating zero, as bytes.
std::vector<BYTE> TerminatedBytes(const std::wstring& text);
// count characters of a repeating digit pattern.
std::wstring PatternText(std::size_t count);

// The records of the inventory whose description is TestDescription(name).
std::vector<const DeviceRecord*> RecordsNamed(const DeviceInventory& inventory, const std::wstring& name);
// The position of the first record whose first hardware ID equals id, or -1.
int RecordIndexById(const DeviceInventory& inventory, const std::wstring& id);

// Instance IDs (upper case, as the Setup API reports them) in the order in
// which SetupDiEnumDeviceInfo lists the present devices.
std::vector<std::wstring> ListedInstanceIds();

// One property of one device read straight from the Setup API into 512
// bytes, with the error of a failed read.
struct RawProperty {
    bool found = false; // the device is listed at all
    bool read = false;
    DWORD error = 0;
    DWORD type = 0;
    std::vector<BYTE> data;
};
RawProperty ReadRawProperty(const std::wstring& instancePath, DWORD property);

// The status bits and problem number the system reports for a device's node,
// zero where it reports none or the query fails.
struct NodeStatus {
    bool found = false; // the device is listed at all
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
};
NodeStatus QueryNodeStatus(const std::wstring& instancePath);

// Sets one value of a key under HKEY_LOCAL_MACHINE that must not hold it yet
// and deletes it again at the end of the scope.
class ScopedMachineValue {
public:
    ScopedMachineValue(std::wstring subKey, std::wstring valueName, DWORD type, const std::vector<BYTE>& data);
    ScopedMachineValue(const ScopedMachineValue&) = delete;
    ScopedMachineValue& operator=(const ScopedMachineValue&) = delete;
    ScopedMachineValue(ScopedMachineValue&&) = delete;
    ScopedMachineValue& operator=(ScopedMachineValue&&) = delete;
    ~ScopedMachineValue();

    [[nodiscard]] bool IsSet() const { return set; }

private:
    std::wstring subKey;
    std::wstring valueName;
    bool set = false;
};
