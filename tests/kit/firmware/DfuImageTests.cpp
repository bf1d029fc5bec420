// The DfuSe parser against images composed here: sound ones by the
// conventions of different tools, one broken field per refusal, and files cut
// or given huge counts, which must be reported and never read past.

#include "DfuImage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& bytes, std::uint32_t value, int count)
{
    for (int index = 0; index < count; ++index, value >>= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }
}

void Set(Bytes& bytes, std::size_t offset, std::uint32_t value, int count)
{
    for (int index = 0; index < count; ++index, value >>= 8) {
        bytes.at(offset + static_cast<std::size_t>(index)) = static_cast<std::uint8_t>(value & 0xFF);
    }
}

void Set32(Bytes& bytes, std::size_t offset, std::uint32_t value)
{
    Set(bytes, offset, value, 4);
}

std::string Hex(std::uint32_t value)
{
    std::array<char, 9> text{};
    std::snprintf(text.data(), text.size(), "%08X", static_cast<unsigned>(value));
    return text.data();
}

// Lays out targets and elements and records where the parser should find them.
class Composer {
public:
    Composer& Target(std::uint8_t alternateSetting = 0, std::string name = "Internal Flash", bool named = true)
    {
        targets.push_back({0, alternateSetting, named ? name : std::string(), {}});
        names.push_back(std::move(name));
        return *this;
    }
    Composer& Element(std::uint32_t address, std::uint32_t size)
    {
        targets.back().elements.push_back({0, address, size});
        return *this;
    }
    // The prefix and targets, DFUImageSize counting the suffix or not.
    Bytes Body(bool sizeWithSuffix = false)
    {
        Bytes bytes{'D', 'f', 'u', 'S', 'e', 1, 0, 0, 0, 0, static_cast<std::uint8_t>(targets.size())};
        for (std::size_t index = 0; index < targets.size(); ++index) {
            DfuTarget& target = targets[index];
            target.offset = bytes.size();
            bytes.insert(bytes.end(), {'T', 'a', 'r', 'g', 'e', 't', target.alternateSetting});
            Put(bytes, target.name.empty() ? 0 : 1, 4);
            std::string field = names[index];
            field.resize(255, '\0');
            bytes.insert(bytes.end(), field.begin(), field.end());
            const std::size_t sizeField = bytes.size();
            Put(bytes, 0, 4);
            Put(bytes, static_cast<std::uint32_t>(target.elements.size()), 4);
            for (DfuElement& element : target.elements) {
                element.offset = bytes.size();
                Put(bytes, element.address, 4);
                Put(bytes, element.size, 4);
                for (std::uint32_t byte = 0; byte < element.size; ++byte) {
                    bytes.push_back(static_cast<std::uint8_t>(std::size_t{byte} * 7 + index));
                }
            }
            Set32(bytes, sizeField, static_cast<std::uint32_t>(bytes.size() - sizeField - 8));
        }
        Set32(bytes, 6, static_cast<std::uint32_t>(bytes.size() + (sizeWithSuffix ? DfuSuffixLength : 0)));
        return bytes;
    }
    std::vector<DfuTarget> targets;
    std::vector<std::string> names;
};

// Appends the suffix for the bootloader with the CRC the file needs.
Bytes Seal(Bytes bytes)
{
    bytes.insert(bytes.end(), {0x00, 0x22, 0x11, 0xDF, 0x83, 0x04, 0x1A, 0x01, 'U', 'F', 'D', 16});
    Put(bytes, Crc32Register(bytes.data(), bytes.size()), 4);
    return bytes;
}

Bytes Changed(Bytes bytes, const std::function<void(Bytes&)>& change)
{
    change(bytes);
    return bytes;
}

// The file changed, then given the suffix CRC it needs again.
Bytes Resealed(const Bytes& bytes, const std::function<void(Bytes&)>& change)
{
    Bytes changed = Changed(bytes, change);
    Set32(changed, changed.size() - 4, Crc32Register(changed.data(), changed.size() - 4));
    return changed;
}

std::string CrcText(const Bytes& bytes)
{
    return Hex(Crc32Register(bytes.data(), bytes.size() - 4));
}

// The body cut or padded with zeros to `length` bytes, DFUImageSize made to
// match.
Bytes Resized(Bytes bytes, std::size_t length)
{
    bytes.resize(length);
    if (length >= 10) {
        Set32(bytes, 6, static_cast<std::uint32_t>(length));
    }
    return bytes;
}

std::vector<std::string> Problems(const DfuSeImage& parsed)
{
    std::vector<std::string> lines;
    lines.reserve(parsed.problems.size());
    for (const DfuProblem& problem : parsed.problems) {
        lines.push_back(std::to_string(problem.offset) + ": " + problem.what);
    }
    return lines;
}

std::vector<std::string> Listing(const std::vector<DfuTarget>& targets)
{
    std::vector<std::string> lines;
    for (const DfuTarget& target : targets) {
        lines.push_back(std::to_string(target.offset) + " alt " + std::to_string(target.alternateSetting) + " '" +
                        target.name + "'");
        for (const DfuElement& element : target.elements) {
            lines.push_back(std::to_string(element.offset) + " " + Hex(element.address) + "+" +
                            std::to_string(element.size));
        }
    }
    return lines;
}

TEST(DfuSeImage, ComputesTheSuffixCrcWithoutTheFinalInversion)
{
    // The complement of the CRC-32 check value CBF43926.
    const std::string digits = "123456789";
    EXPECT_EQ(Crc32Register(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0x340BC6D9U);
}

TEST(DfuSeImage, AcceptsSoundImagesAndListsTheirTargets)
{
    struct Case {
        const char* name;
        Composer composer;
        bool sizeWithSuffix;
        std::uint16_t idVendor;
        std::uint16_t idProduct;
    };
    std::vector<Case> cases = {
        {"size without suffix", Composer().Target().Element(0x08000000, 64), false, 0x0483, 0xDF11},
        {"size with suffix", Composer().Target().Element(0x08000000, 64), true, 0x0483, 0xDF11},
        {"wildcard IDs", Composer().Target().Element(0x08000000, 64), false, 0xFFFF, 0xFFFF},
        {"targets named and not, adjacent elements in order",
         Composer()
             .Target(0, "Flash")
             .Element(0x08000000, 0x4000)
             .Element(0x08004000, 32)
             .Target(1, "Opt", false)
             .Element(0x1FFF7800, 16),
         true, 0x0483, 0xDF11},
        {"one alternate setting over two targets in ascending order, another at the same addresses between",
         Composer()
             .Target(0)
             .Element(0x08000000, 64)
             .Target(1)
             .Element(0x08000000, 64)
             .Target(0)
             .Element(0x08000040, 8)
             .Element(0x08000800, 8),
         false, 0x0483, 0xDF11},
        {"unterminated 255-letter name, ends at 4 GiB",
         Composer().Target(2, std::string(255, 'n')).Element(0xFFFFFFC0, 64), false, 0x0483, 0xFFFF},
    };
    for (Case& test : cases) {
        const Bytes image = Resealed(Seal(test.composer.Body(test.sizeWithSuffix)), [&test](Bytes& b) {
            Set32(b, b.size() - 14, test.idProduct | (static_cast<std::uint32_t>(test.idVendor) << 16));
        });
        const DfuSeImage parsed = ReadDfuSeImage(image);
        EXPECT_EQ(Problems(parsed), std::vector<std::string>()) << test.name;
        EXPECT_EQ(Listing(parsed.targets), Listing(test.composer.targets)) << test.name;
        EXPECT_EQ(parsed.suffix.idVendor, test.idVendor) << test.name;
    }
}

// A target with one 64-byte element: target at 11, element header at 285,
// its data up to 357, the suffix from 357 (bcdDFU at 363, CRC at 369).
// The reason every out-of-order element is reported with.
std::string OutOfOrder(std::size_t offset, const std::string& what)
{
    return std::to_string(offset) + ": " + what +
           ": elements of one alternate setting must follow in ascending address order without overlap, across its "
           "targets: the download tool erases flash page by page as it writes and remembers only the last page it "
           "erased, so going back into an earlier page erases what was written there";
}

TEST(DfuSeImage, ReportsEachProblemAtItsOffset)
{
    const Bytes body = Composer().Target().Element(0x08000000, 64).Body();
    const Bytes sealed = Seal(body);
    const Bytes cutInData = Seal(Resized(body, 300));
    const Bytes cutInDataChanged = Changed(cutInData, [](Bytes& b) { b[20] ^= 1; });
    const std::string sizeWalkedWithoutSuffix = "6: DfuSe image size 357 instead of 373";
    const std::string suffixWalkedAsData = "357: 16 bytes between the last target and the end of the file";
    const std::string notDfuSe = "0: no DfuSe prefix: a plain DFU file or a raw binary";
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"CRC",
         Changed(sealed, [](Bytes& b) { Set32(b, 369, 0x12345678); }),
         {"369: DFU suffix CRC 12345678, the file's is " + CrcText(sealed)}},
        {"no UFD",
         Resealed(sealed, [](Bytes& b) { b[365] = 'X'; }),
         {"365: no DFU suffix signature 'UFD'", sizeWalkedWithoutSuffix, suffixWalkedAsData}},
        {"bLength",
         Resealed(sealed, [](Bytes& b) { b[368] = 15; }),
         {"368: DFU suffix length 15 instead of 16", sizeWalkedWithoutSuffix, suffixWalkedAsData}},
        {"bcdDFU",
         Resealed(sealed, [](Bytes& b) { Set(b, 363, 0x0100, 2); }),
         {"363: bcdDFU 0x0100 instead of 0x011A (DfuSe)"}},
        {"vendor",
         Resealed(sealed, [](Bytes& b) { Set32(b, 359, 0x1234DF11); }),
         {"361: image is for 1234:DF11, not 0483:DF11"}},
        {"product", Resealed(sealed, [](Bytes& b) { b[359] = 0x12; }), {"359: image is for 0483:DF12, not 0483:DF11"}},
        {"plain DFU file",
         Resealed(Seal(Bytes(100, 0xEE)), [](Bytes& b) { Set(b, 106, 0x0100, 2); }),
         {"106: bcdDFU 0x0100 instead of 0x011A (DfuSe)", notDfuSe}},
        {"raw binary", Bytes(400, 0xEE), {"392: no DFU suffix signature 'UFD'", notDfuSe}},
        {"version", Seal(Changed(body, [](Bytes& b) { b[5] = 2; })), {"5: DfuSe version 2 instead of 1"}},
        {"image size",
         Seal(Changed(body, [](Bytes& b) { Set32(b, 6, 1234); })),
         {"6: DfuSe image size 1234 instead of 357 (or 373 with the suffix)"}},
        {"no targets",
         Seal(Changed(body, [](Bytes& b) { b[10] = 0; })),
         {"10: no targets", "11: 346 bytes between the last target and the suffix"}},
        {"target signature",
         Seal(Changed(body, [](Bytes& b) { b[14] = 'x'; })),
         {"11: target 0 has no 'Target' signature"}},
        {"target size",
         Seal(Changed(body, [](Bytes& b) { Set32(b, 277, 300); })),
         {"277: target 0 size 300, its elements take 72"}},
        {"empty element",
         Seal(Composer().Target().Element(0x08000000, 0).Body()),
         {"289: element 0 of target 0 is empty"}},
        {"overlaps, lower address later",
         Seal(Composer().Target().Element(0x08000020, 64).Element(0x08000000, 64).Element(0x08000050, 8).Body()),
         {OutOfOrder(357, "element 1 of target 0 (0x08000000-0x0800003F) overlaps element 0 of target 0 "
                          "(0x08000020-0x0800005F), alternate setting 0"),
          OutOfOrder(429, "element 2 of target 0 (0x08000050-0x08000057) overlaps element 0 of target 0 "
                          "(0x08000020-0x0800005F), alternate setting 0")}},
        {"no overlap, lower address later",
         Seal(Composer().Target().Element(0x08004000, 32).Element(0x08000000, 0x4000).Body()),
         {OutOfOrder(325, "element 1 of target 0 (0x08000000-0x08003FFF) lies below element 0 of target 0 "
                          "(0x08004000-0x0800401F), alternate setting 0")}},
        {"two targets of one alternate setting overlap",
         Seal(Composer().Target(1).Element(0x08000000, 64).Target(1).Element(0x08000020, 64).Body()),
         {OutOfOrder(631, "element 0 of target 1 (0x08000020-0x0800005F) overlaps element 0 of target 0 "
                          "(0x08000000-0x0800003F), alternate setting 1")}},
        {"a target without elements",
         Seal(Composer().Target().Body()),
         {"281: target 0 has no elements: the download tool would write nothing for it"}},
        {"a target without elements after a sound one",
         Seal(Composer().Target().Element(0x08000000, 64).Target(1).Body()),
         {"627: target 1 has no elements: the download tool would write nothing for it"}},
        {"no target has elements",
         Seal(Composer().Target().Target(1).Body()),
         {"281: target 0 has no elements: the download tool would write nothing for it",
          "555: target 1 has no elements: the download tool would write nothing for it"}},
        {"past 4 GiB",
         Seal(Composer().Target().Element(0xFFFFFFC1, 64).Body()),
         {"285: element 0 of target 0 at 0xFFFFFFC1 size 64 ends past the 32-bit address space"}},
        {"extra bytes", Seal(Resized(body, 369)), {"357: 12 bytes between the last target and the suffix"}},
        // Cut short or counted beyond the file: reported where the walk stops.
        {"too short for a suffix",
         Resized(body, 10),
         {"0: file too short for a DFU suffix (10 bytes)", "0: DfuSe prefix needs 11 bytes, 10 are left in the file"}},
        {"cut in the prefix", Seal(Resized(body, 8)), {"0: DfuSe prefix needs 11 bytes, 8 are left before the suffix"}},
        {"cut in the target prefix",
         Seal(Resized(body, 100)),
         {"11: target 0 prefix needs 274 bytes, 89 are left before the suffix"}},
        {"prefix only, no suffix",
         Resized(body, 11),
         {"0: file too short for a DFU suffix (11 bytes)",
          "11: target 0 prefix needs 274 bytes, 0 are left in the file"}},
        {"cut in the element header",
         Seal(Resized(body, 289)),
         {"285: element 0 of target 0 header needs 8 bytes, 4 are left before the suffix"}},
        {"cut in the element data, CRC wrong too",
         cutInDataChanged,
         {"312: DFU suffix CRC " + CrcText(cutInData) + ", the file's is " + CrcText(cutInDataChanged),
          "289: element 0 of target 0 size 64, 7 are left before the suffix"}},
        {"huge element count",
         Seal(Changed(body, [](Bytes& b) { Set32(b, 281, 0xFFFFFFFF); })),
         {"357: element 1 of target 0 header needs 8 bytes, 0 are left before the suffix"}},
        {"huge element size",
         Seal(Changed(body, [](Bytes& b) { Set32(b, 289, 0xFFFFFFFF); })),
         {"289: element 0 of target 0 size 4294967295, 64 are left before the suffix"}},
        {"huge target count",
         Seal(Changed(body, [](Bytes& b) { b[10] = 255; })),
         {"357: target 1 prefix needs 274 bytes, 0 are left before the suffix"}},
        {"huge target size",
         Seal(Changed(body, [](Bytes& b) { Set32(b, 277, 0xFFFFFFFF); })),
         {"277: target 0 size 4294967295, its elements take 72"}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(Problems(ReadDfuSeImage(test.image)), test.expected) << test.name;
    }
}

// Every element below the one before it: each is refused, and the report
// stops at 16 of them.
TEST(DfuSeImage, ReportsAtMostSixteenElementsOutOfOrder)
{
    Composer composer;
    composer.Target();
    for (std::uint32_t index = 0; index < 1000; ++index) {
        composer.Element(0x08100000 - index * 4, 4);
    }
    const std::vector<std::string> problems = Problems(ReadDfuSeImage(Seal(composer.Body())));
    ASSERT_EQ(problems.size(), 16U);
    EXPECT_EQ(problems.back().substr(0, 90),
              OutOfOrder(285 + 16 * 12, "element 16 of target 0 (0x080FFFC0-0x080FFFC3) lies below element 0 of "
                                        "target 0 (0x08100000-0x08100003)")
                  .substr(0, 90));
}

} // namespace
