#pragma once

#include "SerialConnection.h"

#include <array>
#include <cstdint>

// The frame that restarts the touchpad into its USB bootloader.
inline constexpr std::array<std::uint8_t, 11> BootloaderEntryCommand = {0x0E, 0x00, 0x00, 0x01, 0x00, 0x00,
                                                                        0x00, 0x00, 0x00, 0x01, 0xED};

inline constexpr std::uint32_t CommandTimeoutMs = 1000;
inline constexpr std::uint32_t ReplyLength = 5;

// Writes the frame and then reads up to five reply bytes, each within one
// second. True when the frame was written; the reply is not looked at.
bool SendBootloaderEntryCommand(SerialConnection& connection);
