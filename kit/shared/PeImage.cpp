#include "PeImage.h"

#include "ByteFields.h"

#include <cstddef>

namespace {

constexpr std::size_t DosLfanewOffset = 0x3C;
constexpr std::size_t CoffHeaderLength = 20;
constexpr std::size_t SectionHeaderLength = 40;
constexpr std::size_t ImportDescriptorLength = 20;
constexpr std::size_t DelayDescriptorLength = 32;
constexpr std::size_t ExportDirectoryLength = 40;
// Offsets inside the PE32+ optional header.
constexpr std::size_t OptionalSubsystem = 68;
constexpr std::size_t OptionalDllCharacteristics = 70;
constexpr std::size_t OptionalDirectoryCount = 108;
constexpr std::size_t OptionalDirectories = 112;
constexpr std::size_t ExportDirectoryIndex = 0;
constexpr std::size_t ImportDirectoryIndex = 1;
constexpr std::size_t DelayImportDirectoryIndex = 13;
// A delay-import descriptor whose fields are relative virtual addresses; the
// delay-load helpers of today's linkers refuse the old form, whose fields are
// virtual addresses.
constexpr std::uint32_t DelayAttributeRva = 1;
// Longer than any DLL name the loader takes.
constexpr std::size_t MaxDllNameLength = 256;
// Longer than any exported name a linker writes.
constexpr std::size_t MaxFunctionNameLength = 4096;
constexpr std::uint64_t ImportByOrdinal = 0x8000000000000000ULL;
// More imports from one DLL than any real image has: a lookup table without
// its zero end is a damaged file, not a long list.
constexpr std::size_t MaxFunctionsPerDll = 65536;
// Import ordinals have 16 bits: an export table with more entries than that
// is a damaged file.
constexpr std::uint32_t MaxExports = 65536;

// Little-endian reads that fail instead of reading past the end.
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes(bytes) {}

    [[nodiscard]] bool Has(std::size_t offset, std::size_t count) const
    {
        return offset <= bytes.size() && count <= bytes.size() - offset;
    }
    bool Read16(std::size_t offset, std::uint16_t& value) const
    {
        if (!Has(offset, 2)) {
            return false;
        }
        value = ::Read16(bytes.data() + offset);
        return true;
    }
    bool Read32(std::size_t offset, std::uint32_t& value) const
    {
        if (!Has(offset, 4)) {
            return false;
        }
        value = ::Read32(bytes.data() + offset);
        return true;
    }
    bool Read64(std::size_t offset, std::uint64_t& value) const
    {
        std::uint32_t low = 0;
        std::uint32_t high = 0;
        if (!Read32(offset, low) || !Read32(offset + 4, high)) {
            return false;
        }
        value = (static_cast<std::uint64_t>(high) << 32U) | low;
        return true;
    }
    // A zero-terminated ASCII text of at most `limit` characters.
    bool ReadText(std::size_t offset, std::size_t limit, std::string& text) const
    {
        text.clear();
        for (std::size_t index = offset; index < bytes.size() && text.size() <= limit; ++index) {
            if (bytes[index] == 0) {
                return true;
            }
            text.push_back(static_cast<char>(bytes[index]));
        }
        return false;
    }

private:
    const std::vector<std::uint8_t>& bytes;
};

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
};

// The file offset of a relative virtual address, or false when no section
// holds it in the file.
bool FileOffset(const std::vector<Section>& sections, std::uint32_t rva, std::size_t& offset)
{
    for (const Section& section : sections) {
        const std::uint64_t start = section.virtualAddress;
        if (rva >= start && rva - start < section.rawSize) {
            offset = static_cast<std::size_t>(section.rawOffset) + (rva - section.virtualAddress);
            return true;
        }
    }
    return false;
}

// The functions named by one DLL's lookup table (the import name table, or
// the address table where a linker left the former out): 64-bit entries up to
// a zero one, each an ordinal or the address of a hint and a name.
std::string ReadImportedFunctions(const Reader& reader, const std::vector<Section>& sections, std::uint32_t tableRva,
                                  PeImport& import)
{
    std::size_t entry = 0;
    if (!FileOffset(sections, tableRva, entry)) {
        return "import lookup table of " + import.dll + " outside every section";
    }
    for (;; entry += 8) {
        std::uint64_t value = 0;
        if (!reader.Read64(entry, value)) {
            return "import lookup table of " + import.dll + " runs past the end of the file";
        }
        if (value == 0) {
            return {};
        }
        if (import.functions.size() == MaxFunctionsPerDll) {
            return "import lookup table of " + import.dll + " has no end";
        }
        PeImportedFunction function;
        if ((value & ImportByOrdinal) != 0) {
            function.ordinal = static_cast<std::uint16_t>(value & 0xFFFFU);
        } else {
            std::size_t hint = 0;
            if ((value >> 31U) != 0 || !FileOffset(sections, static_cast<std::uint32_t>(value), hint) ||
                !reader.ReadText(hint + 2, MaxFunctionNameLength, function.name) || function.name.empty()) {
                return "unreadable function name " + std::to_string(import.functions.size()) + " imported from " +
                       import.dll;
            }
        }
        import.functions.push_back(std::move(function));
    }
}

// One DLL named by an import or delay-import descriptor, with its functions.
std::string ReadImport(const Reader& reader, const std::vector<Section>& sections, std::uint32_t nameRva,
                       std::uint32_t tableRva, const std::string& kind, std::vector<PeImport>& imports)
{
    std::size_t nameOffset = 0;
    PeImport import;
    if (!FileOffset(sections, nameRva, nameOffset) || !reader.ReadText(nameOffset, MaxDllNameLength, import.dll) ||
        import.dll.empty()) {
        return "unreadable DLL name in " + kind + " " + std::to_string(imports.size());
    }
    std::string problem = ReadImportedFunctions(reader, sections, tableRva, import);
    if (!problem.empty()) {
        return problem;
    }
    imports.push_back(std::move(import));
    return {};
}

// The import directory (20-byte descriptors up to a zero one, naming a DLL,
// its lookup table and its address table) or the delay-import directory
// (32-byte descriptors up to one without a DLL name, naming the DLL and its
// import name table).
std::string ReadImportDirectory(const Reader& reader, const std::vector<Section>& sections, std::uint32_t directoryRva,
                                bool delayed, std::vector<PeImport>& imports)
{
    const std::string kind = delayed ? "delay-import" : "import";
    const std::size_t length = delayed ? DelayDescriptorLength : ImportDescriptorLength;
    std::size_t descriptor = 0;
    if (!FileOffset(sections, directoryRva, descriptor)) {
        return kind + " directory outside every section";
    }
    for (;; descriptor += length) {
        if (!reader.Has(descriptor, length)) {
            return kind + " directory runs past the end of the file";
        }
        std::uint32_t first = 0; // the lookup table, or the delay-import attributes
        std::uint32_t nameRva = 0;
        std::uint32_t table = 0; // the address table, or the delay-import name table
        reader.Read32(descriptor, first);
        reader.Read32(descriptor + (delayed ? 4 : 12), nameRva);
        reader.Read32(descriptor + 16, table);
        if (delayed ? nameRva == 0 : (first == 0 && nameRva == 0 && table == 0)) {
            return {};
        }
        if (delayed && (first & DelayAttributeRva) == 0) {
            return "delay-import " + std::to_string(imports.size()) +
                   " has the old form with virtual addresses, which no delay-load helper of today takes";
        }
        std::string problem =
            ReadImport(reader, sections, nameRva, delayed || first == 0 ? table : first, kind, imports);
        if (!problem.empty()) {
            return problem;
        }
    }
}

// The export directory: the address table by ordinal (an entry inside the
// directory's own range is a forwarder's text), and the names with their
// ordinals.
std::string ReadExports(const Reader& reader, const std::vector<Section>& sections, std::uint32_t directoryRva,
                        std::uint32_t directorySize, PeExports& exports)
{
    std::size_t directory = 0;
    if (!FileOffset(sections, directoryRva, directory) || !reader.Has(directory, ExportDirectoryLength)) {
        return "export directory outside the file";
    }
    std::uint32_t ordinalBase = 0;
    std::uint32_t functionCount = 0;
    std::uint32_t nameCount = 0;
    std::uint32_t functionsRva = 0;
    std::uint32_t namesRva = 0;
    std::uint32_t nameOrdinalsRva = 0;
    reader.Read32(directory + 16, ordinalBase);
    reader.Read32(directory + 20, functionCount);
    reader.Read32(directory + 24, nameCount);
    reader.Read32(directory + 28, functionsRva);
    reader.Read32(directory + 32, namesRva);
    reader.Read32(directory + 36, nameOrdinalsRva);
    if (functionCount > MaxExports || nameCount > MaxExports) {
        return "export table with " + std::to_string(functionCount) + " functions and " + std::to_string(nameCount) +
               " names";
    }
    std::size_t functions = 0;
    std::size_t names = 0;
    std::size_t nameOrdinals = 0;
    if ((functionCount != 0 &&
         (!FileOffset(sections, functionsRva, functions) || !reader.Has(functions, std::size_t{functionCount} * 4))) ||
        (nameCount != 0 && (!FileOffset(sections, namesRva, names) || !reader.Has(names, std::size_t{nameCount} * 4) ||
                            !FileOffset(sections, nameOrdinalsRva, nameOrdinals) ||
                            !reader.Has(nameOrdinals, std::size_t{nameCount} * 2)))) {
        return "export tables outside the file";
    }
    for (std::uint32_t index = 0; index < functionCount; ++index) {
        std::uint32_t rva = 0;
        reader.Read32(functions + std::size_t{index} * 4, rva);
        if (rva == 0) {
            continue; // no export at this ordinal
        }
        std::string forwarder;
        std::size_t text = 0;
        if (rva - directoryRva < directorySize &&
            (!FileOffset(sections, rva, text) ||
             !reader.ReadText(text, MaxDllNameLength + MaxFunctionNameLength, forwarder))) {
            return "unreadable forwarder of export ordinal " + std::to_string(std::uint64_t{ordinalBase} + index);
        }
        exports.byOrdinal.emplace(ordinalBase + index, std::move(forwarder));
    }
    for (std::uint32_t index = 0; index < nameCount; ++index) {
        std::uint32_t nameRva = 0;
        std::uint16_t ordinal = 0;
        reader.Read32(names + std::size_t{index} * 4, nameRva);
        reader.Read16(nameOrdinals + std::size_t{index} * 2, ordinal);
        std::size_t text = 0;
        std::string name;
        if (!FileOffset(sections, nameRva, text) || !reader.ReadText(text, MaxFunctionNameLength, name)) {
            return "unreadable export name " + std::to_string(index);
        }
        // A name whose ordinal is past the address table exports nothing:
        // the loader cannot bind it.
        if (ordinal < functionCount) {
            exports.byName.emplace(std::move(name), ordinalBase + ordinal);
        }
    }
    return {};
}

} // namespace

PeImage ReadPeImage(const std::vector<std::uint8_t>& file)
{
    PeImage image;
    const Reader reader(file);
    std::uint32_t peOffset = 0;
    if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z' || !reader.Read32(DosLfanewOffset, peOffset)) {
        image.problem = "not a Windows program (no MZ header)";
        return image;
    }
    const std::size_t coff = static_cast<std::size_t>(peOffset) + 4;
    if (!reader.Has(peOffset, 4 + CoffHeaderLength) || file[peOffset] != 'P' || file[peOffset + 1] != 'E' ||
        file[peOffset + 2] != 0 || file[peOffset + 3] != 0) {
        image.problem = "not a Windows program (no PE header)";
        return image;
    }
    std::uint16_t sectionCount = 0;
    std::uint16_t optionalLength = 0;
    reader.Read16(coff, image.machine);
    reader.Read16(coff + 2, sectionCount);
    reader.Read16(coff + 16, optionalLength);
    reader.Read16(coff + 18, image.characteristics);
    const std::size_t optional = coff + CoffHeaderLength;
    if (!reader.Has(optional, optionalLength) || !reader.Read16(optional, image.optionalMagic)) {
        image.problem = "optional header runs past the end of the file";
        return image;
    }
    if (image.optionalMagic != PeOptionalMagic64) {
        // A 32-bit image: its header is laid out differently.
        return image;
    }
    std::uint32_t directoryCount = 0;
    if (optionalLength < OptionalDirectories || !reader.Read16(optional + OptionalSubsystem, image.subsystem) ||
        !reader.Read16(optional + OptionalDllCharacteristics, image.dllCharacteristics) ||
        !reader.Read32(optional + OptionalDirectoryCount, directoryCount)) {
        image.problem = "optional header too short";
        return image;
    }

    std::vector<Section> sections;
    const std::size_t sectionTable = optional + optionalLength;
    if (!reader.Has(sectionTable, static_cast<std::size_t>(sectionCount) * SectionHeaderLength)) {
        image.problem = "section table runs past the end of the file";
        return image;
    }
    for (std::size_t index = 0; index < sectionCount; ++index) {
        const std::size_t header = sectionTable + index * SectionHeaderLength;
        Section section;
        reader.Read32(header + 8, section.virtualSize);
        reader.Read32(header + 12, section.virtualAddress);
        reader.Read32(header + 16, section.rawSize);
        reader.Read32(header + 20, section.rawOffset);
        // Only the part that is in the file can be read.
        if (!reader.Has(section.rawOffset, section.rawSize)) {
            image.problem = "section " + std::to_string(index) + " runs past the end of the file";
            return image;
        }
        sections.push_back(section);
    }

    // A directory entry that the header does not hold, or that is zero,
    // means the image has no such table.
    const auto directory = [&](std::size_t index, std::uint32_t& rva, std::uint32_t& size) {
        const std::size_t entry = optional + OptionalDirectories + index * 8;
        rva = 0;
        size = 0;
        return directoryCount > index && entry + 8 <= sectionTable && reader.Read32(entry, rva) &&
               reader.Read32(entry + 4, size) && rva != 0;
    };
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
    if (directory(ImportDirectoryIndex, rva, size)) {
        image.problem = ReadImportDirectory(reader, sections, rva, false, image.imports);
    }
    if (image.problem.empty() && directory(DelayImportDirectoryIndex, rva, size)) {
        image.problem = ReadImportDirectory(reader, sections, rva, true, image.delayImports);
    }
    if (image.problem.empty() && directory(ExportDirectoryIndex, rva, size)) {
        image.problem = ReadExports(reader, sections, rva, size, image.exports);
    }
    return image;
}

const std::string* FindExport(const PeExports& exports, const PeImportedFunction& function)
{
    std::uint32_t ordinal = function.ordinal;
    if (!function.name.empty()) {
        const auto named = exports.byName.find(function.name);
        if (named == exports.byName.end()) {
            return nullptr;
        }
        ordinal = named->second;
    }
    const auto found = exports.byOrdinal.find(ordinal);
    return found == exports.byOrdinal.end() ? nullptr : &found->second;
}
