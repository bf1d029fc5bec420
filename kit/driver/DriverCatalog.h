#pragma once

// A driver package's catalog (.cat): a PKCS #7 SignedData whose content is a
// certificate trust list of members, each a file's digest. Windows installs a
// package only when every file it copies, and the INF, has a member with its
// digest and the catalog's signature covers that list. The catalog is read
// with Windows' own decoders (crypt32, wintrust) and checked here the way
// Windows checks it; Wine's catalog functions cannot be used for that (they
// give no file names, cannot read SHA-256 catalogs and hash PE files flat).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CatalogMember {
    std::wstring fileName;       // the member's "File" name attribute, as written; empty when absent
    std::string digestAlgorithm; // "SHA1" or "SHA256", from the member's indirect data
    std::vector<std::uint8_t> digest;
    bool imageDigest = false; // the indirect data names a PE image (SPC_PE_IMAGE_DATA_OBJID): the
                              // Authenticode image digest; else a flat digest of the whole file
};

struct CatalogSigner {
    std::wstring subject; // X.500 names, most specific part first ("CN=..., O=..., C=...")
    std::wstring issuer;
    std::string sha1Thumbprint; // upper-case hex, as Windows' certificate dialogs show it
};

// What a report prints beside the signer: the checker proves that the
// signature holds, not that Windows will trust whoever made it.
inline constexpr wchar_t CatalogSignerTrustNote[] =
    L"whether Windows trusts this signer cannot be decided here: Windows installs the package only when the "
    L"signer's certificate chains to a root it trusts for code signing, and kernel-mode files on 64-bit "
    L"Windows 10 and 11 need Microsoft's own signature";

struct DriverCatalog {
    // Empty when the catalog reads, is signed, its signature verifies and
    // the signed message digest covers the member list as it stands. Plain
    // ASCII; the caller names the catalog's file.
    std::vector<std::string> problems;
    std::vector<CatalogMember> members; // in the catalog's order
    CatalogSigner signer;               // empty when there is no signer certificate
    std::wstring osAttribute;           // the catalog's "OSAttr" attribute, empty when absent
};

DriverCatalog ReadDriverCatalog(const std::vector<std::uint8_t>& catalogFile);

// The member that covers a file, found as Windows finds it: by the file's
// digest, computed as each member's algorithm says (CatalogDigestOfFile in
// FileDigest.h). Its index, or the member
// count with a problem text saying why no member covers the file (none holds
// its digest; the member named after it holds a different digest, or the
// whole file's digest where Windows checks the image digest).
std::size_t FindCatalogMember(const DriverCatalog& catalog, const std::wstring& fileName,
                              const std::vector<std::uint8_t>& file, std::string& problem);
