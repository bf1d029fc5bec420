#include "KitFolder.h"

#include "DownloadToolCheck.h"
#include "FileDigest.h"
#include "FirmwareCheck.h"
#include "KitFiles.h"
#include "PeImage.h"

#include <windows.h>

#include <algorithm>

namespace {

// A kit is a few folders deep. A link or junction is a problem and is never
// followed: it would list and hash files from outside the kit, which do not
// ship with it.
// NOLINTNEXTLINE(misc-no-recursion)
void ListFiles(const std::wstring& folder, const std::wstring& relative, std::vector<KitFile>& files,
               std::vector<std::wstring>& problems)
{
    for (const FolderEntry& entry : ListFolder(relative.empty() ? folder : PathUnder(folder, relative))) {
        const std::wstring path = relative.empty() ? entry.name : relative + L"/" + entry.name;
        if (entry.isLink) {
            problems.push_back(path + L": a link or junction, not followed: a kit holds its files itself");
        } else if (entry.isFolder) {
            ListFiles(folder, path, files, problems);
        } else {
            files.push_back({path, entry.size, {}});
        }
    }
}

void CheckInstaller(const std::wstring& folder, KitReport& report)
{
    const std::wstring installerPath = KitInstallerPath(L'/');
    const std::wstring path = PathUnder(folder, installerPath);
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
    PeImage image;
    CheckProgram(folder, KitProgramName, false, report.problems, image);
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
    ListFiles(folder, {}, report.files, report.problems);
    std::sort(report.files.begin(), report.files.end(),
              [](const KitFile& left, const KitFile& right) { return left.path < right.path; });
    for (KitFile& file : report.files) {
        std::vector<std::uint8_t> bytes;
        if (!ReadWholeFile(PathUnder(folder, file.path), bytes)) {
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
    CheckDownloadTool(folder, report.problems, report);
    CheckFirmware(folder, report.problems, report.firmware);
    DigestFiles(folder, report);
    CheckDriverPackage(folder, report.files, report.problems, report.warnings, report.driver);
    return report;
}
