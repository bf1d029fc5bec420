#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Serial port names in the order the system lists them, duplicates kept.
using PortNameList = std::vector<std::wstring>;

// Appends the data of every value under HKLM\Hardware\DeviceMap\SerialComm to
// the list and returns how many entries were appended; 0 when the key cannot
// be opened.
std::uint32_t ReadSerialPortNames(PortNameList& list);
