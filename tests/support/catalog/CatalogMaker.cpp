#include "CatalogMaker.h"

#include "ByteFields.h"
#include "DerElement.h"
#include "DriverCatalog.h"
#include "FileDigest.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr DWORD MessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The usage of a catalog, and the kinds of member list of version 1
// (SHA-1) and version 2 (SHA-256) catalogs.
constexpr char CatalogListUsage[] = "1.3.6.1.4.1.311.12.1.1";
constexpr char CatalogMemberList[] = "1.3.6.1.4.1.311.12.1.2";
constexpr char CatalogMemberList2[] = "1.3.6.1.4.1.311.12.1.3";
constexpr char CatalogMemberInfo2[] = "1.3.6.1.4.1.311.12.2.3";
// The subject interface packages that hash a member: PE images and flat files.
constexpr wchar_t PeImageSip[] = L"{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
constexpr wchar_t FlatFileSip[] = L"{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
constexpr DWORD MemberInfoVersion = 512;
// CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII,
// as the SDK's catalog tool writes name attributes.
constexpr DWORD NameValueFlags = 0x10010001;
// DER that no encoder of Wine 8 writes: a NULL (algorithm parameters), an
// empty SET (the digest algorithms and signers of an unsigned catalog), and
// the version 2 member info of PE images and of flat files ([0] and [2]).
const Bytes DerNull = {0x05, 0x00};
const Bytes DerEmptySet = {0x31, 0x00};
const Bytes PeMemberInfo2 = {0x80, 0x00};
const Bytes FlatMemberInfo2 = {0x82, 0x00};

Bytes Encode(LPCSTR structType, const void* structure)
{
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, structType, structure, 0, nullptr, nullptr, &size)) {
        return {};
    }
    Bytes encoded(size);
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, structType, structure, 0, nullptr, encoded.data(), &size)) {
        return {};
    }
    encoded.resize(size);
    return encoded;
}

CRYPT_DATA_BLOB Blob(const Bytes& bytes)
{
    return {static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

// A SEQUENCE of elements that are already encoded; empty when one is.
Bytes Sequence(const std::vector<Bytes>& elements)
{
    std::vector<CRYPT_DER_BLOB> blobs;
    for (const Bytes& element : elements) {
        if (element.empty()) {
            return {};
        }
        blobs.push_back(Blob(element));
    }
    CRYPT_SEQUENCE_OF_ANY sequence{static_cast<DWORD>(blobs.size()), blobs.data()};
    return Encode(X509_SEQUENCE_OF_ANY, &sequence);
}

// One OBJECT IDENTIFIER element. Wine 8 has no encoder for a bare one, so it
// is taken from a one-element SEQUENCE OF them.
Bytes ObjectIdentifier(const char* oid)
{
    auto* usage = const_cast<LPSTR>(oid);
    CERT_ENHKEY_USAGE usages{1, &usage};
    const Bytes list = Encode(X509_ENHANCED_KEY_USAGE, &usages);
    DerElement sequence;
    if (!ReadDerElement(list, 0, sequence)) {
        return {};
    }
    return {list.begin() + static_cast<std::ptrdiff_t>(sequence.contentsOffset), list.end()};
}

Bytes Utf16WithTerminator(const std::wstring& text)
{
    Bytes bytes;
    for (const wchar_t unit : text + L'\0') {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return bytes;
}

Bytes NameValue(const wchar_t* tag, const std::wstring& value)
{
    Bytes text = Utf16WithTerminator(value);
    CAT_NAMEVALUE nameValue{const_cast<LPWSTR>(tag), NameValueFlags, Blob(text)};
    return Encode(CAT_NAMEVALUE_STRUCT, &nameValue);
}

// SpcIndirectDataContent: what is hashed (a PE image, or a flat file as the
// SDK's catalog tool names it) and the digest. Wine 8's encoder for the
// structure writes a wrong object identifier, so it is put together from its
// parts.
Bytes IndirectData(const CatalogEntry& entry, const char* digestOid)
{
    static constexpr wchar_t obsolete[] = L"<<<Obsolete>>>";
    static constexpr wchar_t noFile[] = L"";
    SPC_LINK link{};
    link.dwLinkChoice = SPC_FILE_LINK_CHOICE;
    link.pwszFile = const_cast<LPWSTR>(entry.imageDigest ? obsolete : noFile);
    Bytes data;
    if (entry.imageDigest) {
        // The flags as the SDK's catalog tool writes them; Wine leaves out
        // empty ones, which osslsigncode does not take.
        BYTE flags = 0xA0;
        SPC_PE_IMAGE_DATA image{};
        image.Flags = {1, &flags, 5};
        image.pFile = &link;
        data = Sequence({ObjectIdentifier(SPC_PE_IMAGE_DATA_OBJID), Encode(SPC_PE_IMAGE_DATA_STRUCT, &image)});
    } else {
        data = Sequence({ObjectIdentifier(SPC_CAB_DATA_OBJID), Encode(SPC_LINK_STRUCT, &link)});
    }
    CRYPT_DATA_BLOB digest = Blob(entry.digest);
    const Bytes algorithm = Sequence({ObjectIdentifier(digestOid), DerNull});
    return Sequence({data, Sequence({algorithm, Encode(X509_OCTET_STRING, &digest)})});
}

Bytes HexTag(const Bytes& digest)
{
    std::wstring text;
    for (const std::uint8_t byte : digest) {
        for (const char digit : Hex(byte, 2)) {
            text.push_back(static_cast<wchar_t>(digit));
        }
    }
    Bytes tag = Utf16WithTerminator(text);
    tag.resize(tag.size() - 2);
    return tag;
}

// The encoded attributes of one member, kept alive for the CTL encoder.
struct EncodedMember {
    Bytes tag;
    Bytes name;
    Bytes indirectData;
    Bytes memberInfo;
    std::vector<CRYPT_ATTR_BLOB> values;
    std::vector<CRYPT_ATTRIBUTE> attributes;
};

bool EncodeMember(const CatalogEntry& entry, bool version2, EncodedMember& member)
{
    member.tag = version2 ? entry.digest : HexTag(entry.digest);
    member.name = NameValue(L"File", entry.fileName);
    member.indirectData = IndirectData(entry, version2 ? szOID_NIST_sha256 : szOID_OIWSEC_sha1);
    if (version2) {
        member.memberInfo = entry.imageDigest ? PeMemberInfo2 : FlatMemberInfo2;
    } else {
        CAT_MEMBERINFO info{const_cast<LPWSTR>(entry.imageDigest ? PeImageSip : FlatFileSip), MemberInfoVersion};
        member.memberInfo = Encode(CAT_MEMBERINFO_STRUCT, &info);
    }
    if (member.name.empty() || member.indirectData.empty() || member.memberInfo.empty()) {
        return false;
    }
    member.values = {Blob(member.name), Blob(member.indirectData), Blob(member.memberInfo)};
    member.attributes = {
        {const_cast<LPSTR>(CAT_NAMEVALUE_OBJID), 1, member.values.data()},
        {const_cast<LPSTR>(SPC_INDIRECT_DATA_OBJID), 1, member.values.data() + 1},
        {const_cast<LPSTR>(version2 ? CatalogMemberInfo2 : CAT_MEMBERINFO_OBJID), 1, member.values.data() + 2},
    };
    return true;
}

// The PKCS #7 SignedData around the member list, without signers. Wine 8's
// message encoder leaves out the empty sets such a message must hold, so it
// is put together from its parts.
Bytes UnsignedMessage(const Bytes& memberList)
{
    CRYPT_CONTENT_INFO content{const_cast<LPSTR>(szOID_CTL), Blob(memberList)};
    const int version = 1;
    const Bytes signedData =
        Sequence({Encode(X509_INTEGER, &version), DerEmptySet, Encode(PKCS_CONTENT_INFO, &content), DerEmptySet});
    if (signedData.empty()) {
        return {};
    }
    CRYPT_CONTENT_INFO message{const_cast<LPSTR>(szOID_RSA_signedData), Blob(signedData)};
    return Encode(PKCS_CONTENT_INFO, &message);
}

bool FlipBitOf(Bytes& catalog, const Bytes& part)
{
    const auto found = std::search(catalog.begin(), catalog.end(), part.begin(), part.end());
    if (part.empty() || found == catalog.end()) {
        return false;
    }
    found[static_cast<std::ptrdiff_t>(part.size() / 2)] ^= 0x01;
    return true;
}

} // namespace

CatalogEntry EntryForFile(const std::wstring& fileName, const std::vector<std::uint8_t>& file,
                          const std::string& digestAlgorithm, bool flat, std::string& problem)
{
    CatalogEntry entry;
    entry.fileName = fileName;
    entry.imageDigest = !flat && HasImageDigest(file);
    if (!flat) {
        entry.digest = CatalogDigestOfFile(file, digestAlgorithm, problem);
        return entry;
    }
    problem.clear();
    entry.digest = DigestOfRanges(digestAlgorithm == "SHA1" ? BCRYPT_SHA1_ALGORITHM : BCRYPT_SHA256_ALGORITHM, file,
                                  {{0, file.size()}});
    if (entry.digest.empty()) {
        problem = "no digest (the system's provider failed)";
    }
    return entry;
}

std::vector<std::uint8_t> EncodeCatalog(const CatalogDefinition& definition)
{
    const bool version2 = definition.digestAlgorithm == "SHA256";
    std::vector<EncodedMember> members(definition.entries.size());
    std::vector<CTL_ENTRY> entries;
    Bytes listIdentifier;
    for (std::size_t index = 0; index < members.size(); ++index) {
        if (!EncodeMember(definition.entries[index], version2, members[index])) {
            return {};
        }
        entries.push_back({Blob(members[index].tag), static_cast<DWORD>(members[index].attributes.size()),
                           members[index].attributes.data()});
        listIdentifier.insert(listIdentifier.end(), members[index].tag.begin(), members[index].tag.end());
    }
    // A list identifier that differs between member lists, as the SDK's
    // tool's random one does.
    listIdentifier = DigestOfRanges(BCRYPT_SHA256_ALGORITHM, listIdentifier, {{0, listIdentifier.size()}});
    listIdentifier.resize(16);

    auto* usage = const_cast<LPSTR>(CatalogListUsage);
    CTL_INFO info{};
    info.dwVersion = CTL_V1;
    info.SubjectUsage = {1, &usage};
    info.ListIdentifier = Blob(listIdentifier);
    GetSystemTimeAsFileTime(&info.ThisUpdate);
    info.SubjectAlgorithm.pszObjId = const_cast<LPSTR>(version2 ? CatalogMemberList2 : CatalogMemberList);
    info.SubjectAlgorithm.Parameters = Blob(DerNull);
    info.cCTLEntry = static_cast<DWORD>(entries.size());
    info.rgCTLEntry = entries.data();
    const Bytes osAttribute = NameValue(L"OSAttr", definition.osAttribute);
    CERT_EXTENSION extension{const_cast<LPSTR>(CAT_NAMEVALUE_OBJID), FALSE, Blob(osAttribute)};
    if (!definition.osAttribute.empty()) {
        info.cExtension = 1;
        info.rgExtension = &extension;
    }
    const Bytes memberList = Encode(PKCS_CTL, &info);
    return memberList.empty() ? Bytes{} : UnsignedMessage(memberList);
}

bool ChangeMembersAfterSigning(std::vector<std::uint8_t>& catalog)
{
    const DriverCatalog read = ReadDriverCatalog(catalog);
    return !read.members.empty() && FlipBitOf(catalog, read.members[0].digest);
}

bool BreakSignature(std::vector<std::uint8_t>& catalog)
{
    HCRYPTMSG message = CryptMsgOpenToDecode(MessageEncoding, 0, 0, 0, nullptr, nullptr);
    if (message == nullptr) {
        return false;
    }
    Bytes signature;
    DWORD size = 0;
    if (CryptMsgUpdate(message, catalog.data(), static_cast<DWORD>(catalog.size()), TRUE) &&
        CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        std::vector<BYTE> signerInfo(size);
        if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signerInfo.data(), &size)) {
            const CRYPT_DATA_BLOB& hash = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data())->EncryptedHash;
            signature.assign(hash.pbData, hash.pbData + hash.cbData);
        }
    }
    CryptMsgClose(message);
    return FlipBitOf(catalog, signature);
}
