#pragma once

// Whole-file reads and SHA-256 digests for the kit checker. The digest comes
// from Windows' own cryptography provider (CNG).

#include <cstdint>
#include <string>
#include <vector>

// False when the file cannot be opened or read whole.
bool ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>& bytes);

// The SHA-256 of the bytes in lower-case hex, as sha256sum writes it; empty
// text when the provider fails.
std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);
