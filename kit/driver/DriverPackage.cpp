#include "DriverPackage.h"

#include "ByteFields.h"
#include "FileDigest.h"
#include "InfFile.h"
#include "InfRules.h"
#include "InstallerScript.h"
#include "KitFiles.h"
#include "KitLayout.h"
#include "PeImage.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <cwctype>
#include <map>
#include <utility>

namespace {

struct SetupClass {
    const wchar_t* name;
    GUID guid;
};

// Windows' own device setup classes: an INF that names one must give its
// GUID, and the other way round.
const std::array<SetupClass, 44> SystemClasses = {{
    {L"1394", GUID_DEVCLASS_1394},
    {L"61883", GUID_DEVCLASS_61883},
    {L"AVC", GUID_DEVCLASS_AVC},
    {L"Battery", GUID_DEVCLASS_BATTERY},
    {L"Biometric", GUID_DEVCLASS_BIOMETRIC},
    {L"Bluetooth", GUID_DEVCLASS_BLUETOOTH},
    {L"Camera", GUID_DEVCLASS_CAMERA},
    {L"CDROM", GUID_DEVCLASS_CDROM},
    {L"Computer", GUID_DEVCLASS_COMPUTER},
    {L"DiskDrive", GUID_DEVCLASS_DISKDRIVE},
    {L"Display", GUID_DEVCLASS_DISPLAY},
    {L"Dot4", GUID_DEVCLASS_DOT4},
    {L"Dot4Print", GUID_DEVCLASS_DOT4PRINT},
    {L"Extension", GUID_DEVCLASS_EXTENSION},
    {L"FDC", GUID_DEVCLASS_FDC},
    {L"Firmware", GUID_DEVCLASS_FIRMWARE},
    {L"FloppyDisk", GUID_DEVCLASS_FLOPPYDISK},
    {L"HDC", GUID_DEVCLASS_HDC},
    {L"HIDClass", GUID_DEVCLASS_HIDCLASS},
    {L"Image", GUID_DEVCLASS_IMAGE},
    {L"Infrared", GUID_DEVCLASS_INFRARED},
    {L"Keyboard", GUID_DEVCLASS_KEYBOARD},
    {L"Media", GUID_DEVCLASS_MEDIA},
    {L"MediumChanger", GUID_DEVCLASS_MEDIUM_CHANGER},
    {L"Modem", GUID_DEVCLASS_MODEM},
    {L"Monitor", GUID_DEVCLASS_MONITOR},
    {L"Mouse", GUID_DEVCLASS_MOUSE},
    {L"MTD", GUID_DEVCLASS_MTD},
    {L"Multifunction", GUID_DEVCLASS_MULTIFUNCTION},
    {L"MultiPortSerial", GUID_DEVCLASS_MULTIPORTSERIAL},
    {L"Net", GUID_DEVCLASS_NET},
    {L"PCMCIA", GUID_DEVCLASS_PCMCIA},
    {L"Ports", GUID_DEVCLASS_PORTS},
    {L"Printer", GUID_DEVCLASS_PRINTER},
    {L"Processor", GUID_DEVCLASS_PROCESSOR},
    {L"SCSIAdapter", GUID_DEVCLASS_SCSIADAPTER},
    {L"Sensor", GUID_DEVCLASS_SENSOR},
    {L"SmartCardReader", GUID_DEVCLASS_SMARTCARDREADER},
    {L"SoftwareComponent", GUID_DEVCLASS_SOFTWARECOMPONENT},
    {L"System", GUID_DEVCLASS_SYSTEM},
    {L"TapeDrive", GUID_DEVCLASS_TAPEDRIVE},
    {L"USB", GUID_DEVCLASS_USB},
    // Microsoft's class for USB devices without a class of their own, as
    // WinUSB packages use it ("WinUSB (Winusb.sys) Installation").
    {L"USBDevice", {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}}},
    {L"WPD", GUID_DEVCLASS_WPD},
}};

// A class name's longest ("INF Version Section").
constexpr std::size_t MaxClassName = 32;
constexpr unsigned DirIdWindows = 10;
constexpr unsigned DirIdSystem32 = 11;
constexpr unsigned DirIdDrivers = 12;
constexpr unsigned DirIdSysWow64 = 16425;
constexpr std::uint16_t PeMachineI386 = 0x014C;
constexpr std::uint16_t PeSubsystemNative = 1;
constexpr DWORD AssociatedService = 0x2; // SPSVCINST_ASSOCSERVICE
// The companions Windows reads beside the install section it chose.
constexpr std::array<const wchar_t*, 4> CompanionSuffixes = {L".Services", L".HW", L".Wdf", L".CoInstallers"};
// The platform decorations an install section may carry.
constexpr std::array<const wchar_t*, 7> SectionDecorations = {L"",       L".NT",      L".NTamd64", L".NTx86",
                                                              L".NTarm", L".NTarm64", L".NTia64"};

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

// "a, b and c"
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

bool IsGuidText(const std::wstring& text)
{
    static constexpr wchar_t shape[] = L"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != std::size(shape) - 1) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (shape[index] == L'x' ? !std::iswxdigit(text[index]) : text[index] != shape[index]) {
            return false;
        }
    }
    return true;
}

// "mm/dd/yyyy" or "mm-dd-yyyy" (Windows also reads a month or day of one
// digit).
bool IsDriverDate(const std::wstring& text)
{
    const std::size_t first = text.find_first_of(L"/-");
    const std::size_t second = first == std::wstring::npos ? first : text.find(text[first], first + 1);
    if (second == std::wstring::npos) {
        return false;
    }
    const std::array<std::wstring, 3> parts = {text.substr(0, first), text.substr(first + 1, second - first - 1),
                                               text.substr(second + 1)};
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const std::size_t length = parts[index].size();
        if ((index < 2 ? length < 1 || length > 2 : length != 4) ||
            !std::all_of(parts[index].begin(), parts[index].end(),
                         [](wchar_t digit) { return std::iswdigit(digit) != 0; })) {
            return false;
        }
    }
    const int month = std::stoi(parts[0]);
    const int day = std::stoi(parts[1]);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// "w.x.y.z", each below 65535.
bool IsDriverVersion(const std::wstring& text)
{
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part == 3 ? text.size() : text.find(L'.', start);
        if (end == std::wstring::npos || end == start || end - start > 5) {
            return false;
        }
        const std::wstring digits = text.substr(start, end - start);
        if (!std::all_of(digits.begin(), digits.end(), [](wchar_t digit) { return std::iswdigit(digit) != 0; }) ||
            std::stoul(digits) >= 65535) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

class PackageChecker {
public:
    PackageChecker(const std::wstring& kitFolder, const std::vector<KitFile>& files,
                   std::vector<std::wstring>& problems, std::vector<std::wstring>& warnings,
                   DriverPackageReport& report)
        : kitFolder(kitFolder), files(files), problems(problems), warnings(warnings), report(report)
    {
    }

    void Run()
    {
        std::vector<DriverInf> candidates;
        for (const KitFile& file : files) {
            if (file.path.rfind(DriverFolderPrefix(), 0) == 0 && EndsWithText(file.path, L".inf")) {
                DriverInf inf;
                inf.path = file.path;
                inf.sha256 = file.sha256;
                CheckInf(inf);
                candidates.push_back(std::move(inf));
            }
        }
        if (candidates.empty()) {
            problems.push_back(std::wstring(KitDriverFolder) + L": no .inf file: nothing would install a driver for " +
                               BootloaderDeviceId);
        }
        CheckCoverage(candidates);
        const auto binds = [](const DriverInf& inf) {
            return std::any_of(inf.builds.begin(), inf.builds.end(),
                               [](const DriverBuildChoice& choice) { return !choice.matchedId.empty(); });
        };
        const bool anyBinds = std::any_of(candidates.begin(), candidates.end(), binds);
        for (DriverInf& inf : candidates) {
            if (binds(inf)) {
                report.infs.push_back(std::move(inf));
            } else if (anyBinds && !inf.builds.empty()) {
                Warning(inf.path, std::wstring(L"binds ") + BootloaderDeviceId +
                                      L" on no Windows 10/11 x64 build; another INF does");
            }
        }
        CheckInstaller();
    }

private:
    const std::wstring& kitFolder;
    const std::vector<KitFile>& files;
    std::vector<std::wstring>& problems;
    std::vector<std::wstring>& warnings;
    DriverPackageReport& report;
    // Per INF path: the reason, per build, that it does not bind.
    std::map<std::wstring, std::vector<std::pair<unsigned, std::wstring>>> misses;

    static std::wstring DriverFolderPrefix() { return std::wstring(KitDriverFolder) + L"/"; }

    [[nodiscard]] std::wstring FullPath(const std::wstring& kitPath) const
    {
        std::wstring path = kitFolder + L"\\" + kitPath;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        return path;
    }

    // The kit's file at this path (without case, as Windows finds it), or
    // null.
    [[nodiscard]] const KitFile* Find(const std::wstring& kitPath) const
    {
        const auto found =
            std::find_if(files.begin(), files.end(), [&](const KitFile& file) { return SameText(file.path, kitPath); });
        return found == files.end() ? nullptr : &*found;
    }

    // A path relative to a folder of the driver package, resolved to a kit
    // path; false when it leaves the driver folder.
    static bool Resolve(const std::wstring& folder, const std::wstring& relative, std::wstring& kitPath)
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

    // Each problem once, though several builds may meet it.
    void Problem(const std::wstring& path, const std::wstring& text)
    {
        const std::wstring line = path + L": " + text;
        if (std::find(problems.begin(), problems.end(), line) == problems.end()) {
            problems.push_back(line);
        }
    }

    void Warning(const std::wstring& path, const std::wstring& text)
    {
        const std::wstring line = path + L": " + text;
        if (std::find(warnings.begin(), warnings.end(), line) == warnings.end()) {
            warnings.push_back(line);
        }
    }

    // ---- one INF -------------------------------------------------------------

    void CheckInf(DriverInf& inf)
    {
        InfFile file;
        std::wstring problem;
        if (!file.Open(FullPath(inf.path), problem)) {
            Problem(inf.path, problem);
            return;
        }
        CheckVersion(file, inf);
        CheckDecorations(file, inf.path);
        std::map<std::wstring, DriverInstall> installs; // by decorated section, lower case
        for (const unsigned build : ReportedBuilds) {
            DriverBuildChoice choice = ChooseModels(file, inf.path, build);
            if (!choice.matchedId.empty()) {
                const std::wstring base = choice.installSection;
                choice.installSection = InstallSection(file, inf.path, base);
                const std::wstring key = Lower(choice.installSection);
                if (!choice.installSection.empty() && installs.count(key) == 0) {
                    installs[key] = CheckInstall(file, inf.path, base, choice.installSection);
                }
            }
            inf.builds.push_back(choice);
        }
        for (auto& [key, install] : installs) {
            inf.installs.push_back(std::move(install));
        }
        if (std::any_of(inf.builds.begin(), inf.builds.end(),
                        [](const DriverBuildChoice& choice) { return !choice.matchedId.empty(); })) {
            CheckCatalog(inf);
        }
    }

    // ---- the catalog -------------------------------------------------------

    static std::wstring DigestText(const CatalogMember& member)
    {
        std::string text = member.digestAlgorithm + (member.imageDigest ? " image digest " : " file digest ");
        for (const std::uint8_t byte : member.digest) {
            text += Hex(byte, 2);
        }
        return {text.begin(), text.end()};
    }

    // The member that covers the file, or a problem naming the file.
    void Cover(const DriverCatalog& catalog, const std::wstring& catalogPath, const std::wstring& kitPath,
               DriverCatalogCover& cover)
    {
        std::vector<std::uint8_t> bytes;
        if (!ReadWholeFile(FullPath(kitPath), bytes)) {
            Problem(kitPath, L"cannot be read");
            return;
        }
        std::string problem;
        const std::size_t index = FindCatalogMember(catalog, FileName(kitPath), bytes, problem);
        if (index >= catalog.members.size()) {
            Problem(kitPath, std::wstring(problem.begin(), problem.end()) + L" (catalog " + catalogPath + L")");
            return;
        }
        cover.member = catalog.members[index].fileName;
        cover.digest = DigestText(catalog.members[index]);
    }

    // Windows installs the package only when the catalog's signature holds
    // and covers the INF and every file it copies.
    void CheckCatalog(DriverInf& inf)
    {
        std::vector<std::uint8_t> bytes;
        if (inf.catalogPath.empty()) {
            return; // [Version]'s check names it
        }
        if (!ReadWholeFile(FullPath(inf.catalogPath), bytes)) {
            Problem(inf.catalogPath, L"cannot be read");
            return;
        }
        const DriverCatalog catalog = ReadDriverCatalog(bytes);
        for (const std::string& problem : catalog.problems) {
            Problem(inf.catalogPath, std::wstring(problem.begin(), problem.end()));
        }
        inf.signer = catalog.signer;
        inf.osAttribute = catalog.osAttribute;
        if (catalog.members.empty() && !catalog.problems.empty()) {
            return; // nothing to look files up in
        }
        Cover(catalog, inf.catalogPath, inf.path, inf.cover);
        for (DriverInstall& install : inf.installs) {
            for (DriverFile& file : install.files) {
                Cover(catalog, inf.catalogPath, file.path, file.cover);
            }
        }
    }

    void CheckVersion(const InfFile& file, DriverInf& inf)
    {
        const std::wstring& path = inf.path;
        // The name as the parser substitutes it (Wine's SetupDiGetINFClassW
        // returns it unsubstituted); the GUID as SetupAPI reads it.
        inf.className = file.Value(L"Version", L"Class");
        inf.classGuid = file.Value(L"Version", L"ClassGuid");
        GUID guid{};
        std::array<wchar_t, MAX_PATH> name{};
        if (inf.className.empty() || !IsGuidText(inf.classGuid)) {
            Problem(path, L"[Version]: Class and ClassGuid (in braces) are required for a Plug and Play driver; "
                          L"found Class \"" +
                              inf.className + L"\", ClassGuid \"" + inf.classGuid + L"\"");
        } else if (inf.className.size() > MaxClassName) {
            Problem(path, L"[Version]: Class " + inf.className + L" is longer than 32 characters");
        } else if (!SetupDiGetINFClassW(FullPath(path).c_str(), &guid, name.data(), static_cast<DWORD>(name.size()),
                                        nullptr)) {
            Problem(path, L"[Version]: SetupAPI reads no device setup class from it (error " +
                              std::to_wstring(GetLastError()) + L")");
        } else {
            CheckClass(file, inf, guid);
        }
        inf.provider = file.Value(L"Version", L"Provider");
        if (inf.provider.empty() || inf.provider.find(L'%') != std::wstring::npos) {
            Problem(path, L"[Version]: Provider is missing or names a string that [Strings] does not define (\"" +
                              inf.provider + L"\")");
        }
        CheckDriverVer(file, path, inf);
        std::wstring catalog;
        for (const wchar_t* key : {L"CatalogFile.NTamd64", L"CatalogFile.NT", L"CatalogFile"}) {
            catalog = file.Value(L"Version", key);
            if (!catalog.empty()) {
                break;
            }
        }
        if (catalog.empty()) {
            Problem(path, L"[Version]: no catalog for x64 (CatalogFile.NTamd64, CatalogFile.NT or CatalogFile): "
                          L"Windows x64 takes the package as unsigned and does not install it");
        } else if (std::wstring catalogPath; !Resolve(Folder(path), catalog, catalogPath) || !Find(catalogPath)) {
            Problem(path, L"[Version]: the catalog " + catalog + L" is not in the folder");
        } else {
            inf.catalogPath = Find(catalogPath)->path;
        }
    }

    // Windows files the device under the class its GUID names. A name that is
    // another of Windows' classes contradicts it; any other name is only
    // not the one Windows shows.
    void CheckClass(const InfFile& file, const DriverInf& inf, const GUID& guid)
    {
        const auto* const byGuid =
            std::find_if(SystemClasses.begin(), SystemClasses.end(),
                         [&](const SetupClass& system) { return IsEqualGUID(system.guid, guid); });
        const auto* const byName =
            std::find_if(SystemClasses.begin(), SystemClasses.end(),
                         [&](const SetupClass& system) { return SameText(system.name, inf.className); });
        const std::wstring both = L"[Version]: Class " + inf.className + L" and ClassGuid " + inf.classGuid;
        if (byName != SystemClasses.end() && byName != byGuid) {
            Problem(inf.path, both + L" disagree: Windows' class " + byName->name + L" has another GUID");
        } else if (byGuid != SystemClasses.end() && byName == SystemClasses.end()) {
            Warning(inf.path, both + L": Windows' class of that GUID is " + byGuid->name +
                                  L", under which it files the device whatever the name");
        } else if (byGuid == SystemClasses.end() && !file.HasSection(L"ClassInstall32") &&
                   !file.HasSection(L"ClassInstall32.NTamd64") && !file.HasSection(L"ClassInstall32.NT")) {
            Warning(inf.path, L"[Version]: class " + inf.className + L" " + inf.classGuid +
                                  L" is not one of Windows' own, and no [ClassInstall32] section creates it");
        }
    }

    void CheckDriverVer(const InfFile& file, const std::wstring& path, DriverInf& inf)
    {
        const std::vector<InfLine> lines = file.Lines(L"Version", L"DriverVer");
        const std::wstring date = lines.empty() ? std::wstring() : lines[0].Field(1);
        const std::wstring version = lines.empty() ? std::wstring() : lines[0].Field(2);
        inf.driverVer = version.empty() ? date : date + L"," + version;
        if (!IsDriverDate(date)) {
            Problem(path, L"[Version]: DriverVer \"" + inf.driverVer +
                              L"\" has no date mm/dd/yyyy: Windows ranks the driver as dated 00/00/0000");
        } else if (version.empty()) {
            Warning(path, L"[Version]: DriverVer has no version: Windows ranks the driver as version 0.0.0.0");
        } else if (!IsDriverVersion(version)) {
            Problem(path, L"[Version]: DriverVer version \"" + version + L"\" is not w.x.y.z (each below 65535)");
        }
    }

    // Decorations Windows x64 skips or reads only on some builds.
    void CheckDecorations(const InfFile& file, const std::wstring& path)
    {
        for (const InfLine& line : file.Lines(L"Manufacturer")) {
            for (std::size_t number = 2; number <= line.fields.size(); ++number) {
                const std::wstring& text = line.fields[number - 1];
                const TargetOsDecoration decoration = ReadTargetOsDecoration(text);
                if (!decoration.valid) {
                    Warning(path, L"[Manufacturer]: " + text + L" is not a valid decoration; Windows ignores it");
                } else if (decoration.amd64 && decoration.suiteMask != 0) {
                    Warning(path, L"[Manufacturer]: " + text +
                                      L" applies only to editions with that suite mask; the choice reported "
                                      L"is for editions without it");
                } else if (decoration.amd64 && decoration.hasBuild && decoration.build < 14310) {
                    Warning(path, L"[Manufacturer]: " + text +
                                      L" names a build before 14310, which Windows does not take as valid");
                }
            }
        }
    }

    DriverBuildChoice ChooseModels(const InfFile& file, const std::wstring& path, unsigned build)
    {
        DriverBuildChoice choice;
        choice.build = build;
        std::vector<std::wstring> chosenSections;
        int bestRank = 0;
        for (const InfLine& line : file.Lines(L"Manufacturer")) {
            std::vector<std::wstring> decorations = line.fields;
            decorations.erase(decorations.begin(), decorations.begin() + (decorations.empty() ? 0 : 1));
            const int chosen = ChooseDecoration(decorations, build);
            if (chosen < 0) {
                continue;
            }
            const std::wstring models = line.Field(1) + L"." + decorations[static_cast<std::size_t>(chosen)];
            chosenSections.push_back(Section(models));
            if (!file.HasSection(models)) {
                Problem(path, L"[Manufacturer]: the models section " + Section(models) + L" that build " +
                                  std::to_wstring(build) + L" chooses is missing");
                continue;
            }
            for (const InfLine& model : file.Lines(models)) {
                for (std::size_t number = 2; number <= model.fields.size(); ++number) {
                    // Windows ranks a hardware ID before a compatible ID, and
                    // the device's own ID before a revision's.
                    const IdMatch match = MatchBootloaderId(model.fields[number - 1]);
                    const int rank =
                        match == IdMatch::None ? 0 : (match == IdMatch::Device ? 2 : 0) + (number == 2 ? 2 : 1);
                    if (rank > bestRank) {
                        bestRank = rank;
                        choice.modelsSection = models;
                        choice.matchedId = model.fields[number - 1];
                        choice.compatibleId = number > 2;
                        choice.installSection = model.Field(1);
                    }
                }
            }
        }
        if (choice.matchedId.empty()) {
            misses[path].emplace_back(build, chosenSections.empty()
                                                 ? L"no models section for x64 applies"
                                                 : L"the models section chosen (" + List(chosenSections) +
                                                       L") does not list " + BootloaderDeviceId);
        } else if (MatchBootloaderId(choice.matchedId) == IdMatch::RevisionOnly) {
            Warning(path, Section(choice.modelsSection) + L": " + choice.matchedId +
                              L" binds only that revision of the bootloader, not " + BootloaderDeviceId);
        }
        return choice;
    }

    // Every reported build needs an INF that binds the bootloader.
    void CheckCoverage(const std::vector<DriverInf>& candidates)
    {
        for (const DriverInf& inf : candidates) {
            std::map<std::wstring, std::vector<std::wstring>> buildsByReason;
            for (const auto& [missedBuild, reason] : misses[inf.path]) {
                const unsigned build = missedBuild;
                const bool boundElsewhere =
                    std::any_of(candidates.begin(), candidates.end(), [&](const DriverInf& other) {
                        return std::any_of(other.builds.begin(), other.builds.end(),
                                           [&](const DriverBuildChoice& choice) {
                                               return choice.build == build && !choice.matchedId.empty();
                                           });
                    });
                if (!boundElsewhere) {
                    buildsByReason[reason].push_back(std::to_wstring(build));
                }
            }
            for (const auto& [reason, builds] : buildsByReason) {
                Problem(inf.path, std::wstring(L"does not bind ") + BootloaderDeviceId +
                                      L" on Windows 10/11 x64 build" + (builds.size() > 1 ? L"s " : L" ") +
                                      List(builds) + L": " + reason);
            }
        }
    }

    // The decorated install section Windows x64 runs for this name, or
    // empty text (with a problem) when there is none.
    std::wstring InstallSection(const InfFile& file, const std::wstring& path, const std::wstring& name)
    {
        for (const std::wstring& candidate : InstallSectionCandidates(name)) {
            if (file.HasSection(candidate)) {
                return candidate;
            }
        }
        Problem(path, L"the install section " + name + L" (" + List(InstallSectionCandidates(name)) + L") is missing");
        return {};
    }

    // `base` is the name the models section gives, `section` the decorated
    // one Windows x64 runs.
    DriverInstall CheckInstall(const InfFile& file, const std::wstring& path, const std::wstring& base,
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
                    Problem(path, Section(other) + L" does not go with the install section Windows x64 runs, " +
                                      Section(section) + L": Windows reads " + Section(section + suffix) +
                                      L", which is missing");
                }
            }
        }
        for (const std::wstring& copying : {section, section + L".CoInstallers"}) {
            CheckCopies(file, path, copying, install);
        }
        CheckFunctionDriver(file, path, section, install);
        return install;
    }

    // ---- copied files ------------------------------------------------------

    struct Destination {
        unsigned dirId = 0;
        std::wstring subFolder;
    };

    // Where the files of a file list go (`list` empty for "@file" copies,
    // which go to the default destination); `what` names them in a problem.
    bool DestinationOf(const InfFile& file, const std::wstring& path, const std::wstring& list,
                       const std::wstring& what, Destination& destination)
    {
        std::vector<InfLine> lines = list.empty() ? std::vector<InfLine>() : file.Lines(L"DestinationDirs", list);
        if (lines.empty()) {
            lines = file.Lines(L"DestinationDirs", L"DefaultDestDir");
        }
        if (lines.empty() || !ReadNumberField(lines[0].Field(1), destination.dirId)) {
            Problem(path, what + L" has no destination: [DestinationDirs] lists neither it nor a DefaultDestDir");
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
    std::wstring SourceOf(const InfFile& file, const std::wstring& path, const std::wstring& list,
                          const std::wstring& source)
    {
        std::vector<InfLine> entry = file.Lines(L"SourceDisksFiles.amd64", source);
        if (entry.empty()) {
            entry = file.Lines(L"SourceDisksFiles", source);
        }
        if (entry.empty()) {
            Problem(path, Section(list) + L" copies " + source +
                              L", which [SourceDisksFiles.amd64] and [SourceDisksFiles] do not list");
            return {};
        }
        const std::wstring disk = entry[0].Field(1);
        std::vector<InfLine> diskLine = file.Lines(L"SourceDisksNames.amd64", disk);
        if (diskLine.empty()) {
            diskLine = file.Lines(L"SourceDisksNames", disk);
        }
        if (diskLine.empty()) {
            Problem(path, L"[SourceDisksFiles]: " + source + L" lies on disk \"" + disk +
                              L"\", which [SourceDisksNames.amd64] and [SourceDisksNames] do not list");
            return {};
        }
        std::wstring kitPath;
        const std::wstring relative = diskLine[0].Field(4) + L"\\" + entry[0].Field(2) + L"\\" + source;
        if (!Resolve(Folder(path), relative, kitPath)) {
            Problem(path,
                    Section(list) + L" copies " + source + L" from outside the driver folder (" + relative + L")");
            return {};
        }
        const KitFile* found = Find(kitPath);
        if (found == nullptr) {
            Problem(path, Section(list) + L" copies " + source + L", which is not in the folder (" + kitPath + L")");
            return {};
        }
        return found->path;
    }

    void CheckCopies(const InfFile& file, const std::wstring& path, const std::wstring& section, DriverInstall& install)
    {
        for (const InfLine& directive : file.Lines(section, L"CopyFiles")) {
            for (const std::wstring& field : directive.fields) {
                // "@file" copies one file to the default destination.
                const bool single = !field.empty() && field[0] == L'@';
                std::vector<std::pair<std::wstring, std::wstring>> copies; // destination name, source name
                if (single) {
                    copies.emplace_back(field.substr(1), field.substr(1));
                } else if (!file.HasSection(field)) {
                    Problem(path, Section(section) + L": CopyFiles names " + Section(field) + L", which is missing");
                    continue;
                } else {
                    for (const InfLine& line : file.Lines(field)) {
                        const std::wstring target = line.Field(1).empty() ? line.key : line.Field(1);
                        copies.emplace_back(target, line.Field(2).empty() ? target : line.Field(2));
                    }
                }
                Destination destination;
                const std::wstring what = single ? Section(section) + L": CopyFiles=" + field : Section(field);
                if (copies.empty() || !DestinationOf(file, path, single ? std::wstring() : field, what, destination)) {
                    continue;
                }
                for (const auto& [target, source] : copies) {
                    const std::wstring kitPath = SourceOf(file, path, single ? section : field, source);
                    if (kitPath.empty()) {
                        continue;
                    }
                    CheckCopiedImage(kitPath, target, destination.dirId);
                    DriverFile copied;
                    copied.path = kitPath;
                    copied.dirId = destination.dirId;
                    copied.subFolder = destination.subFolder;
                    copied.name = target;
                    copied.destination = L"%" + std::to_wstring(destination.dirId) + L"%\\" +
                                         (destination.subFolder.empty() ? L"" : destination.subFolder + L"\\") +
                                         target + L" (" + DirIdName(destination.dirId) + L")";
                    copied.sha256 = Find(kitPath)->sha256;
                    install.files.push_back(copied);
                }
            }
        }
    }

    // A program file copied onto Windows x64 must load there: x64 (x86 in
    // SysWOW64), and a driver has the native subsystem.
    void CheckCopiedImage(const std::wstring& kitPath, const std::wstring& target, unsigned dirId)
    {
        std::vector<std::uint8_t> bytes;
        const bool looksLikeImage =
            EndsWithText(target, L".sys") || EndsWithText(target, L".dll") || EndsWithText(target, L".exe");
        if (!ReadWholeFile(FullPath(kitPath), bytes)) {
            Problem(kitPath, L"cannot be read");
            return;
        }
        if (!looksLikeImage && (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z')) {
            return;
        }
        const PeImage image = ReadPeImage(bytes);
        if (!image.problem.empty()) {
            Problem(kitPath, std::wstring(image.problem.begin(), image.problem.end()));
            return;
        }
        const bool wantsX86 = dirId == DirIdSysWow64;
        if (wantsX86 ? image.machine != PeMachineI386
                     : image.machine != PeMachineAmd64 || image.optionalMagic != PeOptionalMagic64) {
            const std::string machine = Hex(image.machine, 4);
            Problem(kitPath, L"copied to " + DirIdName(dirId) + L" as " + target + L", but not an " +
                                 (wantsX86 ? L"x86" : L"x86-64 (PE32+)") + L" image (machine 0x" +
                                 std::wstring(machine.begin(), machine.end()) + L")");
        } else if (EndsWithText(target, L".sys") && image.subsystem != PeSubsystemNative) {
            Problem(kitPath, L"a driver (.sys) without the native subsystem (subsystem " +
                                 std::to_wstring(image.subsystem) + L"): Windows does not load it as a driver");
        }
    }

    // ---- the function driver ------------------------------------------------

    static bool HasField(const std::vector<InfLine>& lines, const std::wstring& value)
    {
        return std::any_of(lines.begin(), lines.end(), [&](const InfLine& line) {
            return std::any_of(line.fields.begin(), line.fields.end(),
                               [&](const std::wstring& field) { return SameText(field, value); });
        });
    }

    static bool Copies(const DriverInstall& install, unsigned dirId, const std::wstring& name)
    {
        return std::any_of(install.files.begin(), install.files.end(), [&](const DriverFile& file) {
            return file.dirId == dirId && file.subFolder.empty() && SameText(file.name, name);
        });
    }

    // Whether a ServiceBinary path lies in the drivers folder, whether
    // SetupAPI left %12% as it stands or put the folder in its place.
    static bool InDriversFolder(const std::wstring& binary)
    {
        std::wstring folder =
            binary.substr(0, binary.find_last_of(L"\\/") == std::wstring::npos ? 0 : binary.find_last_of(L"\\/"));
        std::array<wchar_t, MAX_PATH> system{};
        GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
        const std::array<std::wstring, 5> driversFolders = {L"%12%", std::wstring(system.data()) + L"\\drivers",
                                                            L"%SystemRoot%\\System32\\drivers",
                                                            L"\\SystemRoot\\System32\\drivers", L"System32\\drivers"};
        return std::any_of(driversFolders.begin(), driversFolders.end(),
                           [&](const std::wstring& drivers) { return SameText(folder, drivers); });
    }

    void CheckFunctionDriver(const InfFile& file, const std::wstring& path, const std::wstring& section,
                             DriverInstall& install)
    {
        const std::wstring services = section + L".Services";
        std::vector<InfLine> associated;
        for (const InfLine& line : file.Lines(services, L"AddService")) {
            unsigned flags = 0;
            if (ReadNumberField(line.Field(2), flags) && (flags & AssociatedService) != 0) {
                associated.push_back(line);
            }
        }
        // winusb.inf's WINUSB.NT.Services adds WinUSB with flag 0x2.
        const bool servicesNeedWinUsb = HasField(file.Lines(services, L"Include"), L"winusb.inf") &&
                                        HasField(file.Lines(services, L"Needs"), L"WINUSB.NT.Services");
        if (associated.size() + (servicesNeedWinUsb ? 1 : 0) > 1) {
            Problem(path, Section(services) + L": more than one function driver (AddService with flag 0x2, or "
                                              L"Include=winusb.inf with Needs=WINUSB.NT.Services)");
            return;
        }
        if (servicesNeedWinUsb) {
            install.functionDriver = L"WinUSB";
            install.service = L"Include=winusb.inf, Needs=WINUSB.NT.Services";
            return;
        }
        if (associated.empty() && HasField(file.Lines(section, L"Include"), L"winusb.inf") &&
            HasField(file.Lines(section, L"Needs"), L"WINUSB.NT")) {
            Problem(path, Section(services) + L" lacks Include=winusb.inf and Needs=WINUSB.NT.Services: "
                                              L"the WinUSB service is not installed for the bootloader");
            return;
        }
        if (associated.empty()) {
            Problem(path, Section(section) + L": no function driver (no AddService with flag 0x2 in " +
                              Section(services) +
                              L", no Include=winusb.inf with Needs=WINUSB.NT): the bootloader would have no driver");
            return;
        }
        const InfLine& line = associated[0];
        const std::wstring serviceSection = line.Field(3);
        const std::wstring binary = file.Value(serviceSection, L"ServiceBinary");
        const std::wstring binaryName = Lower(FileName(binary));
        install.service = L"AddService=" + line.Field(1) + L" (ServiceBinary " + binary + L")";
        if (binary.empty()) {
            Problem(path, Section(services) + L": the service " + line.Field(1) + L" has no ServiceBinary in " +
                              Section(serviceSection));
            return;
        }
        if (binaryName == L"winusb.sys") {
            install.functionDriver = L"WinUSB";
            return;
        }
        if (binaryName != L"libusbk.sys" && binaryName != L"libusb0.sys") {
            Problem(path, Section(services) + L": the function driver " + line.Field(1) + L" (" + binary +
                              L") is not WinUSB, libusbK or libusb0: the download tool could not open the "
                              L"bootloader");
            return;
        }
        install.functionDriver = binaryName == L"libusbk.sys" ? L"libusbK" : L"libusb0";
        if (!InDriversFolder(binary) || !Copies(install, DirIdDrivers, FileName(binary))) {
            Problem(path, Section(section) + L" does not copy the service binary " + FileName(binary) +
                              L" to the drivers folder (%12%) where ServiceBinary (" + binary + L") points");
        }
        if (!Copies(install, DirIdSystem32, L"libusbK.dll")) {
            Problem(path, Section(section) +
                              L" does not copy libusbK.dll to System32 (%11%): libusb 1.0.24 and "
                              L"later load it from there only, so the download tool could not open "
                              L"the bootloader through " +
                              install.functionDriver);
        }
    }

    // ---- the batch file ----------------------------------------------------

    // The kit's files that a name of the batch file stands for: wildcards
    // expand, a program without extension is found as cmd finds it.
    [[nodiscard]] std::vector<std::wstring> Named(const std::wstring& name, bool program) const
    {
        std::vector<std::wstring> found;
        std::wstring kitPath;
        if (!Resolve(KitDriverFolder, name, kitPath)) {
            return found;
        }
        if (kitPath.find_first_of(L"*?") != std::wstring::npos) {
            for (const KitFile& file : files) {
                if (SameText(Folder(file.path), Folder(kitPath)) &&
                    PathMatchSpecW(FileName(file.path).c_str(), FileName(kitPath).c_str())) {
                    found.push_back(file.path);
                }
            }
            return found;
        }
        const bool bare = program && FileName(kitPath).find(L'.') == std::wstring::npos;
        for (const wchar_t* extension : {L"", L".com", L".exe", L".bat", L".cmd"}) {
            if ((*extension != L'\0') == bare && Find(kitPath + extension) != nullptr) {
                found.push_back(Find(kitPath + extension)->path);
                return found;
            }
        }
        // A folder of the package ("cd /d %~dp0amd64") holds files.
        const std::wstring folder = kitPath + L"/";
        if (std::any_of(files.begin(), files.end(), [&](const KitFile& file) {
                return file.path.size() > folder.size() && SameText(file.path.substr(0, folder.size()), folder);
            })) {
            found.push_back(kitPath + L"/");
        }
        return found;
    }

    void CheckInstaller()
    {
        const std::wstring installer = KitInstallerPath(L'/');
        std::vector<std::uint8_t> bytes;
        if (Find(installer) == nullptr || !ReadWholeFile(FullPath(installer), bytes)) {
            return; // the kit's own check reports it
        }
        const InstallerScript script = ReadInstallerScript(std::string(bytes.begin(), bytes.end()));
        const auto where = [&](unsigned line) { return installer + L": line " + std::to_wstring(line); };
        bool bindingNamed = false;
        for (const ScriptName& name : script.infs) {
            const std::vector<std::wstring> found = Named(name.path, false);
            if (found.empty()) {
                Problem(where(name.line), L"names " + name.path + L", which is not in the folder");
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
            const std::vector<std::wstring> found = Named(name.path, true);
            if (found.empty()) {
                Problem(where(name.line), L"runs or names " + name.path +
                                              L", which is neither in the folder nor one of Windows' own tools");
            } else if (std::find(report.installerFiles.begin(), report.installerFiles.end(), found[0]) ==
                       report.installerFiles.end()) {
                report.installerFiles.push_back(found[0]);
            }
        }
        report.installerTools = script.systemTools;
        for (const ScriptNote& note : script.warnings) {
            Warning(where(note.line), note.text);
        }
        const bool runsDpinst =
            std::any_of(report.installerFiles.begin(), report.installerFiles.end(),
                        [](const std::wstring& file) { return Lower(FileName(file)).rfind(L"dpinst", 0) == 0; });
        if (!report.installerInfs.empty() && !bindingNamed && !runsDpinst) {
            Warning(installer,
                    L"installs " + List(report.installerInfs) + L", none of which binds " + BootloaderDeviceId);
        } else if (report.installerInfs.empty() && !runsDpinst) {
            Warning(installer, L"names no .inf file and runs no dpinst: it may install no driver");
        }
    }
};

} // namespace

void CheckDriverPackage(const std::wstring& kitFolder, const std::vector<KitFile>& files,
                        std::vector<std::wstring>& problems, std::vector<std::wstring>& warnings,
                        DriverPackageReport& report)
{
    PackageChecker(kitFolder, files, problems, warnings, report).Run();
}
