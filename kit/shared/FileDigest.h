#pragma once

// Whole-file reads and digests for the kit checker. Digests come from
// Windows' own cryptography provider (CNG).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// False when the file cannot be opened or read whole.
bool ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>& bytes);

// The SHA-256 of the bytes in lower-case hex, as sha256sum writes it; empty
// text when the provider fails.
std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);

struct ByteRange {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// One digest over the given ranges of the bytes, in the order given, with a
// CNG hash algorithm (BCRYPT_SHA1_ALGORITHM, BCRYPT_SHA256_ALGORITHM); empty
// when the provider fails or a range does not lie within the bytes.
std::vector<std::uint8_t> DigestOfRanges(const wchar_t* algorithm, const std::vector<std::uint8_t>& bytes,
                                         const std::vector<ByteRange>& ranges);
