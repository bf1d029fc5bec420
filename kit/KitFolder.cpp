#include "KitFolder.h"

#include "ByteFields.h"
#include "FileDigest.h"
#include "PeImage.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>

namespace {

// DLLs in System32 of every Windows 10 and 11 x64 installation that a
// console tool such as the download tool may import. Deliberately absent:
// the Visual C++ runtime (vcruntime140.dll, msvcp140.dll) and libusb, which
// come with their programs, not with Windows.
constexpr std::array<const char*, 30> WindowsDlls = {
    "advapi32.dll",   "bcrypt.dll",  "cfgmgr32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll",
    "dbghelp.dll",    "gdi32.dll",   "hid.dll",      "imm32.dll",    "iphlpapi.dll", "kernel32.dll",
    "kernelbase.dll", "msvcrt.dll",  "ntdll.dll",    "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",     "secur32.dll", "setupapi.dll", "shell32.dll",  "shlwapi.dll",  "ucrtbase.dll",
    "user32.dll",     "userenv.dll", "version.dll",  "winmm.dll",    "winusb.dll",   "ws2_32.dll",
};

struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) { return value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) { FindClose(value); }
};

struct FolderEntry {
    std::wstring name;
    bool isFolder = false;
    std::uint64_t size = 0;
};

// DLL names compare without case; ASCII folding is what matters for them.
template <typename Text> Text LowerAscii(Text text)
{
    for (auto& letter : text) {
        if (letter >= 'A' && letter <= 'Z') {
            letter = static_cast<typename Text::value_type>(letter - 'A' + 'a');
        }
    }
    return text;
}

std::wstring Widen(const std::string& ascii)
{
    return {ascii.begin(), ascii.end()};
}

// A kit-relative path with forward slashes, as a Windows path under the kit.
std::wstring Under(const std::wstring& folder, const std::wstring& relative)
{
    std::wstring path = folder + L"\\" + relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// The entries of a folder (not "." and ".."); empty when it cannot be listed.
std::vector<FolderEntry> ListFolder(const std::wstring& path)
{
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found{};
    const UniqueHandle<FindTraits> search(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (!search.IsValid()) {
        return entries;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back(
            {name, isFolder, (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32U) | found.nFileSizeLow});
    } while (FindNextFileW(search.Get(), &found));
    return entries;
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A kit is a few folders deep.
// NOLINTNEXTLINE(misc-no-recursion)
void ListFiles(const std::wstring& folder, const std::wstring& relative, std::vector<KitFile>& files)
{
    for (const FolderEntry& entry : ListFolder(relative.empty() ? folder : Under(folder, relative))) {
        const std::wstring path = relative.empty() ? entry.name : relative + L"/" + entry.name;
        if (entry.isFolder) {
            ListFiles(folder, path, files);
        } else {
            files.push_back({path, entry.size, {}});
        }
    }
}

// Checks that the file is an x86-64 console program (or DLL) and returns its
// imports; every problem is added under the file's kit path.
std::vector<std::string> CheckProgram(const std::wstring& folder, const std::wstring& path, bool isDll,
                                      std::vector<std::wstring>& problems)
{
    std::vector<std::uint8_t> bytes;
    if (!IsFile(Under(folder, path))) {
        problems.push_back(path + L": missing");
        return {};
    }
    if (!ReadWholeFile(Under(folder, path), bytes)) {
        problems.push_back(path + L": cannot be read");
        return {};
    }
    const PeImage image = ReadPeImage(bytes);
    const std::wstring what = isDll ? L"DLL" : L"console program";
    if (!image.problem.empty()) {
        problems.push_back(path + L": " + Widen(image.problem));
        return {};
    }
    if (image.machine != PeMachineAmd64 || image.optionalMagic != PeOptionalMagic64) {
        problems.push_back(path + L": not an x86-64 (PE32+) " + what + L": machine 0x" + Widen(Hex(image.machine, 4)) +
                           L", optional header 0x" + Widen(Hex(image.optionalMagic, 4)));
        return {};
    }
    const bool markedDll = (image.characteristics & PeCharacteristicDll) != 0;
    if (markedDll != isDll) {
        problems.push_back(path + (isDll ? L": a program, not a DLL" : L": a DLL, not a program"));
    } else if (!isDll && image.subsystem != PeSubsystemConsole) {
        problems.push_back(path + L": not a console program (subsystem " + std::to_wstring(image.subsystem) + L")");
    }
    std::vector<std::string> dlls;
    for (const PeImport& import : image.imports) {
        dlls.push_back(import.dll);
    }
    return dlls;
}

// Follows the download tool's imports through the DLLs of its own folder.
void CheckDownloadTool(const std::wstring& folder, KitReport& report)
{
    std::map<std::wstring, std::wstring> folderDlls; // lower-case name -> name on disk
    const std::wstring toolPath = KitDownloadToolPath(L'/');
    for (const FolderEntry& entry : ListFolder(Under(folder, KitDownloadToolFolder))) {
        if (!entry.isFolder) {
            folderDlls.emplace(LowerAscii(entry.name), entry.name);
        }
    }
    std::deque<std::wstring> pending = {toolPath};
    std::vector<std::wstring> visited = {LowerAscii(toolPath)};
    while (!pending.empty()) {
        const std::wstring importer = pending.front();
        pending.pop_front();
        const bool isDll = importer != toolPath;
        for (const std::string& name : CheckProgram(folder, importer, isDll, report.problems)) {
            const auto local = folderDlls.find(Widen(LowerAscii(name)));
            if (local != folderDlls.end()) {
                const std::wstring path = KitPath(KitDownloadToolFolder, L'/', local->second.c_str());
                if (std::find(visited.begin(), visited.end(), LowerAscii(path)) == visited.end()) {
                    visited.push_back(LowerAscii(path));
                    report.toolDlls.push_back(path);
                    pending.push_back(path);
                }
            } else if (IsProvidedByWindows(name)) {
                if (std::find(report.systemDlls.begin(), report.systemDlls.end(), name) == report.systemDlls.end()) {
                    report.systemDlls.push_back(name);
                }
            } else {
                report.problems.push_back(importer + L": needs " + Widen(name) +
                                          L", which is neither in win64 nor a DLL that Windows provides: the "
                                          L"download tool could not start");
            }
        }
    }
}

void CheckFirmware(const std::wstring& folder, KitReport& report)
{
    const std::wstring firmwarePath = KitFirmwarePath(L'/');
    std::vector<std::uint8_t> bytes;
    if (!IsFile(Under(folder, firmwarePath))) {
        report.problems.push_back(firmwarePath + L": missing");
        return;
    }
    if (!ReadWholeFile(Under(folder, firmwarePath), bytes)) {
        report.problems.push_back(firmwarePath + L": cannot be read");
        return;
    }
    report.firmware = ReadDfuSeImage(bytes);
    for (const DfuProblem& problem : report.firmware.problems) {
        report.problems.push_back(firmwarePath + L": at byte " + std::to_wstring(problem.offset) + L": " +
                                  Widen(problem.what));
    }
}

void CheckInstaller(const std::wstring& folder, KitReport& report)
{
    const std::wstring installerPath = KitInstallerPath(L'/');
    const std::wstring path = Under(folder, installerPath);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!IsFile(path) || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        report.problems.push_back(installerPath + L": missing");
    } else if (data.nFileSizeHigh == 0 && data.nFileSizeLow == 0) {
        report.problems.push_back(installerPath + L": empty");
    }
}

// Windows looks beside the program first for the DLLs it loads by name, so
// any DLL there could run inside the elevated process.
void CheckProgramFolder(const std::wstring& folder, KitReport& report)
{
    CheckProgram(folder, KitProgramName, false, report.problems);
    for (const FolderEntry& entry : ListFolder(folder)) {
        const std::wstring name = LowerAscii(entry.name);
        if (!entry.isFolder && name.size() > 4 && name.compare(name.size() - 4, 4, L".dll") == 0) {
            report.problems.push_back(entry.name + L": a DLL beside " + KitProgramName +
                                      L" could be loaded into the elevated process");
        }
    }
}

void DigestFiles(const std::wstring& folder, KitReport& report)
{
    ListFiles(folder, {}, report.files);
    std::sort(report.files.begin(), report.files.end(),
              [](const KitFile& left, const KitFile& right) { return left.path < right.path; });
    for (KitFile& file : report.files) {
        std::vector<std::uint8_t> bytes;
        if (!ReadWholeFile(Under(folder, file.path), bytes)) {
            report.problems.push_back(file.path + L": cannot be read");
            continue;
        }
        file.sha256 = Sha256Hex(bytes);
        if (file.sha256.empty()) {
            report.problems.push_back(file.path + L": no SHA-256 (the system's provider failed)");
        }
    }
}

} // namespace

bool IsProvidedByWindows(const std::string& dllName)
{
    const std::string name = LowerAscii(dllName);
    if (name.rfind("api-ms-win-", 0) == 0 || name.rfind("ext-ms-win-", 0) == 0) {
        return true;
    }
    return std::find(WindowsDlls.begin(), WindowsDlls.end(), name) != WindowsDlls.end();
}

KitReport CheckKit(const std::wstring& folder)
{
    KitReport report;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        report.problems.push_back(folder + L": not a folder");
        return report;
    }
    CheckProgramFolder(folder, report);
    CheckInstaller(folder, report);
    CheckDownloadTool(folder, report);
    CheckFirmware(folder, report);
    DigestFiles(folder, report);
    CheckDriverPackage(folder, report.files, report.problems, report.warnings, report.driver);
    return report;
}
