#include "DfuImage.h"

#include "ByteFields.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

constexpr std::size_t PrefixLength = 11;
constexpr std::size_t TargetPrefixLength = 274;
constexpr std::size_t TargetNameLength = 255;
constexpr std::size_t ElementHeaderLength = 8;
constexpr std::uint16_t AnyId = 0xFFFF;
// Elements out of order are reported up to this many per image: enough to
// show the fault, and a file of many small elements cannot make it slow.
constexpr std::size_t MaxOrderProblems = 16;
constexpr const char* WhyAscending =
    "elements of one alternate setting must follow in ascending address order without overlap, across its "
    "targets: the download tool erases flash page by page as it writes and remembers only the last page it "
    "erased, so going back into an earlier page erases what was written there";

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
        if (imageSize != end && (!hasSuffix || imageSize != withSuffix)) {
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
    bool ReadTarget(std::size_t targetIndex, std::size_t& cursor)
    {
        const std::string name = "target " + std::to_string(targetIndex);
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
        if (elementCount == 0) {
            Problem(sizeOffset + 4, name + " has no elements: the download tool would write nothing for it");
        }
        // The count is not trusted: the walk ends with the file.
        for (std::uint32_t element = 0; element < elementCount; ++element) {
            if (!ReadElement(targetIndex, element, cursor, target)) {
                parsed.targets.push_back(std::move(target));
                return false;
            }
        }
        if (targetSize != cursor - elementsStart) {
            Problem(sizeOffset, name + " size " + std::to_string(targetSize) + ", its elements take " +
                                    std::to_string(cursor - elementsStart));
        }
        parsed.targets.push_back(std::move(target));
        return true;
    }

    bool ReadElement(std::size_t targetIndex, std::uint32_t elementIndex, std::size_t& cursor, DfuTarget& target)
    {
        const std::string name = ElementName(targetIndex, elementIndex);
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
        if (element.size != 0) {
            CheckOrder(target.alternateSetting, {element.address, element.address + std::uint64_t{element.size},
                                                 targetIndex, elementIndex, element.offset});
        }
        target.elements.push_back(element);
        cursor += ElementHeaderLength + element.size;
        return true;
    }

    struct Span {
        std::uint64_t start = 0;
        std::uint64_t end = 0; // one past the last byte
        std::size_t target = 0;
        std::uint32_t element = 0;
        std::size_t offset = 0;
    };

    // What the download tool has written for one alternate setting.
    struct Written {
        std::vector<Span> spans;  // in file order
        std::size_t furthest = 0; // the span that ends highest
    };

    static std::string ElementName(std::size_t target, std::uint32_t element)
    {
        return "element " + std::to_string(element) + " of target " + std::to_string(target);
    }

    static std::string Range(const Span& span)
    {
        return "0x" + Hex(static_cast<std::uint32_t>(span.start), 8) + "-0x" +
               Hex(static_cast<std::uint32_t>(span.end - 1), 8);
    }

    // The download tool writes the elements in file order; each must start
    // at or after the end of everything written before for its alternate
    // setting. An element that goes back is reported against one it
    // overlaps, or else against the one that reached furthest.
    void CheckOrder(std::uint8_t alternateSetting, const Span& span)
    {
        Written& written = writtenByAlternateSetting[alternateSetting];
        if (!written.spans.empty() && span.start < written.spans[written.furthest].end &&
            orderProblems < MaxOrderProblems) {
            ++orderProblems;
            const auto overlapped =
                std::find_if(written.spans.begin(), written.spans.end(), [&span](const Span& earlier) {
                    return span.start < earlier.end && earlier.start < span.end;
                });
            const Span& other = overlapped != written.spans.end() ? *overlapped : written.spans[written.furthest];
            Problem(span.offset, ElementName(span.target, span.element) + " (" + Range(span) + ") " +
                                     (overlapped != written.spans.end() ? "overlaps " : "lies below ") +
                                     ElementName(other.target, other.element) + " (" + Range(other) +
                                     "), alternate setting " + std::to_string(alternateSetting) + ": " + WhyAscending);
        }
        if (written.spans.empty() || span.end > written.spans[written.furthest].end) {
            written.furthest = written.spans.size();
        }
        written.spans.push_back(span);
    }

    const std::vector<std::uint8_t>& image;
    const std::size_t end;
    const bool hasSuffix;
    const std::string where;
    DfuSeImage& parsed;
    std::map<std::uint8_t, Written> writtenByAlternateSetting;
    std::size_t orderProblems = 0;
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
