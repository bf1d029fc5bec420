#include "ByteFields.h"
#include "DriverCatalog.h"
#include "FileDigest.h"

#include <windows.h>

#include <bcrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

// The catalogs come from the build (add_driver_catalog in
// tests/kit/driver): made by MakeCatalog.exe, signed by osslsigncode with the
// build's throwaway certificate, some damaged on purpose. They cover the two
// probe programs and "Tréiber ü.inf".

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::wstring InfName = L"Tr\u00e9iber \u00fc.inf";

std::wstring FromEnvironment(const wchar_t* variable)
{
    const wchar_t* value = _wgetenv(variable);
    return value == nullptr ? std::wstring() : std::wstring(value);
}

Bytes ReadFromEnvironment(const wchar_t* variable, const std::wstring& name = {})
{
    const std::wstring path = FromEnvironment(variable) + (name.empty() ? L"" : L"/" + name);
    Bytes bytes;
    EXPECT_TRUE(ReadWholeFile(path, bytes)) << "cannot read the build's file " << testing::PrintToString(path);
    return bytes;
}

Bytes Catalog(const wchar_t* name)
{
    return ReadFromEnvironment(L"CATALOG_DIR", name);
}

// The three covered files, as (name, bytes).
std::vector<std::pair<std::wstring, Bytes>> CoveredFiles()
{
    return {{L"KitProbeTool.exe", ReadFromEnvironment(L"CATALOG_PROBE_TOOL")},
            {L"KitProbeDep.dll", ReadFromEnvironment(L"CATALOG_PROBE_DEP")},
            {InfName, ReadFromEnvironment(L"CATALOG_DIR", InfName)}};
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

Bytes WholeFileDigest(const wchar_t* algorithm, const Bytes& bytes)
{
    return DigestOfRanges(algorithm, bytes, {{0, bytes.size()}});
}

TEST(DriverCatalog, SoundCatalogsNameTheirMembersSignerAndOsAttribute)
{
    const Bytes certificate = ReadFromEnvironment(L"CATALOG_CERTIFICATE");
    std::string thumbprint;
    for (const std::uint8_t byte : WholeFileDigest(BCRYPT_SHA1_ALGORITHM, certificate)) {
        thumbprint += Hex(byte, 2);
    }
    const auto files = CoveredFiles();
    for (const auto& [catalogName, algorithm, osAttribute] :
         {std::tuple{L"sound.cat", "SHA256", L"2:10.0"}, std::tuple{L"sound-sha1.cat", "SHA1", L"2:6.1,2:10.0"}}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(catalogName)));
        const DriverCatalog catalog = ReadDriverCatalog(Catalog(catalogName));
        EXPECT_TRUE(catalog.problems.empty()) << Joined(catalog.problems);
        EXPECT_EQ(catalog.osAttribute, osAttribute);
        EXPECT_EQ(catalog.signer.subject, L"CN=Touchpad Test Catalog Signing, O=Touchpad Test");
        EXPECT_EQ(catalog.signer.issuer, catalog.signer.subject);
        EXPECT_EQ(catalog.signer.sha1Thumbprint, thumbprint);
        ASSERT_EQ(catalog.members.size(), files.size());
        for (std::size_t index = 0; index < files.size(); ++index) {
            const CatalogMember& member = catalog.members[index];
            std::string problem;
            EXPECT_EQ(member.fileName, files[index].first);
            EXPECT_EQ(member.digestAlgorithm, algorithm);
            EXPECT_EQ(member.imageDigest, index < 2) << "only the programs are PE images";
            EXPECT_EQ(member.digest, CatalogDigestOfFile(files[index].second, algorithm, problem));
            EXPECT_EQ(FindCatalogMember(catalog, files[index].first, files[index].second, problem), index);
            EXPECT_EQ(problem, "");
        }
    }
}

struct Refusal {
    const wchar_t* catalog;
    std::string catalogProblem; // a problem starts with this; empty: none
    std::wstring uncoveredFile; // the file no member covers; empty: all are
    std::string memberProblem;  // why, from its start
};

TEST(DriverCatalog, RefusesEveryBrokenCatalogNamingTheProblem)
{
    const std::vector<Refusal> refusals = {
        {L"unsigned.cat", "not signed", {}, {}},
        {L"members-changed.cat", "the member list changed after signing: its SHA256 digest is not the signed", {}, {}},
        {L"broken-signature.cat", "the signature does not verify against the signer's certificate", {}, {}},
        {L"member-missing.cat", {}, L"KitProbeDep.dll", "not in the catalog: no member holds its digest"},
        {L"wrong-digest.cat", {}, InfName, "its catalog member holds a different SHA256 digest"},
        {L"flat-digest.cat", {}, L"KitProbeTool.exe", "its catalog member holds the whole file's digest"},
        {L"flat-digest-sha1.cat", {}, L"KitProbeDep.dll", "its catalog member holds the whole file's digest"},
    };
    const auto files = CoveredFiles();
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(refusal.catalog)));
        const DriverCatalog catalog = ReadDriverCatalog(Catalog(refusal.catalog));
        if (refusal.catalogProblem.empty()) {
            EXPECT_TRUE(catalog.problems.empty()) << Joined(catalog.problems);
        } else {
            ASSERT_EQ(catalog.problems.size(), 1U) << Joined(catalog.problems);
            EXPECT_EQ(catalog.problems[0].rfind(refusal.catalogProblem, 0), 0U) << catalog.problems[0];
        }
        for (const auto& [name, bytes] : files) {
            std::string problem;
            const std::size_t member = FindCatalogMember(catalog, name, bytes, problem);
            if (name == refusal.uncoveredFile) {
                EXPECT_EQ(member, catalog.members.size());
                EXPECT_EQ(problem.rfind(refusal.memberProblem, 0), 0U) << problem;
            } else {
                EXPECT_LT(member, catalog.members.size()) << problem;
            }
        }
    }
    const DriverCatalog program = ReadDriverCatalog(files[0].second);
    ASSERT_FALSE(program.problems.empty());
    EXPECT_EQ(program.problems[0].rfind("not a catalog", 0), 0U) << program.problems[0];
}

// Every prefix of a signed catalog is refused without a read past its end.
TEST(DriverCatalog, CutCatalogsAreRefused)
{
    const Bytes sound = Catalog(L"sound.cat");
    ASSERT_FALSE(sound.empty());
    for (std::size_t length = 0; length < sound.size(); ++length) {
        const Bytes cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(ReadDriverCatalog(cut).problems.empty()) << "cut at " << length;
    }
}

// Offsets of fields of the probe program, counted from its PE signature.
std::size_t PeField(const Bytes& image, std::size_t fromSignature)
{
    return Read32(image.data() + 0x3C) + fromSignature;
}
constexpr std::size_t CheckSumField = 24 + 64;
constexpr std::size_t SizeOfHeadersField = 24 + 60;
constexpr std::size_t CertificateEntryField = 24 + 112 + 4 * 8;

void Put32(Bytes& bytes, std::size_t offset, std::uint32_t value)
{
    for (std::size_t index = 0; index < 4; ++index) {
        bytes[offset + index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

TEST(CatalogDigest, ImageDigestLeavesOutTheChecksumAndTheSignature)
{
    const Bytes program = ReadFromEnvironment(L"CATALOG_PROBE_TOOL");
    const Bytes signedProgram = Catalog(L"KitProbeTool-signed.exe");
    ASSERT_FALSE(program.empty());
    ASSERT_GT(signedProgram.size(), program.size());
    std::string problem;
    const Bytes image = CatalogDigestOfFile(program, "SHA256", problem);
    ASSERT_EQ(problem, "");
    EXPECT_NE(image, WholeFileDigest(BCRYPT_SHA256_ALGORITHM, program));
    EXPECT_EQ(CatalogDigestOfFile(signedProgram, "SHA256", problem), image) << problem;
    EXPECT_EQ(CatalogDigestOfFile(program, "SHA1", problem).size(), 20U);

    Bytes changed = program;
    Put32(changed, PeField(changed, CheckSumField), 0x12345678);
    EXPECT_EQ(CatalogDigestOfFile(changed, "SHA256", problem), image) << "the checksum is not hashed";
    changed.back() ^= 0x01;
    EXPECT_NE(CatalogDigestOfFile(changed, "SHA256", problem), image) << "the last section is hashed";

    // A file that only starts like a program is hashed whole.
    const Bytes text = {'M', 'Z', 'x'};
    EXPECT_EQ(CatalogDigestOfFile(text, "SHA256", problem), WholeFileDigest(BCRYPT_SHA256_ALGORITHM, text));
    EXPECT_TRUE(CatalogDigestOfFile(text, "MD5", problem).empty());
    EXPECT_EQ(problem, "unknown digest algorithm \"MD5\"");
}

// A 32-bit image built here: headers of 0x200 bytes, one section of 0x200
// bytes, the optional header laid out for PE32.
Bytes Pe32Image()
{
    Bytes image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, 0x40);
    Put32(image, 0x40, 0x00004550);  // "PE\0\0"
    Put32(image, 0x44, 0x0001014C);  // i386, one section
    Put32(image, 0x54, 0x010200E0);  // optional header of 0xE0 bytes
    Put32(image, 0x58, 0x010B);      // PE32
    Put32(image, 0x58 + 60, 0x200);  // SizeOfHeaders
    Put32(image, 0x58 + 92, 16);     // NumberOfRvaAndSizes
    Put32(image, 0x138 + 16, 0x200); // the section's SizeOfRawData
    Put32(image, 0x138 + 20, 0x200); // and PointerToRawData
    for (std::size_t index = 0x200; index < image.size(); ++index) {
        image[index] = static_cast<std::uint8_t>(index * 7);
    }
    return image;
}

TEST(CatalogDigest, Pe32ImageDigestFollowsItsOwnHeaderLayout)
{
    const Bytes image = Pe32Image();
    std::string problem;
    const Bytes digest = CatalogDigestOfFile(image, "SHA256", problem);
    ASSERT_EQ(problem, "");
    constexpr std::size_t certificateEntry = 0x58 + 96 + 4 * 8;
    Bytes changed = image;
    Put32(changed, 0x58 + 64, 0xCAFE);        // the checksum
    Put32(changed, certificateEntry, 0x1234); // the certificate table's offset, of no size
    EXPECT_EQ(CatalogDigestOfFile(changed, "SHA256", problem), digest);
    // Attribute certificates appended and named in the entry are left out;
    // other data appended is hashed.
    Put32(changed, certificateEntry, 0x400);
    Put32(changed, certificateEntry + 4, 8);
    changed.resize(0x408, 0xEE);
    EXPECT_EQ(CatalogDigestOfFile(changed, "SHA256", problem), digest) << problem;
    Bytes appended = image;
    appended.push_back(0xEE);
    EXPECT_NE(CatalogDigestOfFile(appended, "SHA256", problem), digest);
    for (const std::size_t hashed : {std::size_t{0x58 + 92}, certificateEntry + 8, std::size_t{0x3FF}}) {
        changed = image;
        changed[hashed] ^= 0x01;
        EXPECT_NE(CatalogDigestOfFile(changed, "SHA256", problem), digest) << "byte " << hashed;
    }
}

// Every prefix of a program, and the program with its size fields pointing
// anywhere, gives a digest or a problem, never a read past its end.
TEST(CatalogDigest, DamagedImagesGiveAProblemAndNeverAReadPastTheEnd)
{
    const Bytes program = ReadFromEnvironment(L"CATALOG_PROBE_TOOL");
    ASSERT_FALSE(program.empty());
    for (std::size_t length = 0; length < program.size(); length += length < 1024 ? 1 : 257) {
        const Bytes cut(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(length));
        std::string problem;
        const Bytes digest = CatalogDigestOfFile(cut, "SHA256", problem);
        if (HasImageDigest(cut)) {
            EXPECT_TRUE(digest.empty()) << "cut at " << length << ": its last section is missing";
            EXPECT_FALSE(problem.empty()) << "cut at " << length;
        }
    }
    const std::size_t firstSection = 24 + Read16(program.data() + PeField(program, 20));
    const std::vector<std::pair<std::size_t, std::uint32_t>> hostile = {
        {SizeOfHeadersField, 0xFFFFFFF0U}, {SizeOfHeadersField, 16},         {CertificateEntryField + 4, 0xFFFFFFFFU},
        {CertificateEntryField + 4, 8},    {firstSection + 20, 0xFFFFFFF0U}, {firstSection + 16, 0x7FFFFFFFU}};
    for (const auto& [field, value] : hostile) {
        Bytes changed = program;
        Put32(changed, PeField(changed, field), value);
        std::string problem;
        EXPECT_TRUE(CatalogDigestOfFile(changed, "SHA256", problem).empty()) << field << " = " << value;
        EXPECT_EQ(problem.rfind("no Authenticode image digest: ", 0), 0U) << problem;
    }
}

} // namespace
