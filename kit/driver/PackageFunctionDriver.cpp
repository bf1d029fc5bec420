// The function driver of the install section: WinUSB, libusbK or libusb0,
// with the files libusbK and libusb0 need where they load them from.

#include "InfRules.h"
#include "PackageSteps.h"

#include <windows.h>

#include <algorithm>
#include <array>

namespace {

constexpr DWORD AssociatedService = 0x2; // SPSVCINST_ASSOCSERVICE

bool HasField(const std::vector<InfLine>& lines, const std::wstring& value)
{
    return std::any_of(lines.begin(), lines.end(), [&](const InfLine& line) {
        return std::any_of(line.fields.begin(), line.fields.end(),
                           [&](const std::wstring& field) { return SameText(field, value); });
    });
}

bool Copies(const DriverInstall& install, unsigned dirId, const std::wstring& name)
{
    return std::any_of(install.files.begin(), install.files.end(), [&](const DriverFile& file) {
        return file.dirId == dirId && file.subFolder.empty() && SameText(file.name, name);
    });
}

// Whether a ServiceBinary path lies in the drivers folder, whether
// SetupAPI left %12% as it stands or put the folder in its place.
bool InDriversFolder(const std::wstring& binary)
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

} // namespace

void CheckFunctionDriver(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& section,
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
        kit.Problem(path, Section(services) + L": more than one function driver (AddService with flag 0x2, or "
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
        kit.Problem(path, Section(services) + L" lacks Include=winusb.inf and Needs=WINUSB.NT.Services: "
                                              L"the WinUSB service is not installed for the bootloader");
        return;
    }
    if (associated.empty()) {
        kit.Problem(path, Section(section) + L": no function driver (no AddService with flag 0x2 in " +
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
        kit.Problem(path, Section(services) + L": the service " + line.Field(1) + L" has no ServiceBinary in " +
                              Section(serviceSection));
        return;
    }
    if (binaryName == L"winusb.sys") {
        install.functionDriver = L"WinUSB";
        return;
    }
    if (binaryName != L"libusbk.sys" && binaryName != L"libusb0.sys") {
        kit.Problem(path, Section(services) + L": the function driver " + line.Field(1) + L" (" + binary +
                              L") is not WinUSB, libusbK or libusb0: the download tool could not open the "
                              L"bootloader");
        return;
    }
    install.functionDriver = binaryName == L"libusbk.sys" ? L"libusbK" : L"libusb0";
    if (!InDriversFolder(binary) || !Copies(install, DirIdDrivers, FileName(binary))) {
        kit.Problem(path, Section(section) + L" does not copy the service binary " + FileName(binary) +
                              L" to the drivers folder (%12%) where ServiceBinary (" + binary + L") points");
    }
    if (!Copies(install, DirIdSystem32, L"libusbK.dll")) {
        kit.Problem(path, Section(section) +
                              L" does not copy libusbK.dll to System32 (%11%): libusb 1.0.24 and "
                              L"later load it from there only, so the download tool could not open "
                              L"the bootloader through " +
                              install.functionDriver);
    }
}
