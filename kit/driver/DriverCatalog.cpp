#include "DriverCatalog.h"

#include "ByteFields.h"
#include "DerElement.h"
#include "FileDigest.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

constexpr DWORD MessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The usage that makes a certificate trust list a catalog.
constexpr char CatalogListUsage[] = "1.3.6.1.4.1.311.12.1.1";

struct CtlTraits {
    using Type = PCCTL_CONTEXT;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { CertFreeCTLContext(value); }
};

struct CertificateTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { CertFreeCertificateContext(value); }
};

struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { CertCloseStore(value, 0); }
};

// What CryptDecodeObjectEx allocates with CRYPT_DECODE_ALLOC_FLAG.
struct LocalTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { LocalFree(value); }
};

// One decoded structure, owned; Get() is null when the bytes do not decode.
template <typename Structure> class Decoded {
public:
    Decoded(LPCSTR structType, const BYTE* bytes, DWORD length)
    {
        DWORD size = 0;
        void* decoded = nullptr;
        if (CryptDecodeObjectEx(X509_ASN_ENCODING, structType, bytes, length, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                static_cast<void*>(&decoded), &size)) {
            memory.Reset(decoded);
        }
    }
    [[nodiscard]] const Structure* Get() const { return static_cast<const Structure*>(memory.Get()); }

private:
    UniqueHandle<LocalTraits> memory;
};

std::string ErrorText(DWORD error)
{
    return "error 0x" + Hex(error, 8);
}

// "SHA1" or "SHA256" for the digest algorithms Windows takes in catalogs;
// empty for any other.
std::string AlgorithmName(const char* oid)
{
    if (oid != nullptr && std::strcmp(oid, szOID_OIWSEC_sha1) == 0) {
        return "SHA1";
    }
    if (oid != nullptr && std::strcmp(oid, szOID_NIST_sha256) == 0) {
        return "SHA256";
    }
    return {};
}

std::size_t DigestLength(const std::string& name)
{
    return name == "SHA1" ? 20 : 32;
}

bool SameFileName(const std::wstring& left, const std::wstring& right)
{
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// A catalog name-value attribute (CAT_NAMEVALUE): its tag and its value as
// UTF-16 text up to the first zero unit.
bool ReadNameValue(const CRYPT_DATA_BLOB& encoded, std::wstring& tag, std::wstring& value)
{
    const Decoded<CAT_NAMEVALUE> nameValue(CAT_NAMEVALUE_STRUCT, encoded.pbData, encoded.cbData);
    if (nameValue.Get() == nullptr || nameValue.Get()->pwszTag == nullptr) {
        return false;
    }
    tag = nameValue.Get()->pwszTag;
    const CRYPT_DATA_BLOB& data = nameValue.Get()->Value;
    value.clear();
    for (DWORD index = 0; index + 1 < data.cbData; index += 2) {
        const auto unit = static_cast<wchar_t>(data.pbData[index] | (data.pbData[index + 1] << 8));
        if (unit == L'\0') {
            break;
        }
        value.push_back(unit);
    }
    return true;
}

std::string MemberName(std::size_t index)
{
    return "member " + std::to_string(index + 1);
}

CatalogMember ReadMember(const CTL_ENTRY& entry, std::size_t index, std::vector<std::string>& problems)
{
    CatalogMember member;
    bool hasIndirectData = false;
    for (DWORD attributeIndex = 0; attributeIndex < entry.cAttribute; ++attributeIndex) {
        const CRYPT_ATTRIBUTE& attribute = entry.rgAttribute[attributeIndex];
        const bool isName = std::strcmp(attribute.pszObjId, CAT_NAMEVALUE_OBJID) == 0;
        const bool isIndirectData = std::strcmp(attribute.pszObjId, SPC_INDIRECT_DATA_OBJID) == 0;
        if ((isName || isIndirectData) && attribute.cValue != 1) {
            problems.push_back(MemberName(index) + ": attribute " + attribute.pszObjId + " has " +
                               std::to_string(attribute.cValue) + " values instead of one");
            continue;
        }
        std::wstring tag;
        std::wstring value;
        if (isName && ReadNameValue(attribute.rgValue[0], tag, value) && SameFileName(tag, L"File")) {
            member.fileName = value;
        } else if (isIndirectData) {
            const Decoded<SPC_INDIRECT_DATA_CONTENT> indirectData(
                SPC_INDIRECT_DATA_CONTENT_STRUCT, attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
            if (indirectData.Get() == nullptr) {
                problems.push_back(MemberName(index) +
                                   ": its indirect data (the digest) does not decode: " + ErrorText(GetLastError()));
                continue;
            }
            const SPC_INDIRECT_DATA_CONTENT& content = *indirectData.Get();
            hasIndirectData = true;
            member.digestAlgorithm = AlgorithmName(content.DigestAlgorithm.pszObjId);
            member.digest.assign(content.Digest.pbData, content.Digest.pbData + content.Digest.cbData);
            member.imageDigest =
                content.Data.pszObjId != nullptr && std::strcmp(content.Data.pszObjId, SPC_PE_IMAGE_DATA_OBJID) == 0;
            if (member.digestAlgorithm.empty()) {
                member.digestAlgorithm =
                    content.DigestAlgorithm.pszObjId == nullptr ? "" : content.DigestAlgorithm.pszObjId;
                problems.push_back(MemberName(index) + ": digest algorithm " + member.digestAlgorithm +
                                   " is neither SHA-1 nor SHA-256");
            } else if (member.digest.size() != DigestLength(member.digestAlgorithm)) {
                problems.push_back(MemberName(index) + ": a " + member.digestAlgorithm + " digest of " +
                                   std::to_string(member.digest.size()) + " bytes");
            }
        }
    }
    if (!hasIndirectData) {
        problems.push_back(MemberName(index) + ": no digest (SPC indirect data)");
    }
    return member;
}

// The message's value of a parameter that is a variable-length structure;
// empty when the message has none.
std::vector<BYTE> MessageParameter(HCRYPTMSG message, DWORD parameter, DWORD index)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, parameter, index, nullptr, &size) || size == 0) {
        return {};
    }
    std::vector<BYTE> value(size);
    if (!CryptMsgGetParam(message, parameter, index, value.data(), &size)) {
        return {};
    }
    value.resize(size);
    return value;
}

std::wstring NameText(const CERT_NAME_BLOB& name)
{
    const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    // The blob is only read; the API takes it non-const.
    auto* blob = const_cast<CERT_NAME_BLOB*>(&name);
    const DWORD length = CertNameToStrW(X509_ASN_ENCODING, blob, flags, nullptr, 0);
    std::wstring text(length, L'\0');
    CertNameToStrW(X509_ASN_ENCODING, blob, flags, text.data(), length);
    text.resize(length == 0 ? 0 : length - 1);
    return text;
}

CatalogSigner ReadSigner(PCCERT_CONTEXT certificate)
{
    CatalogSigner signer;
    signer.subject = NameText(certificate->pCertInfo->Subject);
    signer.issuer = NameText(certificate->pCertInfo->Issuer);
    BYTE thumbprint[20] = {};
    DWORD length = sizeof(thumbprint);
    if (CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &length)) {
        for (DWORD index = 0; index < length; ++index) {
            signer.sha1Thumbprint += Hex(thumbprint[index], 2);
        }
    }
    return signer;
}

// The signed message digest of the first signer (its messageDigest
// attribute), with the name of its algorithm; false when it has none.
bool SignedMessageDigest(const CMSG_SIGNER_INFO& signerInfo, std::string& algorithm, std::vector<std::uint8_t>& digest)
{
    algorithm = AlgorithmName(signerInfo.HashAlgorithm.pszObjId);
    for (DWORD index = 0; index < signerInfo.AuthAttrs.cAttr; ++index) {
        const CRYPT_ATTRIBUTE& attribute = signerInfo.AuthAttrs.rgAttr[index];
        if (std::strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0 || attribute.cValue != 1) {
            continue;
        }
        const Decoded<CRYPT_DATA_BLOB> value(X509_OCTET_STRING, attribute.rgValue[0].pbData,
                                             attribute.rgValue[0].cbData);
        if (value.Get() != nullptr) {
            digest.assign(value.Get()->pbData, value.Get()->pbData + value.Get()->cbData);
            return true;
        }
    }
    return false;
}

// Whether the first signer's signed message digest is the digest of the
// member list as it stands: empty text when it is, else the problem. A
// PKCS #7 signature covers the contents octets of the list (without its tag
// and length).
std::string CheckSignedDigest(const CTL_CONTEXT& ctl)
{
    const std::vector<BYTE> signerInfo = MessageParameter(ctl.hCryptMsg, CMSG_SIGNER_INFO_PARAM, 0);
    std::string algorithm;
    std::vector<std::uint8_t> signedDigest;
    if (signerInfo.empty() ||
        !SignedMessageDigest(*reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data()), algorithm, signedDigest)) {
        return "the signature has no signed message digest, so nothing ties it to the members";
    }
    if (algorithm.empty()) {
        return "signed with a digest algorithm that is neither SHA-1 nor SHA-256";
    }
    const std::vector<std::uint8_t> list(ctl.pbCtlContent, ctl.pbCtlContent + ctl.cbCtlContent);
    DerElement element;
    if (!ReadDerElement(list, 0, element) || element.contentsOffset + element.contentsLength != list.size()) {
        return "the member list is not one DER element";
    }
    const std::vector<std::uint8_t> listDigest =
        DigestOfRanges(CngAlgorithm(algorithm), list, {{element.contentsOffset, element.contentsLength}});
    if (listDigest.empty()) {
        return "no digest of the member list (the system's provider failed)";
    }
    if (listDigest != signedDigest) {
        return "the member list changed after signing: its " + algorithm + " digest is not the signed message digest";
    }
    return {};
}

// Reads the first signer and verifies its signature over the member list.
// The list's digest is compared first: Windows' verification fails too when
// it changed, without saying why, and Wine's checks only the signed
// attributes, so it would not notice.
void ReadSignature(const CTL_CONTEXT& ctl, DriverCatalog& catalog)
{
    DWORD signerCount = 0;
    DWORD size = sizeof(signerCount);
    if (!CryptMsgGetParam(ctl.hCryptMsg, CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size) || signerCount == 0) {
        catalog.problems.emplace_back("not signed");
        return;
    }
    const std::vector<BYTE> certificateInfo = MessageParameter(ctl.hCryptMsg, CMSG_SIGNER_CERT_INFO_PARAM, 0);
    const UniqueHandle<CertStoreTraits> store(
        CertOpenStore(CERT_STORE_PROV_MSG, MessageEncoding, 0, 0, static_cast<const void*>(ctl.hCryptMsg)));
    if (certificateInfo.empty() || !store.IsValid()) {
        catalog.problems.push_back("the signer cannot be read: " + ErrorText(GetLastError()));
        return;
    }
    const UniqueHandle<CertificateTraits> certificate(CertGetSubjectCertificateFromStore(
        store.Get(), MessageEncoding, reinterpret_cast<PCERT_INFO>(const_cast<BYTE*>(certificateInfo.data()))));
    if (!certificate.IsValid()) {
        catalog.problems.emplace_back("the signer's certificate is not in the catalog");
        return;
    }
    catalog.signer = ReadSigner(certificate.Get());
    const std::string listProblem = CheckSignedDigest(ctl);
    if (!listProblem.empty()) {
        catalog.problems.push_back(listProblem);
        return;
    }
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify{};
    verify.cbSize = sizeof(verify);
    verify.dwSignerIndex = 0;
    verify.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    verify.pvSigner = const_cast<CERT_CONTEXT*>(certificate.Get());
    if (!CryptMsgControl(ctl.hCryptMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &verify)) {
        catalog.problems.push_back("the signature does not verify against the signer's certificate: " +
                                   ErrorText(GetLastError()));
    }
}

} // namespace

DriverCatalog ReadDriverCatalog(const std::vector<std::uint8_t>& catalogFile)
{
    DriverCatalog catalog;
    const UniqueHandle<CtlTraits> ctl(
        CertCreateCTLContext(MessageEncoding, catalogFile.data(), static_cast<DWORD>(catalogFile.size())));
    if (!ctl.IsValid()) {
        catalog.problems.push_back("not a catalog (a PKCS #7 signed certificate trust list): " +
                                   ErrorText(GetLastError()));
        return catalog;
    }
    const CTL_INFO& info = *ctl.Get()->pCtlInfo;
    const CTL_USAGE& usage = info.SubjectUsage;
    if (std::none_of(usage.rgpszUsageIdentifier, usage.rgpszUsageIdentifier + usage.cUsageIdentifier,
                     [](const char* oid) { return std::strcmp(oid, CatalogListUsage) == 0; })) {
        catalog.problems.emplace_back("a certificate trust list, but not a catalog (no catalog-list usage)");
    }
    for (DWORD index = 0; index < info.cCTLEntry; ++index) {
        catalog.members.push_back(ReadMember(info.rgCTLEntry[index], index, catalog.problems));
    }
    for (DWORD index = 0; index < info.cExtension; ++index) {
        const CERT_EXTENSION& extension = info.rgExtension[index];
        std::wstring tag;
        std::wstring value;
        if (std::strcmp(extension.pszObjId, CAT_NAMEVALUE_OBJID) == 0 && ReadNameValue(extension.Value, tag, value) &&
            SameFileName(tag, L"OSAttr")) {
            catalog.osAttribute = value;
        }
    }
    ReadSignature(*ctl.Get(), catalog);
    return catalog;
}

std::size_t FindCatalogMember(const DriverCatalog& catalog, const std::wstring& fileName,
                              const std::vector<std::uint8_t>& file, std::string& problem)
{
    problem.clear();
    std::map<std::string, std::vector<std::uint8_t>> digests; // by algorithm
    std::string digestProblem;
    for (std::size_t index = 0; index < catalog.members.size(); ++index) {
        const CatalogMember& member = catalog.members[index];
        auto found = digests.find(member.digestAlgorithm);
        if (found == digests.end()) {
            std::string memberProblem;
            found =
                digests
                    .emplace(member.digestAlgorithm, CatalogDigestOfFile(file, member.digestAlgorithm, memberProblem))
                    .first;
            // A member of an unknown algorithm is the catalog's problem, not the file's.
            if (digestProblem.empty() && CngAlgorithm(member.digestAlgorithm) != nullptr) {
                digestProblem = memberProblem;
            }
        }
        if (!found->second.empty() && found->second == member.digest) {
            return index;
        }
    }
    const auto named = std::find_if(catalog.members.begin(), catalog.members.end(), [&](const CatalogMember& member) {
        return SameFileName(member.fileName, fileName);
    });
    if (!digestProblem.empty()) {
        problem = digestProblem;
    } else if (named == catalog.members.end()) {
        problem = "not in the catalog: no member holds its digest, and none is named after it";
    } else if (!named->imageDigest && HasImageDigest(file) && CngAlgorithm(named->digestAlgorithm) != nullptr &&
               DigestOfRanges(CngAlgorithm(named->digestAlgorithm), file, {{0, file.size()}}) == named->digest) {
        problem = "its catalog member holds the whole file's digest, but Windows checks the Authenticode image "
                  "digest of a PE file";
    } else {
        problem = "its catalog member holds a different " + named->digestAlgorithm +
                  " digest: the file is not the one the catalog was made for";
    }
    return catalog.members.size();
}
