// The install section Windows x64 runs for the bound model, and the
// companions it reads beside it.

#include "InfRules.h"
#include "PackageSteps.h"

#include <array>

namespace {

// The companions Windows reads beside the install section it chose.
constexpr std::array<const wchar_t*, 4> CompanionSuffixes = {L".Services", L".HW", L".Wdf", L".CoInstallers"};
// The platform decorations an install section may carry.
constexpr std::array<const wchar_t*, 7> SectionDecorations = {L"",       L".NT",      L".NTamd64", L".NTx86",
                                                              L".NTarm", L".NTarm64", L".NTia64"};

} // namespace

// The decorated install section Windows x64 runs for this name, or
// empty text (with a problem) when there is none.
std::wstring InstallSection(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& name)
{
    for (const std::wstring& candidate : InstallSectionCandidates(name)) {
        if (file.HasSection(candidate)) {
            return candidate;
        }
    }
    kit.Problem(path, L"the install section " + name + L" (" + List(InstallSectionCandidates(name)) + L") is missing");
    return {};
}

// `base` is the name the models section gives, `section` the decorated
// one Windows x64 runs.
DriverInstall CheckInstall(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& base,
                           const std::wstring& section)
{
    DriverInstall install;
    install.section = section;
    for (const wchar_t* suffix : CompanionSuffixes) {
        if (file.HasSection(section + suffix)) {
            continue;
        }
        for (const wchar_t* decoration : SectionDecorations) {
            // Another architecture's install section has companions of
            // its own; the generic ones are meant for x64 too.
            const std::wstring other = base + decoration + suffix;
            const bool generic = std::wstring(decoration).size() <= 3;
            if (file.HasSection(other) && !SameText(base + decoration, section) &&
                (generic || !file.HasSection(base + decoration))) {
                kit.Problem(path, Section(other) + L" does not go with the install section Windows x64 runs, " +
                                      Section(section) + L": Windows reads " + Section(section + suffix) +
                                      L", which is missing");
            }
        }
    }
    for (const std::wstring& copying : {section, section + L".CoInstallers"}) {
        CheckCopies(kit, file, path, copying, install);
    }
    CheckFunctionDriver(kit, file, path, section, install);
    return install;
}
