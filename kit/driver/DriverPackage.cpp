#include "DriverPackage.h"

#include "InfRules.h"
#include "KitLayout.h"
#include "PackageSteps.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <utility>

CheckedKit::CheckedKit(const std::wstring& kitFolder, const std::vector<KitFile>& files,
                       std::vector<std::wstring>& problems, std::vector<std::wstring>& warnings)
    : kitFolder(kitFolder), files(files), problems(problems), warnings(warnings)
{
}

const KitFile* CheckedKit::Find(const std::wstring& kitPath) const
{
    const auto found =
        std::find_if(files.begin(), files.end(), [&](const KitFile& file) { return SameText(file.path, kitPath); });
    return found == files.end() ? nullptr : &*found;
}

void CheckedKit::Problem(const std::wstring& path, const std::wstring& text)
{
    const std::wstring line = path + L": " + text;
    if (std::find(problems.begin(), problems.end(), line) == problems.end()) {
        problems.push_back(line);
    }
}

void CheckedKit::Warning(const std::wstring& path, const std::wstring& text)
{
    const std::wstring line = path + L": " + text;
    if (std::find(warnings.begin(), warnings.end(), line) == warnings.end()) {
        warnings.push_back(line);
    }
}

bool Resolve(const std::wstring& folder, const std::wstring& relative, std::wstring& kitPath)
{
    std::vector<std::wstring> parts;
    std::wstring part;
    std::wstring whole = folder;
    whole += L'/';
    whole += relative;
    whole += L'/';
    for (const wchar_t letter : whole) {
        if (letter != L'/' && letter != L'\\') {
            part.push_back(letter);
            continue;
        }
        if (part == L"..") {
            if (parts.size() <= 1) {
                return false;
            }
            parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        part.clear();
    }
    kitPath.clear();
    for (const std::wstring& each : parts) {
        kitPath += (kitPath.empty() ? L"" : L"/") + each;
    }
    return !parts.empty() && SameText(parts[0], KitDriverFolder) && parts.size() > 1;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& letter : text) {
        letter = static_cast<wchar_t>(std::towlower(letter));
    }
    return text;
}

bool EndsWithText(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && SameText(text.substr(text.size() - end.size()), end);
}

std::wstring FileName(const std::wstring& path)
{
    return path.substr(path.find_last_of(L"\\/") + 1);
}

std::wstring Folder(const std::wstring& kitPath)
{
    const std::size_t slash = kitPath.rfind(L'/');
    return slash == std::wstring::npos ? std::wstring() : kitPath.substr(0, slash);
}

std::wstring Section(const std::wstring& name)
{
    return L"[" + name + L"]";
}

std::wstring List(const std::vector<std::wstring>& items)
{
    std::wstring text;
    for (std::size_t index = 0; index < items.size(); ++index) {
        text += (index == 0 ? L"" : index + 1 == items.size() ? L" and " : L", ") + items[index];
    }
    return text;
}

bool ReadNumberField(const std::wstring& text, unsigned& value)
{
    if (text.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(text.c_str(), &end, 0);
    value = static_cast<unsigned>(number);
    return *end == L'\0';
}

namespace {

std::wstring DriverFolderPrefix()
{
    return std::wstring(KitDriverFolder) + L"/";
}

// The steps for one INF, in the order PackageSteps.h lists them.
void CheckInf(CheckedKit& kit, DriverInf& inf)
{
    InfFile file;
    std::wstring problem;
    if (!file.Open(kit.FullPath(inf.path), problem)) {
        kit.Problem(inf.path, problem);
        return;
    }
    CheckVersion(kit, file, inf);
    CheckDecorations(kit, file, inf.path);
    std::map<std::wstring, DriverInstall> installs; // by decorated section, lower case
    for (const unsigned build : ReportedBuilds) {
        DriverBuildChoice choice = ChooseModels(kit, file, inf.path, build);
        if (!choice.matchedId.empty()) {
            const std::wstring base = choice.installSection;
            choice.installSection = InstallSection(kit, file, inf.path, base);
            const std::wstring key = Lower(choice.installSection);
            if (!choice.installSection.empty() && installs.count(key) == 0) {
                installs[key] = CheckInstall(kit, file, inf.path, base, choice.installSection);
            }
        }
        inf.builds.push_back(choice);
    }
    for (auto& [key, install] : installs) {
        inf.installs.push_back(std::move(install));
    }
    if (std::any_of(inf.builds.begin(), inf.builds.end(),
                    [](const DriverBuildChoice& choice) { return !choice.matchedId.empty(); })) {
        CheckCatalog(kit, inf);
    }
}

void CheckPackage(CheckedKit& kit, DriverPackageReport& report)
{
    std::vector<DriverInf> candidates;
    for (const KitFile& file : kit.Files()) {
        if (file.path.rfind(DriverFolderPrefix(), 0) == 0 && EndsWithText(file.path, L".inf")) {
            DriverInf inf;
            inf.path = file.path;
            inf.sha256 = file.sha256;
            CheckInf(kit, inf);
            candidates.push_back(std::move(inf));
        }
    }
    if (candidates.empty()) {
        kit.Problem(KitDriverFolder,
                    std::wstring(L"no .inf file: nothing would install a driver for ") + BootloaderDeviceId);
    }
    CheckCoverage(kit, candidates);
    const auto binds = [](const DriverInf& inf) {
        return std::any_of(inf.builds.begin(), inf.builds.end(),
                           [](const DriverBuildChoice& choice) { return !choice.matchedId.empty(); });
    };
    const bool anyBinds = std::any_of(candidates.begin(), candidates.end(), binds);
    for (DriverInf& inf : candidates) {
        if (binds(inf)) {
            report.infs.push_back(std::move(inf));
        } else if (anyBinds && !inf.builds.empty()) {
            kit.Warning(inf.path, std::wstring(L"binds ") + BootloaderDeviceId +
                                      L" on no Windows 10/11 x64 build; another INF does");
        }
    }
    CheckInstaller(kit, report);
}

} // namespace

void CheckDriverPackage(const std::wstring& kitFolder, const std::vector<KitFile>& files,
                        std::vector<std::wstring>& problems, std::vector<std::wstring>& warnings,
                        DriverPackageReport& report)
{
    CheckedKit kit(kitFolder, files, problems, warnings);
    CheckPackage(kit, report);
}
