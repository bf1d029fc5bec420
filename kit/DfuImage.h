#pragma once

// Firmware images in the DFU file format: any payload followed by a 16-byte
// suffix of little-endian fields
//   bcdDevice, idProduct, idVendor, bcdDFU (2 bytes each),
//   the signature 'U','F','D', bLength (16), dwCRC (4 bytes).
// dwCRC is the reflected CRC-32 (polynomial 0xEDB88320) over every byte of the
// file but dwCRC itself, started at 0xFFFFFFFF and NOT inverted at the end, as
// the download tool's public sources compute it. It is therefore the bitwise
// complement of the common CRC-32 (zlib, gzip) of those bytes.
// Files for the DfuSe variant (bcdDFU 0x011A) also start with an 11-byte
// prefix: "DfuSe", version 1, the image size without the suffix (4 bytes) and
// the number of targets.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t DfuSuffixLength = 16;
inline constexpr std::uint16_t DfuSeBcdDfu = 0x011A;

struct DfuSuffix {
    std::uint16_t bcdDevice = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t bcdDfu = 0;
    std::uint8_t length = 0;
    std::uint32_t crc = 0;
};

// The CRC register after the bytes, starting from `crc`, without the final
// inversion.
std::uint32_t Crc32Register(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc = 0xFFFFFFFFU);
// The common CRC-32 of the bytes (what gzip stores).
std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes);

// Reads the suffix fields of the last 16 bytes; false when the image is too
// short to hold them.
bool ReadDfuSuffix(const std::vector<std::uint8_t>& image, DfuSuffix& suffix);

// Why the image is not a valid DFU file for the device with the given IDs, or
// empty text when it is. 0xFFFF in a suffix ID field matches any device.
std::string DfuImageFault(const std::vector<std::uint8_t>& image, std::uint16_t vendorId, std::uint16_t productId,
                          std::uint16_t deviceRelease);
