// The package's catalog: signed, its signature over the member list as it
// stands, and a member holding the digest of the INF and of every copied
// file (the catalog itself is read by DriverCatalog.cpp).

#include "ByteFields.h"
#include "DriverCatalog.h"
#include "FileDigest.h"
#include "PackageSteps.h"

namespace {

std::wstring DigestText(const CatalogMember& member)
{
    std::string text = member.digestAlgorithm + (member.imageDigest ? " image digest " : " file digest ");
    for (const std::uint8_t byte : member.digest) {
        text += Hex(byte, 2);
    }
    return {text.begin(), text.end()};
}

// The member that covers the file, or a problem naming the file.
void Cover(CheckedKit& kit, const DriverCatalog& catalog, const std::wstring& catalogPath, const std::wstring& kitPath,
           DriverCatalogCover& cover)
{
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(kit.FullPath(kitPath), bytes)) {
        kit.Problem(kitPath, L"cannot be read");
        return;
    }
    std::string problem;
    const std::size_t index = FindCatalogMember(catalog, FileName(kitPath), bytes, problem);
    if (index >= catalog.members.size()) {
        kit.Problem(kitPath, std::wstring(problem.begin(), problem.end()) + L" (catalog " + catalogPath + L")");
        return;
    }
    cover.member = catalog.members[index].fileName;
    cover.digest = DigestText(catalog.members[index]);
}

} // namespace

// Windows installs the package only when the catalog's signature holds
// and covers the INF and every file it copies.
void CheckCatalog(CheckedKit& kit, DriverInf& inf)
{
    std::vector<std::uint8_t> bytes;
    if (inf.catalogPath.empty()) {
        return; // [Version]'s check names it
    }
    if (!ReadWholeFile(kit.FullPath(inf.catalogPath), bytes)) {
        kit.Problem(inf.catalogPath, L"cannot be read");
        return;
    }
    const DriverCatalog catalog = ReadDriverCatalog(bytes);
    for (const std::string& problem : catalog.problems) {
        kit.Problem(inf.catalogPath, std::wstring(problem.begin(), problem.end()));
    }
    inf.signer = catalog.signer;
    inf.osAttribute = catalog.osAttribute;
    if (catalog.members.empty() && !catalog.problems.empty()) {
        return; // nothing to look files up in
    }
    Cover(kit, catalog, inf.catalogPath, inf.path, inf.cover);
    for (DriverInstall& install : inf.installs) {
        for (DriverFile& file : install.files) {
            Cover(kit, catalog, inf.catalogPath, file.path, file.cover);
        }
    }
}
