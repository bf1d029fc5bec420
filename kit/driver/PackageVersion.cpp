// The version section: Class and ClassGuid that agree, the provider,
// DriverVer, and the x64 catalog, which must be in the folder.

#include "PackageSteps.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cwctype>

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

// Windows files the device under the class its GUID names. A name that is
// another of Windows' classes contradicts it; any other name is only
// not the one Windows shows.
void CheckClass(CheckedKit& kit, const InfFile& file, const DriverInf& inf, const GUID& guid)
{
    const auto* const byGuid = std::find_if(SystemClasses.begin(), SystemClasses.end(),
                                            [&](const SetupClass& system) { return IsEqualGUID(system.guid, guid); });
    const auto* const byName = std::find_if(SystemClasses.begin(), SystemClasses.end(), [&](const SetupClass& system) {
        return SameText(system.name, inf.className);
    });
    const std::wstring both = L"[Version]: Class " + inf.className + L" and ClassGuid " + inf.classGuid;
    if (byName != SystemClasses.end() && byName != byGuid) {
        kit.Problem(inf.path, both + L" disagree: Windows' class " + byName->name + L" has another GUID");
    } else if (byGuid != SystemClasses.end() && byName == SystemClasses.end()) {
        kit.Warning(inf.path, both + L": Windows' class of that GUID is " + byGuid->name +
                                  L", under which it files the device whatever the name");
    } else if (byGuid == SystemClasses.end() && !file.HasSection(L"ClassInstall32") &&
               !file.HasSection(L"ClassInstall32.NTamd64") && !file.HasSection(L"ClassInstall32.NT")) {
        kit.Warning(inf.path, L"[Version]: class " + inf.className + L" " + inf.classGuid +
                                  L" is not one of Windows' own, and no [ClassInstall32] section creates it");
    }
}

void CheckDriverVer(CheckedKit& kit, const InfFile& file, const std::wstring& path, DriverInf& inf)
{
    const std::vector<InfLine> lines = file.Lines(L"Version", L"DriverVer");
    const std::wstring date = lines.empty() ? std::wstring() : lines[0].Field(1);
    const std::wstring version = lines.empty() ? std::wstring() : lines[0].Field(2);
    inf.driverVer = version.empty() ? date : date + L"," + version;
    if (!IsDriverDate(date)) {
        kit.Problem(path, L"[Version]: DriverVer \"" + inf.driverVer +
                              L"\" has no date mm/dd/yyyy: Windows ranks the driver as dated 00/00/0000");
    } else if (version.empty()) {
        kit.Warning(path, L"[Version]: DriverVer has no version: Windows ranks the driver as version 0.0.0.0");
    } else if (!IsDriverVersion(version)) {
        kit.Problem(path, L"[Version]: DriverVer version \"" + version + L"\" is not w.x.y.z (each below 65535)");
    }
}

} // namespace

void CheckVersion(CheckedKit& kit, const InfFile& file, DriverInf& inf)
{
    const std::wstring& path = inf.path;
    // The name as the parser substitutes it (Wine's SetupDiGetINFClassW
    // returns it unsubstituted); the GUID as SetupAPI reads it.
    inf.className = file.Value(L"Version", L"Class");
    inf.classGuid = file.Value(L"Version", L"ClassGuid");
    GUID guid{};
    std::array<wchar_t, MAX_PATH> name{};
    if (inf.className.empty() || !IsGuidText(inf.classGuid)) {
        kit.Problem(path, L"[Version]: Class and ClassGuid (in braces) are required for a Plug and Play driver; "
                          L"found Class \"" +
                              inf.className + L"\", ClassGuid \"" + inf.classGuid + L"\"");
    } else if (inf.className.size() > MaxClassName) {
        kit.Problem(path, L"[Version]: Class " + inf.className + L" is longer than 32 characters");
    } else if (!SetupDiGetINFClassW(kit.FullPath(path).c_str(), &guid, name.data(), static_cast<DWORD>(name.size()),
                                    nullptr)) {
        kit.Problem(path, L"[Version]: SetupAPI reads no device setup class from it (error " +
                              std::to_wstring(GetLastError()) + L")");
    } else {
        CheckClass(kit, file, inf, guid);
    }
    inf.provider = file.Value(L"Version", L"Provider");
    if (inf.provider.empty() || inf.provider.find(L'%') != std::wstring::npos) {
        kit.Problem(path, L"[Version]: Provider is missing or names a string that [Strings] does not define (\"" +
                              inf.provider + L"\")");
    }
    CheckDriverVer(kit, file, path, inf);
    std::wstring catalog;
    for (const wchar_t* key : {L"CatalogFile.NTamd64", L"CatalogFile.NT", L"CatalogFile"}) {
        catalog = file.Value(L"Version", key);
        if (!catalog.empty()) {
            break;
        }
    }
    if (catalog.empty()) {
        kit.Problem(path, L"[Version]: no catalog for x64 (CatalogFile.NTamd64, CatalogFile.NT or CatalogFile): "
                          L"Windows x64 takes the package as unsigned and does not install it");
    } else if (std::wstring catalogPath; !Resolve(Folder(path), catalog, catalogPath) || !kit.Find(catalogPath)) {
        kit.Problem(path, L"[Version]: the catalog " + catalog + L" is not in the folder");
    } else {
        inf.catalogPath = kit.Find(catalogPath)->path;
    }
}
