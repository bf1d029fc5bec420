// Test-only: prints what the DfuSe parser finds in a file, for the shell test
// that holds it against dfu-util's own tools. Never shipped.
//   DfuImageDump.exe <file>
// Lines: "crc <the CRC the suffix needs>", then per target
// "target <n> alt <a> name <name> elements <count>" and its
// "element <n> address 0x<address> size <size>", then
// "problem at byte <offset>: <what>". Exit 0 when sound, 1 when not, 2 when
// the file cannot be read.

#include "DfuImage.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    if (argc != 2) {
        std::fputs("usage: DfuImageDump <file>\n", stderr);
        return 2;
    }
    std::ifstream file(std::filesystem::path(argv[1]), std::ios::binary);
    if (!file) {
        std::fputs("cannot open the file\n", stderr);
        return 2;
    }
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const DfuSeImage parsed = ReadDfuSeImage(image);
    const std::size_t crcLength = image.size() < 4 ? 0 : image.size() - 4;
    std::array<char, 16> hex{};
    std::snprintf(hex.data(), hex.size(), "%08X", static_cast<unsigned>(Crc32Register(image.data(), crcLength)));
    std::string text = "crc " + std::string(hex.data()) + "\n";
    for (std::size_t index = 0; index < parsed.targets.size(); ++index) {
        const DfuTarget& target = parsed.targets[index];
        text += "target " + std::to_string(index) + " alt " + std::to_string(target.alternateSetting) + " name " +
                target.name + " elements " + std::to_string(target.elements.size()) + "\n";
        for (std::size_t element = 0; element < target.elements.size(); ++element) {
            std::snprintf(hex.data(), hex.size(), "0x%08x", static_cast<unsigned>(target.elements[element].address));
            text += "element " + std::to_string(element) + " address " + hex.data() + " size " +
                    std::to_string(target.elements[element].size) + "\n";
        }
    }
    for (const DfuProblem& problem : parsed.problems) {
        text += "problem at byte " + std::to_string(problem.offset) + ": " + problem.what + "\n";
    }
    std::fputs(text.c_str(), stdout);
    return parsed.problems.empty() ? 0 : 1;
}
