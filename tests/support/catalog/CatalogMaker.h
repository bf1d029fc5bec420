#pragma once

// Test support, never shipped: writes driver catalogs laid out as the
// Windows SDK's catalog tool lays them out, with Windows' own ASN.1 encoders,
// and damages signed ones in the ways the kit checker must refuse. Debian
// has no catalog builder; osslsigncode signs what this writes.

#include <cstdint>
#include <string>
#include <vector>

struct CatalogEntry {
    std::wstring fileName;
    std::vector<std::uint8_t> digest;
    bool imageDigest = false; // the Authenticode image digest of a PE file
};

struct CatalogDefinition {
    // "SHA256": a version 2 catalog whose members are tagged with their
    // digests; "SHA1": a version 1 catalog tagged with their hex text.
    std::string digestAlgorithm = "SHA256";
    std::wstring osAttribute; // none when empty
    std::vector<CatalogEntry> entries;
};

// The entry that covers a file as Windows checks it: the image digest of a
// PE file, the whole file's digest otherwise (or the whole file's digest of a
// PE file too, when `flat`). Empty `problem` on success.
CatalogEntry EntryForFile(const std::wstring& fileName, const std::vector<std::uint8_t>& file,
                          const std::string& digestAlgorithm, bool flat, std::string& problem);

// The unsigned catalog: a PKCS #7 SignedData without signers whose content
// is the member list. Empty when an encoder fails.
std::vector<std::uint8_t> EncodeCatalog(const CatalogDefinition& definition);

// Flips one bit where the first member's digest first appears in a signed
// catalog (its tag, or its indirect data): the member list no longer matches
// the signed message digest. False when there is no member.
bool ChangeMembersAfterSigning(std::vector<std::uint8_t>& catalog);

// Flips one bit of the signer's encrypted digest: the signature no longer
// verifies. False when the catalog has no signer.
bool BreakSignature(std::vector<std::uint8_t>& catalog);
