#include "FileDigest.h"

#include "UniqueHandle.h"

#include <bcrypt.h>

#include <algorithm>
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
