#include "FileDigest.h"

#include "ByteFields.h"
#include "UniqueHandle.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

struct AlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { BCryptCloseAlgorithmProvider(value, 0); }
};

struct HashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { BCryptDestroyHash(value); }
};

// ReadFile and BCryptHashData take 32-bit lengths.
constexpr std::size_t ChunkLength = 1U << 20U;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

bool Within(const std::vector<std::uint8_t>& file, std::uint64_t offset, std::uint64_t count)
{
    return offset <= file.size() && count <= file.size() - offset;
}

// A little-endian field of 2 or 4 bytes; false, instead of a read past the
// end, when it does not lie within the file.
bool ReadField(const std::vector<std::uint8_t>& file, std::uint64_t offset, std::uint64_t width, std::uint32_t& value)
{
    if (!Within(file, offset, width)) {
        return false;
    }
    value = width == 2 ? Read16(file.data() + offset) : Read32(file.data() + offset);
    return true;
}

constexpr std::uint64_t LfanewOffset = 0x3C;
constexpr std::uint64_t CoffHeaderLength = 20;
constexpr std::uint64_t SectionHeaderLength = 40;
constexpr std::uint32_t OptionalMagic32 = 0x010B;
constexpr std::uint32_t OptionalMagic64 = 0x020B;
// Offsets inside the optional header, the same for PE32 and PE32+.
constexpr std::uint64_t SizeOfHeadersField = 60;
constexpr std::uint64_t CheckSumField = 64;
constexpr std::uint64_t CertificateDirectoryIndex = 4;

// The parts of a PE file that its Authenticode image digest covers, in the
// order they are hashed (Microsoft's "Windows Authenticode Portable
// Executable Signature Format"): the headers without the checksum and the
// certificate-table entry, the sections' raw data sorted by file offset,
// then whatever follows them up to the attribute certificate table. Empty
// text when the ranges were found, else the problem.
std::string ImageDigestRanges(const std::vector<std::uint8_t>& file, std::vector<ByteRange>& ranges)
{
    std::uint32_t peOffset = 0;
    std::uint32_t sectionCount = 0;
    std::uint32_t optionalLength = 0;
    std::uint32_t magic = 0;
    ReadField(file, LfanewOffset, 4, peOffset);
    const std::uint64_t coff = std::uint64_t{peOffset} + 4;
    const std::uint64_t optional = coff + CoffHeaderLength;
    if (!ReadField(file, coff + 2, 2, sectionCount) || !ReadField(file, coff + 16, 2, optionalLength) ||
        !Within(file, optional, optionalLength) || !ReadField(file, optional, 2, magic)) {
        return "the optional header runs past the end of the file";
    }
    if (magic != OptionalMagic32 && magic != OptionalMagic64) {
        return "unknown optional header magic 0x" + Hex(magic, 4);
    }
    const std::uint64_t directoryCountField = magic == OptionalMagic64 ? 108 : 92;
    const std::uint64_t directories = directoryCountField + 4;
    std::uint32_t directoryCount = 0;
    std::uint32_t sizeOfHeaders = 0;
    if (optionalLength < directories || !ReadField(file, optional + directoryCountField, 4, directoryCount) ||
        !ReadField(file, optional + SizeOfHeadersField, 4, sizeOfHeaders)) {
        return "the optional header is too short";
    }
    const std::uint64_t checkSum = optional + CheckSumField;
    const std::uint64_t certificateEntry = optional + directories + CertificateDirectoryIndex * 8;
    const bool hasCertificateEntry =
        directoryCount > CertificateDirectoryIndex && certificateEntry + 8 <= optional + optionalLength;
    std::uint32_t certificateOffset = 0;
    std::uint32_t certificateSize = 0;
    if (hasCertificateEntry) {
        ReadField(file, certificateEntry, 4, certificateOffset);
        ReadField(file, certificateEntry + 4, 4, certificateSize);
    }
    const std::uint64_t headersHashedUpTo = hasCertificateEntry ? certificateEntry + 8 : checkSum + 4;
    if (sizeOfHeaders < headersHashedUpTo || sizeOfHeaders > file.size()) {
        return "SizeOfHeaders (" + std::to_string(sizeOfHeaders) + ") does not lie between the optional header " +
               "and the end of the file";
    }
    if (certificateSize != 0 &&
        (!Within(file, certificateOffset, certificateSize) ||
         certificateOffset + std::uint64_t{certificateSize} != file.size() || certificateOffset < sizeOfHeaders)) {
        return "the attribute certificate table is not at the end of the file";
    }
    ranges.clear();
    ranges.push_back({0, static_cast<std::size_t>(checkSum)});
    if (hasCertificateEntry) {
        ranges.push_back(
            {static_cast<std::size_t>(checkSum + 4), static_cast<std::size_t>(certificateEntry - checkSum - 4)});
    }
    ranges.push_back(
        {static_cast<std::size_t>(headersHashedUpTo), static_cast<std::size_t>(sizeOfHeaders - headersHashedUpTo)});

    const std::uint64_t sectionTable = optional + optionalLength;
    if (!Within(file, sectionTable, sectionCount * SectionHeaderLength)) {
        return "the section table runs past the end of the file";
    }
    std::vector<ByteRange> sections;
    for (std::uint64_t index = 0; index < sectionCount; ++index) {
        std::uint32_t rawSize = 0;
        std::uint32_t rawOffset = 0;
        ReadField(file, sectionTable + index * SectionHeaderLength + 16, 4, rawSize);
        ReadField(file, sectionTable + index * SectionHeaderLength + 20, 4, rawOffset);
        if (rawSize == 0) {
            continue;
        }
        if (!Within(file, rawOffset, rawSize)) {
            return "section " + std::to_string(index) + " runs past the end of the file";
        }
        sections.push_back({rawOffset, rawSize});
    }
    std::stable_sort(sections.begin(), sections.end(),
                     [](const ByteRange& left, const ByteRange& right) { return left.offset < right.offset; });
    std::uint64_t hashed = sizeOfHeaders;
    for (const ByteRange& section : sections) {
        ranges.push_back(section);
        hashed += section.length;
    }
    // Data after the sections, up to the attribute certificates.
    if (file.size() > hashed) {
        if (certificateSize > file.size() - hashed) {
            return "the attribute certificate table overlaps the sections";
        }
        ranges.push_back(
            {static_cast<std::size_t>(hashed), static_cast<std::size_t>(file.size() - hashed - certificateSize)});
    }
    return {};
}

} // namespace

bool ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > std::numeric_limits<std::size_t>::max() / 2) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD received = 0;
        const auto wanted = static_cast<DWORD>(std::min(ChunkLength, bytes.size() - done));
        if (!ReadFile(file.Get(), bytes.data() + done, wanted, &received, nullptr) || received == 0) {
            bytes.clear();
            return false;
        }
        done += received;
    }
    return true;
}

std::vector<std::uint8_t> DigestOfRanges(const wchar_t* algorithm, const std::vector<std::uint8_t>& bytes,
                                         const std::vector<ByteRange>& ranges)
{
    UniqueHandle<AlgorithmTraits> provider;
    UniqueHandle<HashTraits> hash;
    DWORD digestLength = 0;
    ULONG received = 0;
    if (!Succeeded(BCryptOpenAlgorithmProvider(provider.Put(), algorithm, nullptr, 0)) ||
        !Succeeded(BCryptGetProperty(provider.Get(), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength),
                                     sizeof(digestLength), &received, 0)) ||
        !Succeeded(BCryptCreateHash(provider.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0))) {
        return {};
    }
    for (const ByteRange& range : ranges) {
        if (range.offset > bytes.size() || range.length > bytes.size() - range.offset) {
            return {};
        }
        for (std::size_t done = 0; done < range.length;) {
            const auto count = static_cast<ULONG>(std::min(ChunkLength, range.length - done));
            // BCryptHashData takes a non-const pointer but only reads.
            if (!Succeeded(
                    BCryptHashData(hash.Get(), const_cast<PUCHAR>(bytes.data() + range.offset + done), count, 0))) {
                return {};
            }
            done += count;
        }
    }
    std::vector<std::uint8_t> digest(digestLength);
    if (!Succeeded(BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        return {};
    }
    return digest;
}

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes)
{
    const std::vector<std::uint8_t> digest = DigestOfRanges(BCRYPT_SHA256_ALGORITHM, bytes, {{0, bytes.size()}});
    if (digest.empty()) {
        return {};
    }
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text.push_back(hexDigits[byte >> 4U]);
        text.push_back(hexDigits[byte & 0x0FU]);
    }
    return text;
}

const wchar_t* CngAlgorithm(const std::string& name)
{
    if (name == "SHA1") {
        return BCRYPT_SHA1_ALGORITHM;
    }
    if (name == "SHA256") {
        return BCRYPT_SHA256_ALGORITHM;
    }
    return nullptr;
}

bool HasImageDigest(const std::vector<std::uint8_t>& file)
{
    std::uint32_t peOffset = 0;
    return file.size() >= 2 && file[0] == 'M' && file[1] == 'Z' && ReadField(file, LfanewOffset, 4, peOffset) &&
           Within(file, peOffset, 4) && std::memcmp(file.data() + peOffset, "PE\0\0", 4) == 0;
}

std::vector<std::uint8_t> CatalogDigestOfFile(const std::vector<std::uint8_t>& file, const std::string& digestAlgorithm,
                                              std::string& problem)
{
    problem.clear();
    const wchar_t* algorithm = CngAlgorithm(digestAlgorithm);
    if (algorithm == nullptr) {
        problem = "unknown digest algorithm \"" + digestAlgorithm + "\"";
        return {};
    }
    std::vector<ByteRange> ranges = {{0, file.size()}};
    if (HasImageDigest(file)) {
        const std::string rangeProblem = ImageDigestRanges(file, ranges);
        if (!rangeProblem.empty()) {
            problem = "no Authenticode image digest: " + rangeProblem;
            return {};
        }
    }
    std::vector<std::uint8_t> digest = DigestOfRanges(algorithm, file, ranges);
    if (digest.empty()) {
        problem = "no " + digestAlgorithm + " digest (the system's provider failed)";
    }
    return digest;
}
