#pragma once

// The headers and import table of a PE image file, read from its bytes with
// every offset checked against the file, so that a damaged or hostile file
// gives a problem and never a read past its end.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint16_t PeMachineAmd64 = 0x8664;
inline constexpr std::uint16_t PeOptionalMagic64 = 0x020B; // PE32+
inline constexpr std::uint16_t PeSubsystemConsole = 3;
inline constexpr std::uint16_t PeCharacteristicDll = 0x2000;

// One function taken from a DLL: by name, or by ordinal when name is empty.
struct PeImportedFunction {
    std::string name;
    std::uint16_t ordinal = 0;
};

struct PeImport {
    std::string dll;
    std::vector<PeImportedFunction> functions;
};

struct PeImage {
    // Empty when the headers and the import table could be read.
    std::string problem;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optionalMagic = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dllCharacteristics = 0;
    // The import directory: each DLL as written there, with what is taken
    // from it.
    std::vector<PeImport> imports;
};

PeImage ReadPeImage(const std::vector<std::uint8_t>& file);
