// Test support, never shipped: writes the sample firmware image of the test
// kit, a DfuSe file with one target and one element of made-up firmware
// bytes, and the DFU suffix for the touchpad's bootloader (VID 0483, PID
// DF11, release 2200).
//   MakeSampleFirmware.exe <output.dfu>
// The bytes are the same on every run, so tests can compare sizes and CRCs.
// Exit codes: 0 written, 1 failed, 2 usage.

#include "UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t FirmwareSize = 8192;
constexpr std::uint32_t FirmwareAddress = 0x08000000;
constexpr std::size_t TargetNameSize = 255;

void PutText(Bytes& bytes, const char* text, std::size_t size)
{
    for (std::size_t index = 0; index < size; ++index) {
        bytes.push_back(static_cast<std::uint8_t>(text[index]));
    }
}

void Put16(Bytes& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFFU));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8U));
}

void Put32(Bytes& bytes, std::uint32_t value)
{
    for (int index = 0; index < 4; ++index, value >>= 8U) {
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFFU));
    }
}

// Made-up firmware: a banner with its terminator, then a fixed
// pseudo-random sequence.
Bytes SampleFirmware()
{
    const char banner[] = "Kestrune touchpad sample firmware 22.00";
    Bytes firmware;
    PutText(firmware, banner, sizeof(banner));
    std::uint32_t state = 0x2200;
    while (firmware.size() < FirmwareSize) {
        state = (state * 1103515245U + 12345U) & 0x7FFFFFFFU;
        firmware.push_back(static_cast<std::uint8_t>((state >> 16U) & 0xFFU));
    }
    return firmware;
}

// Reflected CRC-32 started at all ones and kept without the final inversion,
// as the DFU suffix stores it.
std::uint32_t SuffixCrc(const Bytes& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1U) ^ 0xEDB88320U : crc >> 1U;
        }
    }
    return crc;
}

Bytes SampleImage()
{
    const Bytes firmware = SampleFirmware();
    Bytes element;
    Put32(element, FirmwareAddress);
    Put32(element, static_cast<std::uint32_t>(firmware.size()));
    element.insert(element.end(), firmware.begin(), firmware.end());

    Bytes target;
    PutText(target, "Target", 6);
    target.push_back(0); // alternate setting
    Put32(target, 1);    // named
    const std::string targetName = "Internal Flash";
    PutText(target, targetName.c_str(), targetName.size());
    target.insert(target.end(), TargetNameSize - targetName.size(), 0);
    Put32(target, static_cast<std::uint32_t>(element.size()));
    Put32(target, 1); // elements
    target.insert(target.end(), element.begin(), element.end());

    constexpr std::size_t prefixSize = 11;
    Bytes image;
    PutText(image, "DfuSe", 5);
    image.push_back(1); // version
    Put32(image, static_cast<std::uint32_t>(prefixSize + target.size()));
    image.push_back(1); // targets
    image.insert(image.end(), target.begin(), target.end());

    // The suffix: bcdDevice, idProduct, idVendor, bcdDFU, "UFD", its length,
    // then the CRC of everything before it.
    Put16(image, 0x2200);
    Put16(image, 0xDF11);
    Put16(image, 0x0483);
    Put16(image, 0x011A);
    PutText(image, "UFD", 3);
    image.push_back(16);
    Put32(image, SuffixCrc(image));
    return image;
}

bool WriteWholeFile(const std::wstring& path, const Bytes& bytes)
{
    const UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
           written == bytes.size();
}

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    if (argc != 2) {
        std::fputs("usage: MakeSampleFirmware.exe <output.dfu>\n", stderr);
        return 2;
    }
    if (!WriteWholeFile(argv[1], SampleImage())) {
        std::fprintf(stderr, "MakeSampleFirmware: cannot write the image (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
