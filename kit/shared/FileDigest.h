#pragma once

// Whole-file reads and digests for the kit checker: the SHA-256 that the
// checksums list, and the digest that a signature or a driver catalog holds
// for a file. Digests come from Windows' own cryptography provider (CNG).

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

// The CNG hash algorithm of a digest named as catalogs name it ("SHA1" or
// "SHA256"); null for any other.
const wchar_t* CngAlgorithm(const std::string& name);

// Whether Windows hashes this file as a PE image (an "MZ" header whose
// e_lfanew names a "PE\0\0" signature) rather than as a whole.
bool HasImageDigest(const std::vector<std::uint8_t>& file);

// The digest that a catalog member with this algorithm ("SHA1" or "SHA256")
// holds for this file: the Authenticode image digest when the file is a PE
// image (the file without its checksum, its certificate-table entry and its
// attribute certificates), the whole file's digest otherwise. Empty with a
// problem text when it cannot be computed (an unknown algorithm, a damaged
// PE image).
std::vector<std::uint8_t> CatalogDigestOfFile(const std::vector<std::uint8_t>& file, const std::string& digestAlgorithm,
                                              std::string& problem);
