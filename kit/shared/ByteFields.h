#pragma once

// Little-endian fields of the file formats the kit checker reads (DFU, PE),
// and the hex text its reports show them in. Callers check the bounds.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

inline std::uint16_t Read16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t Read32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// Upper-case hex digits, zero-padded to `digits`, without "0x".
inline std::string Hex(std::uint32_t value, int digits)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%0*X", digits, static_cast<unsigned>(value));
    return text.data();
}
