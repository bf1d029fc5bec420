#include "DfuImage.h"

#include "ByteFields.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t PrefixLength = 11;
constexpr std::size_t TargetPrefixLength = 274;
constexpr std::size_t TargetNameLength = 255;
constexpr std::size_t ElementHeaderLength = 8;
constexpr std::uint16_t AnyId = 0xFFFF;
// Overlapping elements are reported up to this many per target: enough to
// show the fault, and a file of many small elements cannot make it slow.
constexpr std::size_t MaxOverlapsReported = 16;

bool MatchesId(std::uint16_t field, std::uint16_t wanted)
{
    return field == AnyId || field == wanted;
}

// Walks the prefix, targets and elements in [0, end) of the image.
class Walk {
public:
    Walk(const std::vector<std::uint8_t>& image, std::size_t end, bool hasSuffix, DfuSeImage& parsed)
        : image(image), end(end), hasSuffix(hasSuffix), where(hasSuffix ? "before the suffix" : "in the file"),
          parsed(parsed)
    {
    }

    void Run()
    {
        if (end < PrefixLength) {
            Problem(0, "DfuSe prefix needs 11 bytes, " + std::to_string(end) + " are left " + where);
            return;
        }
        if (std::memcmp(image.data(), "DfuSe", 5) != 0) {
            Problem(0, "no DfuSe prefix: a plain DFU file or a raw binary");
            return;
        }
        if (image[5] != 1) {
            Problem(5, "DfuSe version " + std::to_string(image[5]) + " instead of 1");
        }
        const std::uint32_t imageSize = Read32(image.data() + 6);
        const std::size_t withSuffix = end + DfuSuffixLength;
        if (imageSize != end && !(hasSuffix && imageSize == withSuffix)) {
            Problem(6, "DfuSe image size " + std::to_string(imageSize) + " instead of " +
                           (hasSuffix ? std::to_string(end) + " (or " + std::to_string(withSuffix) + " with the suffix)"
                                      : std::to_string(end)));
        }
        const std::size_t targetCount = image[10];
        if (targetCount == 0) {
            Problem(10, "no targets");
        }
        std::size_t cursor = PrefixLength;
        for (std::size_t index = 0; index < targetCount; ++index) {
            if (!ReadTarget(index, cursor)) {
                return;
            }
        }
        if (cursor < end) {
            Problem(cursor, std::to_string(end - cursor) + " bytes between the last target and " +
                                (hasSuffix ? "the suffix" : "the end of the file"));
        }
    }

private:
    void Problem(std::size_t offset, std::string what) { parsed.problems.push_back({offset, std::move(what)}); }

    // Reads the target at `cursor` and its elements and moves past them;
    // false where the walk cannot go on.
    bool ReadTarget(std::size_t index, std::size_t& cursor)
    {
        const std::string name = "target " + std::to_string(index);
        if (end - cursor < TargetPrefixLength) {
            Problem(cursor, name + " prefix needs 274 bytes, " + std::to_string(end - cursor) + " are left " + where);
            return false;
        }
        const std::uint8_t* prefix = image.data() + cursor;
        if (std::memcmp(prefix, "Target", 6) != 0) {
            Problem(cursor, name + " has no 'Target' signature");
            return false;
        }
        DfuTarget target;
        target.offset = cursor;
        target.alternateSetting = prefix[6];
        if (Read32(prefix + 7) != 0) {
            const auto* text = reinterpret_cast<const char*>(prefix + 11);
            target.name.assign(text, std::find(text, text + TargetNameLength, '\0'));
        }
        const std::size_t sizeOffset = cursor + 266;
        const std::uint32_t targetSize = Read32(prefix + 266);
        const std::uint32_t elementCount = Read32(prefix + 270);
        cursor += TargetPrefixLength;
        const std::size_t elementsStart = cursor;
        // The count is not trusted: the walk ends with the file.
        for (std::uint32_t element = 0; element < elementCount; ++element) {
            if (!ReadElement(name, element, cursor, target)) {
                parsed.targets.push_back(std::move(target));
                return false;
            }
        }
        if (targetSize != cursor - elementsStart) {
            Problem(sizeOffset, name + " size " + std::to_string(targetSize) + ", its elements take " +
                                    std::to_string(cursor - elementsStart));
        }
        ReportOverlaps(name, target);
        parsed.targets.push_back(std::move(target));
        return true;
    }

    bool ReadElement(const std::string& targetName, std::uint32_t index, std::size_t& cursor, DfuTarget& target)
    {
        const std::string name = "element " + std::to_string(index) + " of " + targetName;
        if (end - cursor < ElementHeaderLength) {
            Problem(cursor, name + " header needs 8 bytes, " + std::to_string(end - cursor) + " are left " + where);
            return false;
        }
        const DfuElement element{cursor, Read32(image.data() + cursor), Read32(image.data() + cursor + 4)};
        const std::size_t left = end - cursor - ElementHeaderLength;
        if (element.size > left) {
            Problem(cursor + 4, name + " size " + std::to_string(element.size) + ", " + std::to_string(left) +
                                    " are left " + where);
            return false;
        }
        if (element.size == 0) {
            Problem(cursor + 4, name + " is empty");
        } else if (static_cast<std::uint64_t>(element.address) + element.size > 0x100000000ULL) {
            Problem(cursor, name + " at 0x" + Hex(element.address, 8) + " size " + std::to_string(element.size) +
                                " ends past the 32-bit address space");
        }
        target.elements.push_back(element);
        cursor += ElementHeaderLength + element.size;
        return true;
    }

    // Every pair of the target's elements whose address ranges meet, each at
    // the later element of the pair, in file order.
    void ReportOverlaps(const std::string& targetName, const DfuTarget& target)
    {
        const std::vector<DfuElement>& elements = target.elements;
        std::vector<std::size_t> byAddress(elements.size());
        for (std::size_t index = 0; index < byAddress.size(); ++index) {
            byAddress[index] = index;
        }
        std::sort(byAddress.begin(), byAddress.end(), [&elements](std::size_t left, std::size_t right) {
            return elements[left].address < elements[right].address;
        });
        std::vector<std::pair<std::size_t, std::size_t>> pairs; // (later, earlier) in file order
        for (std::size_t position = 0; position < byAddress.size() && pairs.size() < MaxOverlapsReported; ++position) {
            const DfuElement& low = elements[byAddress[position]];
            const std::uint64_t lowEnd = static_cast<std::uint64_t>(low.address) + low.size;
            // Sorted by address: the first one that starts past this end
            // ends the search.
            for (std::size_t next = position + 1;
                 next < byAddress.size() && elements[byAddress[next]].address < lowEnd &&
                 pairs.size() < MaxOverlapsReported;
                 ++next) {
                // An empty element covers no address.
                if (elements[byAddress[next]].size == 0) {
                    continue;
                }
                pairs.emplace_back(std::max(byAddress[position], byAddress[next]),
                                   std::min(byAddress[position], byAddress[next]));
            }
        }
        std::sort(pairs.begin(), pairs.end());
        for (const auto& [later, earlier] : pairs) {
            Problem(elements[later].offset, "element " + std::to_string(earlier) + " of " + targetName +
                                                " overlaps element " + std::to_string(later));
        }
    }

    const std::vector<std::uint8_t>& image;
    const std::size_t end;
    const bool hasSuffix;
    const std::string where;
    DfuSeImage& parsed;
};

} // namespace

std::uint32_t Crc32Register(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc)
{
    for (std::size_t index = 0; index < count; ++index) {
        crc ^= bytes[index];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
        }
    }
    return crc;
}

bool ReadDfuSuffix(const std::vector<std::uint8_t>& image, DfuSuffix& suffix)
{
    if (image.size() < DfuSuffixLength) {
        return false;
    }
    const std::uint8_t* fields = image.data() + image.size() - DfuSuffixLength;
    suffix.bcdDevice = Read16(fields);
    suffix.idProduct = Read16(fields + 2);
    suffix.idVendor = Read16(fields + 4);
    suffix.bcdDfu = Read16(fields + 6);
    suffix.length = fields[11];
    suffix.crc = Read32(fields + 12);
    return true;
}

DfuSeImage ReadDfuSeImage(const std::vector<std::uint8_t>& image)
{
    DfuSeImage parsed;
    bool hasSuffix = false;
    if (!ReadDfuSuffix(image, parsed.suffix)) {
        parsed.problems.push_back({0, "file too short for a DFU suffix (" + std::to_string(image.size()) + " bytes)"});
    } else {
        const std::size_t suffix = image.size() - DfuSuffixLength;
        const DfuSuffix& fields = parsed.suffix;
        if (std::memcmp(image.data() + suffix + 8, "UFD", 3) != 0) {
            parsed.problems.push_back({suffix + 8, "no DFU suffix signature 'UFD'"});
        } else if (fields.length != DfuSuffixLength) {
            parsed.problems.push_back(
                {suffix + 11, "DFU suffix length " + std::to_string(fields.length) + " instead of 16"});
        } else {
            hasSuffix = true;
            const std::uint32_t computed = Crc32Register(image.data(), image.size() - 4);
            if (computed != fields.crc) {
                parsed.problems.push_back(
                    {suffix + 12, "DFU suffix CRC " + Hex(fields.crc, 8) + ", the file's is " + Hex(computed, 8)});
            }
            if (fields.bcdDfu != DfuSeBcdDfu) {
                parsed.problems.push_back(
                    {suffix + 6, "bcdDFU 0x" + Hex(fields.bcdDfu, 4) + " instead of 0x011A (DfuSe)"});
            }
            if (!MatchesId(fields.idVendor, BootloaderVendorId) || !MatchesId(fields.idProduct, BootloaderProductId)) {
                parsed.problems.push_back(
                    {MatchesId(fields.idVendor, BootloaderVendorId) ? suffix + 2 : suffix + 4,
                     "image is for " + Hex(fields.idVendor, 4) + ":" + Hex(fields.idProduct, 4) + ", not 0483:DF11"});
            }
        }
    }
    const std::size_t end = hasSuffix ? image.size() - DfuSuffixLength : image.size();
    Walk(image, end, hasSuffix, parsed).Run();
    return parsed;
}
