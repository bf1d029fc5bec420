// The files an install section copies: where each goes, where it comes
// from in the folder, and that a program file loads on Windows x64.

#include "ByteFields.h"
#include "FileDigest.h"
#include "InfRules.h"
#include "PackageSteps.h"
#include "PeImage.h"

#include <array>
#include <utility>

namespace {

constexpr std::uint16_t PeMachineI386 = 0x014C;
constexpr std::uint16_t PeSubsystemNative = 1;

struct Destination {
    unsigned dirId = 0;
    std::wstring subFolder;
};

// Where the files of a file list go (`list` empty for "@file" copies,
// which go to the default destination); `what` names them in a problem.
bool DestinationOf(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& list,
                   const std::wstring& what, Destination& destination)
{
    std::vector<InfLine> lines = list.empty() ? std::vector<InfLine>() : file.Lines(L"DestinationDirs", list);
    if (lines.empty()) {
        lines = file.Lines(L"DestinationDirs", L"DefaultDestDir");
    }
    if (lines.empty() || !ReadNumberField(lines[0].Field(1), destination.dirId)) {
        kit.Problem(path, what + L" has no destination: [DestinationDirs] lists neither it nor a DefaultDestDir");
        return false;
    }
    destination.subFolder = lines[0].Field(2);
    while (!destination.subFolder.empty() &&
           (destination.subFolder.back() == L'\\' || destination.subFolder.back() == L'/')) {
        destination.subFolder.pop_back();
    }
    destination.subFolder.erase(0, destination.subFolder.find_first_not_of(L"\\/"));
    // The Windows folder's System32, drivers and SysWOW64 are the same
    // folders as their own DIRIDs.
    const std::array<std::pair<const wchar_t*, unsigned>, 3> aliases = {
        {{L"System32", DirIdSystem32}, {L"System32\\drivers", DirIdDrivers}, {L"SysWOW64", DirIdSysWow64}}};
    for (const auto& [subFolder, dirId] : aliases) {
        if (destination.dirId == DirIdWindows && SameText(destination.subFolder, subFolder)) {
            destination = {dirId, {}};
        }
    }
    if (destination.dirId == DirIdSystem32 && SameText(destination.subFolder, L"drivers")) {
        destination = {DirIdDrivers, {}};
    }
    return true;
}

// Where the file comes from, as a kit path; empty (with a problem)
// when the INF does not say or the file is not there.
std::wstring SourceOf(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& list,
                      const std::wstring& source)
{
    std::vector<InfLine> entry = file.Lines(L"SourceDisksFiles.amd64", source);
    if (entry.empty()) {
        entry = file.Lines(L"SourceDisksFiles", source);
    }
    if (entry.empty()) {
        kit.Problem(path, Section(list) + L" copies " + source +
                              L", which [SourceDisksFiles.amd64] and [SourceDisksFiles] do not list");
        return {};
    }
    const std::wstring disk = entry[0].Field(1);
    std::vector<InfLine> diskLine = file.Lines(L"SourceDisksNames.amd64", disk);
    if (diskLine.empty()) {
        diskLine = file.Lines(L"SourceDisksNames", disk);
    }
    if (diskLine.empty()) {
        kit.Problem(path, L"[SourceDisksFiles]: " + source + L" lies on disk \"" + disk +
                              L"\", which [SourceDisksNames.amd64] and [SourceDisksNames] do not list");
        return {};
    }
    std::wstring kitPath;
    const std::wstring relative = diskLine[0].Field(4) + L"\\" + entry[0].Field(2) + L"\\" + source;
    if (!Resolve(Folder(path), relative, kitPath)) {
        kit.Problem(path,
                    Section(list) + L" copies " + source + L" from outside the driver folder (" + relative + L")");
        return {};
    }
    const KitFile* found = kit.Find(kitPath);
    if (found == nullptr) {
        kit.Problem(path, Section(list) + L" copies " + source + L", which is not in the folder (" + kitPath + L")");
        return {};
    }
    return found->path;
}

// A program file copied onto Windows x64 must load there: x64 (x86 in
// SysWOW64), and a driver has the native subsystem.
void CheckCopiedImage(CheckedKit& kit, const std::wstring& kitPath, const std::wstring& target, unsigned dirId)
{
    std::vector<std::uint8_t> bytes;
    const bool looksLikeImage =
        EndsWithText(target, L".sys") || EndsWithText(target, L".dll") || EndsWithText(target, L".exe");
    if (!ReadWholeFile(kit.FullPath(kitPath), bytes)) {
        kit.Problem(kitPath, L"cannot be read");
        return;
    }
    if (!looksLikeImage && (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z')) {
        return;
    }
    const PeImage image = ReadPeImage(bytes);
    if (!image.problem.empty()) {
        kit.Problem(kitPath, std::wstring(image.problem.begin(), image.problem.end()));
        return;
    }
    const bool wantsX86 = dirId == DirIdSysWow64;
    if (wantsX86 ? image.machine != PeMachineI386
                 : image.machine != PeMachineAmd64 || image.optionalMagic != PeOptionalMagic64) {
        const std::string machine = Hex(image.machine, 4);
        kit.Problem(kitPath, L"copied to " + DirIdName(dirId) + L" as " + target + L", but not an " +
                                 (wantsX86 ? L"x86" : L"x86-64 (PE32+)") + L" image (machine 0x" +
                                 std::wstring(machine.begin(), machine.end()) + L")");
    } else if (EndsWithText(target, L".sys") && image.subsystem != PeSubsystemNative) {
        kit.Problem(kitPath, L"a driver (.sys) without the native subsystem (subsystem " +
                                 std::to_wstring(image.subsystem) + L"): Windows does not load it as a driver");
    }
}

} // namespace

void CheckCopies(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& section,
                 DriverInstall& install)
{
    for (const InfLine& directive : file.Lines(section, L"CopyFiles")) {
        for (const std::wstring& field : directive.fields) {
            // "@file" copies one file to the default destination.
            const bool single = !field.empty() && field[0] == L'@';
            std::vector<std::pair<std::wstring, std::wstring>> copies; // destination name, source name
            if (single) {
                copies.emplace_back(field.substr(1), field.substr(1));
            } else if (!file.HasSection(field)) {
                kit.Problem(path, Section(section) + L": CopyFiles names " + Section(field) + L", which is missing");
                continue;
            } else {
                for (const InfLine& line : file.Lines(field)) {
                    const std::wstring target = line.Field(1).empty() ? line.key : line.Field(1);
                    copies.emplace_back(target, line.Field(2).empty() ? target : line.Field(2));
                }
            }
            Destination destination;
            const std::wstring what = single ? Section(section) + L": CopyFiles=" + field : Section(field);
            if (copies.empty() || !DestinationOf(kit, file, path, single ? std::wstring() : field, what, destination)) {
                continue;
            }
            for (const auto& [target, source] : copies) {
                const std::wstring kitPath = SourceOf(kit, file, path, single ? section : field, source);
                if (kitPath.empty()) {
                    continue;
                }
                CheckCopiedImage(kit, kitPath, target, destination.dirId);
                DriverFile copied;
                copied.path = kitPath;
                copied.dirId = destination.dirId;
                copied.subFolder = destination.subFolder;
                copied.name = target;
                copied.destination = L"%" + std::to_wstring(destination.dirId) + L"%\\" +
                                     (destination.subFolder.empty() ? L"" : destination.subFolder + L"\\") + target +
                                     L" (" + DirIdName(destination.dirId) + L")";
                copied.sha256 = kit.Find(kitPath)->sha256;
                install.files.push_back(copied);
            }
        }
    }
}
