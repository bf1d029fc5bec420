#include "DfuImage.h"

#include <array>
#include <cstring>

namespace {

std::uint16_t Read16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t Read32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::string Hex(std::uint32_t value, int digits)
{
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int index = digits - 1; index >= 0; --index, value >>= 4) {
        text[static_cast<std::size_t>(index)] = hexDigits[value & 0x0F];
    }
    return text;
}

bool MatchesField(std::uint16_t field, std::uint16_t actual)
{
    return field == 0xFFFF || field == actual;
}

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

std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes)
{
    return ~Crc32Register(bytes.data(), bytes.size());
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

std::string DfuImageFault(const std::vector<std::uint8_t>& image, std::uint16_t vendorId, std::uint16_t productId,
                          std::uint16_t deviceRelease)
{
    DfuSuffix suffix;
    if (!ReadDfuSuffix(image, suffix)) {
        return "file too short for a DFU suffix (" + std::to_string(image.size()) + " bytes)";
    }
    const std::uint8_t* fields = image.data() + image.size() - DfuSuffixLength;
    if (fields[8] != 'U' || fields[9] != 'F' || fields[10] != 'D') {
        return "no DFU suffix signature";
    }
    if (suffix.length != DfuSuffixLength) {
        return "DFU suffix length " + std::to_string(suffix.length) + " instead of 16";
    }
    const std::uint32_t computed = Crc32Register(image.data(), image.size() - 4);
    if (computed != suffix.crc) {
        return "DFU suffix CRC " + Hex(suffix.crc, 8) + " does not match the file's " + Hex(computed, 8);
    }
    if (!MatchesField(suffix.idVendor, vendorId) || !MatchesField(suffix.idProduct, productId)) {
        return "image is for " + Hex(suffix.idVendor, 4) + ":" + Hex(suffix.idProduct, 4) + ", device is " +
               Hex(vendorId, 4) + ":" + Hex(productId, 4);
    }
    if (!MatchesField(suffix.bcdDevice, deviceRelease)) {
        return "image is for device release " + Hex(suffix.bcdDevice, 4);
    }
    if (suffix.bcdDfu == DfuSeBcdDfu) {
        constexpr std::size_t prefixLength = 11;
        const std::size_t withoutSuffix = image.size() - DfuSuffixLength;
        if (withoutSuffix < prefixLength || std::memcmp(image.data(), "DfuSe", 5) != 0 || image[5] != 1) {
            return "no DfuSe prefix";
        }
        if (Read32(image.data() + 6) != withoutSuffix) {
            return "DfuSe image size " + std::to_string(Read32(image.data() + 6)) + " instead of " +
                   std::to_string(withoutSuffix);
        }
    }
    return {};
}
