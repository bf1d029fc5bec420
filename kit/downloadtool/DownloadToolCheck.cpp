#include "DownloadToolCheck.h"

#include "ByteFields.h"
#include "FileDigest.h"
#include "KitFiles.h"
#include "KitLayout.h"
#include "WindowsDlls.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>

namespace {

std::wstring Widen(const std::string& ascii)
{
    return {ascii.begin(), ascii.end()};
}

// Follows the download tool's imports as the Windows loader resolves them:
// API sets and KnownDLLs from Windows whatever lies in win64, then win64
// (names compared without case), then the DLLs Windows provides. Each
// function taken from a DLL in win64 must be exported there, through its
// forwarders. The DLLs reached through plain imports are loaded when the tool
// starts and make the report's lists; those reached only through delay
// imports or forwarders are judged the same way but not listed.
class ToolWalk {
public:
    ToolWalk(const std::wstring& folder, std::vector<std::wstring>& problems, DownloadToolReport& report)
        : folder(folder), problems(problems), report(report)
    {
        for (const FolderEntry& entry : ListFolder(PathUnder(folder, KitDownloadToolFolder))) {
            if (!entry.isFolder) {
                folderDlls.emplace(LowerAscii(entry.name), entry.name);
            }
        }
    }

    void Run()
    {
        const std::wstring toolPath = KitDownloadToolPath(L'/');
        Visit(toolPath, true);
        // The plain import graph first, as the loader maps it at start.
        while (!pending.empty() || !later.empty()) {
            std::deque<std::wstring>& queue = pending.empty() ? later : pending;
            const std::wstring importer = queue.front();
            queue.pop_front();
            const bool listed = &queue == &pending;
            const auto image = images.find(LowerAscii(importer));
            if (image == images.end() || (!listed && listedPaths.count(LowerAscii(importer)) != 0)) {
                continue;
            }
            for (const PeImport& import : image->second.imports) {
                Resolve(importer, import, false, listed);
            }
            for (const PeImport& import : image->second.delayImports) {
                Resolve(importer, import, true, false);
            }
        }
    }

private:
    enum class Place { Windows, WindowsOverFolder, Folder, Nowhere };

    // Where the loader finds an imported DLL; `path` is its kit path when it
    // is in win64.
    Place Locate(const std::string& name, std::wstring& path) const
    {
        const auto local = folderDlls.find(Widen(LowerAscii(LoaderFileName(name))));
        if (local != folderDlls.end()) {
            path = KitPath(KitDownloadToolFolder, L'/', local->second.c_str());
        }
        if ((IsApiSetName(name) && IsProvidedByWindows(name)) || IsKnownDll(name)) {
            return local != folderDlls.end() ? Place::WindowsOverFolder : Place::Windows;
        }
        if (local != folderDlls.end()) {
            return Place::Folder;
        }
        return IsProvidedByWindows(name) ? Place::Windows : Place::Nowhere;
    }

    static std::wstring NotProvided(const std::string& name)
    {
        return IsApiSetName(name) ? L", an API set that not every Windows 10 and 11 x64 resolves"
                                  : L", which is neither in win64 nor a DLL that Windows provides";
    }

    static std::wstring Consequence(bool delayed)
    {
        return delayed ? L": the download tool would fail at its first call into it"
                       : L": the download tool could not start";
    }

    // Reads a DLL of win64 once; its imports are judged in turn. A DLL met
    // first through a delay import or a forwarder and then through a plain
    // import joins the plain graph.
    void Visit(const std::wstring& path, bool listed)
    {
        const std::wstring key = LowerAscii(path);
        const bool first = visited.insert(key).second;
        if (listed && listedPaths.insert(key).second) {
            if (path != KitDownloadToolPath(L'/')) {
                report.toolDlls.push_back(path);
            }
            if (!first) {
                pending.push_back(path);
            }
        }
        if (!first) {
            return;
        }
        PeImage image;
        if (CheckProgram(folder, path, path != KitDownloadToolPath(L'/'), problems, image)) {
            images.emplace(key, std::move(image));
        }
        (listed ? pending : later).push_back(path);
    }

    void Resolve(const std::wstring& importer, const PeImport& import, bool delayed, bool listed)
    {
        std::wstring path;
        switch (Locate(import.dll, path)) {
        case Place::WindowsOverFolder:
            if (std::find(report.overriddenToolDlls.begin(), report.overriddenToolDlls.end(), path) ==
                report.overriddenToolDlls.end()) {
                report.overriddenToolDlls.push_back(path);
            }
            [[fallthrough]];
        case Place::Windows:
            if (listed &&
                std::find(report.systemDlls.begin(), report.systemDlls.end(), import.dll) == report.systemDlls.end()) {
                report.systemDlls.push_back(import.dll);
            }
            return;
        case Place::Folder:
            Visit(path, listed);
            for (const PeImportedFunction& function : import.functions) {
                CheckFunction(importer, path, function, delayed);
            }
            return;
        case Place::Nowhere:
            problems.push_back(importer + (delayed ? L": delay-loads " : L": needs ") + Widen(import.dll) +
                               NotProvided(import.dll) + Consequence(delayed));
            return;
        }
    }

    // The function must be exported by the win64 DLL at `path`, or forwarded
    // from there to a DLL that has it.
    void CheckFunction(const std::wstring& importer, const std::wstring& path, const PeImportedFunction& function,
                       bool delayed)
    {
        const std::wstring what =
            function.name.empty() ? L"ordinal " + std::to_wstring(function.ordinal) : Widen(function.name);
        std::wstring dll = path;
        PeImportedFunction wanted = function;
        // What is known so far, for the problem line: the import and each
        // forwarder followed.
        std::wstring said = importer;
        said += L": imports ";
        said += what;
        said += L" from ";
        said += path.substr(path.find(L'/') + 1);
        const auto refuse = [&](const std::wstring& why) {
            std::wstring problem = said;
            problem += why;
            problem += Consequence(delayed);
            problems.push_back(std::move(problem));
        };
        // A forwarder chain longer than this loops.
        for (int hop = 0; hop < MaxForwarderHops; ++hop) {
            const auto image = images.find(LowerAscii(dll));
            if (image == images.end()) {
                return; // the DLL itself was refused
            }
            const std::string* forwarder = FindExport(image->second.exports, wanted);
            if (forwarder == nullptr) {
                refuse(hop == 0 ? std::wstring(L", which does not export it")
                                : L", and " + dll.substr(dll.find(L'/') + 1) + L" does not export " +
                                      Widen(Describe(wanted)));
                return;
            }
            if (forwarder->empty()) {
                return;
            }
            const std::size_t dot = forwarder->rfind('.');
            std::string module = forwarder->substr(0, dot == std::string::npos ? 0 : dot);
            if (dot == std::string::npos || module.empty() || dot + 1 == forwarder->size()) {
                refuse(L", whose forwarder \"" + Widen(*forwarder) + L"\" is malformed");
                return;
            }
            // The loader adds ".dll" to a forwarder's module without a dot.
            if (module.find('.') == std::string::npos) {
                module += ".dll";
            }
            const std::string target = forwarder->substr(dot + 1);
            wanted = {};
            if (target[0] == '#') {
                wanted.ordinal = static_cast<std::uint16_t>(std::strtoul(target.c_str() + 1, nullptr, 10));
            } else {
                wanted.name = target;
            }
            said += L", which forwards it to ";
            said += Widen(*forwarder);
            std::wstring next;
            switch (Locate(module, next)) {
            case Place::Windows:
            case Place::WindowsOverFolder:
                return; // only the DLL's name can be judged here
            case Place::Nowhere:
                refuse(L", and " + Widen(module) + NotProvided(module));
                return;
            case Place::Folder:
                Visit(next, false);
                dll = next;
                break;
            }
        }
        refuse(L": a forwarder loop");
    }

    static std::string Describe(const PeImportedFunction& function)
    {
        return function.name.empty() ? "ordinal " + std::to_string(function.ordinal) : function.name;
    }

    static constexpr int MaxForwarderHops = 16;
    const std::wstring& folder;
    std::vector<std::wstring>& problems;
    DownloadToolReport& report;
    std::map<std::wstring, std::wstring> folderDlls; // lower-case name -> name on disk
    std::set<std::wstring> visited;                  // lower-case kit paths
    std::set<std::wstring> listedPaths;              // of those, the ones reached through plain imports
    std::map<std::wstring, PeImage> images;          // lower-case kit path -> the image, when it could be read
    std::deque<std::wstring> pending;                // reached through plain imports
    std::deque<std::wstring> later;                  // reached only through delay imports or forwarders
};

} // namespace

bool CheckProgram(const std::wstring& folder, const std::wstring& path, bool isDll, std::vector<std::wstring>& problems,
                  PeImage& image)
{
    std::vector<std::uint8_t> bytes;
    if (!IsFile(PathUnder(folder, path))) {
        problems.push_back(path + L": missing");
        return false;
    }
    if (!ReadWholeFile(PathUnder(folder, path), bytes)) {
        problems.push_back(path + L": cannot be read");
        return false;
    }
    image = ReadPeImage(bytes);
    const std::wstring what = isDll ? L"DLL" : L"console program";
    if (!image.problem.empty()) {
        problems.push_back(path + L": " + Widen(image.problem));
        return false;
    }
    if (image.machine != PeMachineAmd64 || image.optionalMagic != PeOptionalMagic64) {
        problems.push_back(path + L": not an x86-64 (PE32+) " + what + L": machine 0x" + Widen(Hex(image.machine, 4)) +
                           L", optional header 0x" + Widen(Hex(image.optionalMagic, 4)));
        return false;
    }
    const bool markedDll = (image.characteristics & PeCharacteristicDll) != 0;
    if (markedDll != isDll) {
        problems.push_back(path + (isDll ? L": a program, not a DLL" : L": a DLL, not a program"));
    } else if (!isDll && image.subsystem != PeSubsystemConsole) {
        problems.push_back(path + L": not a console program (subsystem " + std::to_wstring(image.subsystem) + L")");
    }
    return true;
}

void CheckDownloadTool(const std::wstring& folder, std::vector<std::wstring>& problems, DownloadToolReport& report)
{
    ToolWalk(folder, problems, report).Run();
}
