// The installer script: every .inf and program it names is in the folder,
// and what it does with the exit codes is sound (the script is read by
// InstallerScript.cpp).

#include "FileDigest.h"
#include "InfRules.h"
#include "InstallerScript.h"
#include "KitLayout.h"
#include "PackageSteps.h"

#include <windows.h>

#include <shlwapi.h>

#include <algorithm>

namespace {

// The kit's files that a name of the batch file stands for: wildcards
// expand, a program without extension is found as cmd finds it.
std::vector<std::wstring> Named(const CheckedKit& kit, const std::wstring& name, bool program)
{
    std::vector<std::wstring> found;
    std::wstring kitPath;
    if (!Resolve(KitDriverFolder, name, kitPath)) {
        return found;
    }
    if (kitPath.find_first_of(L"*?") != std::wstring::npos) {
        for (const KitFile& file : kit.Files()) {
            if (SameText(Folder(file.path), Folder(kitPath)) &&
                PathMatchSpecW(FileName(file.path).c_str(), FileName(kitPath).c_str())) {
                found.push_back(file.path);
            }
        }
        return found;
    }
    const bool bare = program && FileName(kitPath).find(L'.') == std::wstring::npos;
    for (const wchar_t* extension : {L"", L".com", L".exe", L".bat", L".cmd"}) {
        if ((*extension != L'\0') == bare && kit.Find(kitPath + extension) != nullptr) {
            found.push_back(kit.Find(kitPath + extension)->path);
            return found;
        }
    }
    // A folder of the package ("cd /d %~dp0amd64") holds files.
    const std::wstring folder = kitPath + L"/";
    if (std::any_of(kit.Files().begin(), kit.Files().end(), [&](const KitFile& file) {
            return file.path.size() > folder.size() && SameText(file.path.substr(0, folder.size()), folder);
        })) {
        found.push_back(kitPath + L"/");
    }
    return found;
}

} // namespace

void CheckInstaller(CheckedKit& kit, DriverPackageReport& report)
{
    const std::wstring installer = KitInstallerPath(L'/');
    std::vector<std::uint8_t> bytes;
    if (kit.Find(installer) == nullptr || !ReadWholeFile(kit.FullPath(installer), bytes)) {
        return; // the kit's own check reports it
    }
    const InstallerScript script = ReadInstallerScript(std::string(bytes.begin(), bytes.end()));
    const auto where = [&](unsigned line) { return installer + L": line " + std::to_wstring(line); };
    bool bindingNamed = false;
    for (const ScriptName& name : script.infs) {
        const std::vector<std::wstring> found = Named(kit, name.path, false);
        if (found.empty()) {
            kit.Problem(where(name.line), L"names " + name.path + L", which is not in the folder");
        }
        for (const std::wstring& inf : found) {
            bindingNamed = bindingNamed || std::any_of(report.infs.begin(), report.infs.end(),
                                                       [&](const DriverInf& bound) { return bound.path == inf; });
            if (std::find(report.installerInfs.begin(), report.installerInfs.end(), inf) ==
                report.installerInfs.end()) {
                report.installerInfs.push_back(inf);
            }
        }
    }
    for (const ScriptName& name : script.files) {
        const std::vector<std::wstring> found = Named(kit, name.path, true);
        if (found.empty()) {
            kit.Problem(where(name.line), L"runs or names " + name.path +
                                              L", which is neither in the folder nor one of Windows' own tools");
        } else if (std::find(report.installerFiles.begin(), report.installerFiles.end(), found[0]) ==
                   report.installerFiles.end()) {
            report.installerFiles.push_back(found[0]);
        }
    }
    report.installerTools = script.systemTools;
    for (const ScriptNote& note : script.warnings) {
        kit.Warning(where(note.line), note.text);
    }
    const bool runsDpinst =
        std::any_of(report.installerFiles.begin(), report.installerFiles.end(),
                    [](const std::wstring& file) { return Lower(FileName(file)).rfind(L"dpinst", 0) == 0; });
    if (!report.installerInfs.empty() && !bindingNamed && !runsDpinst) {
        kit.Warning(installer,
                    L"installs " + List(report.installerInfs) + L", none of which binds " + BootloaderDeviceId);
    } else if (report.installerInfs.empty() && !runsDpinst) {
        kit.Warning(installer, L"names no .inf file and runs no dpinst: it may install no driver");
    }
}
