#pragma once

// Firmware images in the DfuSe file format (DFU 1.1a with addressed elements),
// the only kind the download tool takes when run with "-s :leave" and no
// address. All fields are little-endian:
//   prefix (11 bytes): "DfuSe", bVersion 1, DFUImageSize (4), bTargets (1);
//   per target, a 274-byte prefix: "Target", bAlternateSetting (1),
//     bTargetNamed (4), szTargetName (255), dwTargetSize (4), dwNbElements (4),
//     then its elements: dwElementAddress (4), dwElementSize (4), the data;
//   suffix (16 bytes): bcdDevice, idProduct, idVendor, bcdDFU (2 bytes each),
//     'U','F','D', bLength (16), dwCRC (4).
// dwCRC is the reflected CRC-32 (polynomial 0xEDB88320) over every byte of the
// file but dwCRC itself, started at 0xFFFFFFFF and NOT inverted at the end, as
// the download tool's public sources compute it. It is therefore the bitwise
// complement of the common CRC-32 (zlib, gzip) of those bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t DfuSuffixLength = 16;
inline constexpr std::uint16_t DfuSeBcdDfu = 0x011A;
// The touchpad's bootloader; 0xFFFF in a suffix ID field matches any device.
inline constexpr std::uint16_t BootloaderVendorId = 0x0483;
inline constexpr std::uint16_t BootloaderProductId = 0xDF11;

struct DfuSuffix {
    std::uint16_t bcdDevice = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t bcdDfu = 0;
    std::uint8_t length = 0;
    std::uint32_t crc = 0;
};

struct DfuElement {
    std::size_t offset = 0; // of its 8-byte header
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};

struct DfuTarget {
    std::size_t offset = 0;
    std::uint8_t alternateSetting = 0;
    std::string name; // szTargetName up to its first zero when bTargetNamed is non-zero
    std::vector<DfuElement> elements;
};

struct DfuProblem {
    std::size_t offset = 0;
    std::string what; // short lower-case text naming the values
};

struct DfuSeImage {
    DfuSuffix suffix; // the last 16 bytes read as a suffix, whether or not they are one
    std::vector<DfuTarget> targets;
    std::vector<DfuProblem> problems;
};

// The CRC register after the bytes, starting from `crc`, without the final
// inversion.
std::uint32_t Crc32Register(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc = 0xFFFFFFFFU);

// Reads the suffix fields of the last 16 bytes; false when the image is too
// short to hold them.
bool ReadDfuSuffix(const std::vector<std::uint8_t>& image, DfuSuffix& suffix);

// Parses the image; problems is empty exactly when it is a sound DfuSe file
// for the bootloader: every target has elements, and the elements of each
// alternate setting, across its targets in file order, rise in address
// without overlap (the download tool erases flash page by page as it writes,
// remembering only the last page erased). The suffix's problems come first
// (the download tool checks it first), then those of the prefix, targets and
// elements in file order. The walk stops where a target or element runs past the end; a file
// without a valid suffix is walked as if it had none. bcdDevice is not checked.
DfuSeImage ReadDfuSeImage(const std::vector<std::uint8_t>& image);
