#pragma once

// The headers, import and delay-import tables and export table of a PE image
// file, read from its bytes with every offset checked against the file, so
// that a damaged or hostile file gives a problem and never a read past its
// end.

#include <cstdint>
#include <map>
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

// What an image exports, by the ordinals that imports name (the ordinal base
// added) and by name.
struct PeExports {
    // Each exported ordinal, with its forwarder ("DLL.Function" or
    // "DLL.#ordinal") when the loader takes it from another DLL, else empty.
    std::map<std::uint32_t, std::string> byOrdinal;
    // Each exported name and the ordinal it stands for.
    std::map<std::string, std::uint32_t> byName;
};

struct PeImage {
    // Empty when the headers and the import, delay-import and export tables
    // could be read; an image without such a table reads as one without
    // imports or exports.
    std::string problem;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optionalMagic = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dllCharacteristics = 0;
    // The import directory: each DLL as written there, with what is taken
    // from it.
    std::vector<PeImport> imports;
    // The delay-import directory, likewise: DLLs loaded at the first call
    // into them.
    std::vector<PeImport> delayImports;
    PeExports exports;
};

PeImage ReadPeImage(const std::vector<std::uint8_t>& file);

// The export that an import names, or null when the image lacks it. The
// loader matches names exactly, case included.
const std::string* FindExport(const PeExports& exports, const PeImportedFunction& function);
