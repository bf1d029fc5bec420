#include "FileDigest.h"

#include "UniqueHandle.h"

#include <bcrypt.h>

#include <algorithm>
#include <array>
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

constexpr std::size_t Sha256Length = 32;
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

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes)
{
    UniqueHandle<AlgorithmTraits> algorithm;
    UniqueHandle<HashTraits> hash;
    if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !Succeeded(BCryptCreateHash(algorithm.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0))) {
        return {};
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const auto count = static_cast<ULONG>(std::min(ChunkLength, bytes.size() - done));
        // BCryptHashData takes a non-const pointer but only reads.
        if (!Succeeded(BCryptHashData(hash.Get(), const_cast<PUCHAR>(bytes.data() + done), count, 0))) {
            return {};
        }
        done += count;
    }
    std::array<UCHAR, Sha256Length> digest{};
    if (!Succeeded(BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        return {};
    }
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string text;
    for (const UCHAR byte : digest) {
        text.push_back(hexDigits[byte >> 4U]);
        text.push_back(hexDigits[byte & 0x0FU]);
    }
    return text;
}
