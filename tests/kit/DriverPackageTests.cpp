#include "DriverPackage.h"
#include "FileDigest.h"
#include "InfRules.h"
#include "InstallerScript.h"
#include "KitFolder.h"
#include "PeImage.h"
#include "TestFiles.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The sound packages every crafted one starts from, as their vendors write
// them: WinUSB through winusb.inf, and libusbK and libusb0 with their
// service binary and libusbK.dll.
const std::string WinUsbInf = R"(; WinUSB for the bootloader
[Version]
Signature   = "$Windows NT$"
Class       = USBDevice
ClassGuid   = {88BAE032-5A81-49F0-BC3D-A4FF138216D6}
Provider    = %Provider%
CatalogFile = dfu.cat
DriverVer   = 01/15/2025,2.2.0.0

[Manufacturer]
%Provider% = Devices, NTamd64

[Devices.NTamd64]
%Device% = Install, USB\VID_0483&PID_DF11

[Install]
Include = winusb.inf
Needs   = WINUSB.NT

[Install.Services]
Include = winusb.inf
Needs   = WINUSB.NT.Services

[Strings]
Provider = "Kestrune"
Device   = "Touchpad DFU bootloader"
)";

const std::string LibusbKInf = R"([Version]
Signature   = "$Windows NT$"
Class       = "libusbK USB Devices"
ClassGuid   = {ECFB0CFD-74C4-4F52-BBF7-343461CD72AC}
Provider    = %Provider%
CatalogFile = dfu.cat
DriverVer   = 01/15/2025,3.1.0.0

[ClassInstall32]
AddReg = Class.AddReg

[Class.AddReg]
HKR,,,0,"libusbK USB Devices"

[Manufacturer]
%Provider% = Devices, NTamd64, NTamd64.10.0...17763

[Devices.NTamd64]
%Device% = Install, USB\VID_0483&PID_DF11

[Devices.NTamd64.10.0...17763]
%Device% = Install, USB\VID_0483&PID_DF11&REV_2200, USB\VID_0483&PID_DF11

[Install.NTamd64]
CopyFiles = Driver.Files, Dll.Files

[Install.NTamd64.Services]
AddService = libusbK, 0x00000002, Service

[Install.NTamd64.Wdf]
KmdfService = libusbK, Kmdf

[Kmdf]
KmdfLibraryVersion = 1.9

[Service]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\libusbK.sys

[DestinationDirs]
Driver.Files = 12
Dll.Files    = 11

[Driver.Files]
libusbK.sys

[Dll.Files]
libusbK.dll

[SourceDisksNames.amd64]
1 = %Disk%,,,\amd64

[SourceDisksFiles.amd64]
libusbK.sys = 1
libusbK.dll = 1

[Strings]
Provider = "Kestrune"
Device   = "Touchpad DFU bootloader"
Disk     = "Driver package"
)";

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

const std::string Libusb0Inf =
    Replaced(Replaced(Replaced(LibusbKInf, "libusbK.sys", "libusb0.sys"), "libusbK, ", "libusb0, "),
             "\"libusbK USB Devices\"\nClassGuid   = {ECFB0CFD-74C4-4F52-BBF7-343461CD72AC}",
             "\"libusb-win32 devices\"\nClassGuid   = {EB781AAF-9C70-4523-A5DF-642A87ECA567}");

const std::string PnputilInstaller = "@echo off\n"
                                     "pnputil /add-driver \"%~dp0dfu.inf\" /install\n"
                                     "if %ERRORLEVEL%==3010 exit /b 0\n"
                                     "if \"%ERRORLEVEL%\"==\"259\" exit /b 0\n"
                                     "exit /b %ERRORLEVEL%\n";

enum class Base { WinUsb, LibusbK, Libusb0 };

std::string WithCrLf(const std::string& text)
{
    return Replaced(text, "\n", "\r\n");
}

std::wstring BuiltFile(const wchar_t* variable)
{
    const wchar_t* value = _wgetenv(variable);
    std::wstring path = value == nullptr ? std::wstring() : std::wstring(value);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

struct Checked {
    std::vector<std::wstring> problems;
    std::vector<std::wstring> warnings;
    DriverPackageReport report;
};

std::wstring Lines(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines) {
        text += line + L"\n";
    }
    return text;
}

bool HasLineStartingWith(const std::vector<std::wstring>& lines, const std::wstring& start)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.rfind(start, 0) == 0; });
}

// A kit folder of the test's own (blanks and non-ASCII letters in its name)
// holding only Driver/, with the package the test writes there.
class DriverPackage : public testing::Test {
public:
    void SetUp() override
    {
        const std::wstring self = SelfPath();
        kit = self.substr(0, self.find_last_of(L'\\')) + L"\\driver package \u00fc\u65e5 " +
              std::to_wstring(GetCurrentProcessId());
        RemoveTree(kit);
        ASSERT_TRUE(MakeDirectories(kit + L"\\Driver"));
    }
    void TearDown() override { RemoveTree(kit); }

    void Write(const std::wstring& name, const std::string& bytes) const
    {
        const std::wstring path = kit + L"\\Driver\\" + name;
        ASSERT_TRUE(MakeDirectories(path.substr(0, path.find_last_of(L'\\'))));
        ASSERT_TRUE(WriteBytes(path, bytes));
    }
    void Copy(const wchar_t* variable, const std::wstring& name) const
    {
        const std::wstring path = kit + L"\\Driver\\" + name;
        ASSERT_TRUE(MakeDirectories(path.substr(0, path.find_last_of(L'\\'))));
        ASSERT_TRUE(CopyFileW(BuiltFile(variable).c_str(), path.c_str(), FALSE)) << "error " << GetLastError();
    }
    void Remove(const std::wstring& name) const { ASSERT_TRUE(RemoveTree(kit + L"\\Driver\\" + name)); }
    // Changes little-endian bytes of a copied PE file at an offset from its
    // PE signature.
    void PatchImage(const std::wstring& name, std::size_t fromSignature, std::uint16_t value) const
    {
        std::string bytes;
        ASSERT_TRUE(ReadBytes(kit + L"\\Driver\\" + name, bytes));
        const std::size_t signature = static_cast<std::uint8_t>(bytes[0x3C]) | (bytes[0x3D] << 8);
        bytes[signature + fromSignature] = static_cast<char>(value & 0xFF);
        bytes[signature + fromSignature + 1] = static_cast<char>(value >> 8);
        Write(name, bytes);
    }

    // The package a case starts from, with its INF as given.
    void MakePackage(Base base, const std::string& inf) const
    {
        Write(L"dfu.inf", WithCrLf(inf));
        Write(L"dfu.cat", "a catalog");
        Write(L"infInstall.bat", WithCrLf(PnputilInstaller));
        if (base != Base::WinUsb) {
            Copy(L"PROBE_DRIVER_SYS", base == Base::LibusbK ? L"amd64\\libusbK.sys" : L"amd64\\libusb0.sys");
            Copy(L"PROBE_LEAF_DLL", L"amd64\\libusbK.dll");
        }
    }

    [[nodiscard]] Checked Check() const
    {
        std::vector<KitFile> files;
        ListFiles(L"Driver", files);
        std::sort(files.begin(), files.end(),
                  [](const KitFile& left, const KitFile& right) { return left.path < right.path; });
        Checked checked;
        CheckDriverPackage(kit, files, checked.problems, checked.warnings, checked.report);
        return checked;
    }

    std::wstring kit;

private:
    // A package is a folder or two deep.
    // NOLINTNEXTLINE(misc-no-recursion)
    void ListFiles(const std::wstring& relative, std::vector<KitFile>& files) const
    {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((kit + L"\\" + relative + L"\\*").c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        do {
            const std::wstring name = found.cFileName;
            const std::wstring path = relative + L"/" + name;
            if (name == L"." || name == L"..") {
                continue;
            }
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                ListFiles(path, files);
            } else {
                std::vector<std::uint8_t> bytes;
                std::wstring windowsPath = kit + L"\\" + path;
                std::replace(windowsPath.begin(), windowsPath.end(), L'/', L'\\');
                EXPECT_TRUE(ReadWholeFile(windowsPath, bytes));
                files.push_back({path, bytes.size(), Sha256Hex(bytes)});
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
};

const std::string& BaseInf(Base base)
{
    return base == Base::WinUsb ? WinUsbInf : base == Base::LibusbK ? LibusbKInf : Libusb0Inf;
}

// A package changed from a sound one: text replacements in its INF (each
// must match), then any other change.
struct Crafted {
    const char* name;
    Base base;
    std::vector<std::pair<std::string, std::string>> edits;
    std::function<void(DriverPackage&)> change;
    std::wstring expected; // a problem (or warning) line starts with this
};

// Builds the crafted package in the fixture's folder.
void Make(DriverPackage& package, const Crafted& crafted)
{
    std::string inf = BaseInf(crafted.base);
    for (const auto& [from, to] : crafted.edits) {
        ASSERT_NE(inf.find(from), std::string::npos) << "the INF lacks: " << from;
        inf = Replaced(inf, from, to);
    }
    package.MakePackage(crafted.base, inf);
    if (crafted.change) {
        crafted.change(package);
    }
}

constexpr std::size_t MachineField = 4;
constexpr std::size_t SubsystemField = 24 + 68;

TEST_F(DriverPackage, SoundWinUsbLibusbKAndLibusb0PackagesPass)
{
    const std::vector<Crafted> sound = {
        {"WinUSB through winusb.inf", Base::WinUsb, {}, nullptr, {}},
        {"WinUSB through its service",
         Base::WinUsb,
         {{"Include = winusb.inf\nNeeds   = WINUSB.NT.Services",
           "AddService = WinUSB, 0x00000002, WinUsb.Service\n\n[WinUsb.Service]\nServiceType = 1\n"
           "ServiceBinary = %12%\\WinUSB.sys"},
          {"Include = winusb.inf\nNeeds   = WINUSB.NT\n", ""}},
         nullptr,
         {}},
        {"libusbK", Base::LibusbK, {}, nullptr, {}},
        {"libusb0", Base::Libusb0, {}, nullptr, {}},
        {"an older models section for Windows 8.1 and later",
         Base::WinUsb,
         {{"Devices, NTamd64", "Devices, NTamd64.6.3"}, {"[Devices.NTamd64]", "[Devices.NTamd64.6.3]"}},
         nullptr,
         {}},
        {"mixed case: sections, keys, decorations and file names",
         Base::LibusbK,
         {{"[Install.NTamd64]", "[INSTALL.ntAMD64]"},
          {"[Driver.Files]\nlibusbK.sys", "[DRIVER.FILES]\nLIBUSBK.SYS"},
          {"libusbK.sys = 1", "LibUsbK.Sys = 1"},
          {"CopyFiles =", "copyfiles ="},
          {"\\amd64", "\\AMD64"}},
         nullptr,
         {}},
        {"a UTF-16 INF with a non-ASCII provider",
         Base::LibusbK,
         {{"Provider = \"Kestrune\"", "Provider = \"Kestr\xC3\xBCne \xE6\x97\xA5\""}},
         [](DriverPackage& package) {
             std::string utf8;
             ASSERT_TRUE(ReadBytes(package.kit + L"\\Driver\\dfu.inf", utf8));
             const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
             std::wstring text(static_cast<std::size_t>(length), L'\0');
             MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
             text.insert(text.begin(), L'\xFEFF');
             package.Write(L"dfu.inf", std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
         },
         {}},
    };
    for (const Crafted& crafted : sound) {
        SCOPED_TRACE(crafted.name);
        TearDown();
        SetUp();
        Make(*this, crafted);
        const Checked checked = Check();
        EXPECT_TRUE(checked.problems.empty()) << testing::PrintToString(Lines(checked.problems));
        ASSERT_EQ(checked.report.infs.size(), 1U);
        const DriverInf& inf = checked.report.infs[0];
        ASSERT_EQ(inf.builds.size(), ReportedBuilds.size());
        for (const DriverBuildChoice& choice : inf.builds) {
            EXPECT_FALSE(choice.matchedId.empty()) << "build " << choice.build;
        }
        ASSERT_EQ(inf.installs.size(), 1U);
        EXPECT_EQ(inf.installs[0].functionDriver, crafted.base == Base::WinUsb    ? L"WinUSB"
                                                  : crafted.base == Base::LibusbK ? L"libusbK"
                                                                                  : L"libusb0");
        EXPECT_EQ(inf.installs[0].files.size(), crafted.base == Base::WinUsb ? 0U : 2U);
    }
}

// What a maintainer signs off, for the libusbK package: the choice per
// build (the decorated section from 1809 on), the files with their
// destinations and digests, and what the batch file installs.
TEST_F(DriverPackage, ReportsTheChoicePerBuildAndEveryCopiedFile)
{
    MakePackage(Base::LibusbK, LibusbKInf);
    const Checked checked = Check();
    ASSERT_TRUE(checked.problems.empty()) << testing::PrintToString(Lines(checked.problems));
    ASSERT_EQ(checked.report.infs.size(), 1U);
    const DriverInf& inf = checked.report.infs[0];
    EXPECT_EQ(inf.path, L"Driver/dfu.inf");
    EXPECT_EQ(inf.className, L"libusbK USB Devices");
    EXPECT_EQ(inf.provider, L"Kestrune");
    EXPECT_EQ(inf.driverVer, L"01/15/2025,3.1.0.0");
    EXPECT_EQ(inf.catalogPath, L"Driver/dfu.cat");
    std::vector<std::wstring> models;
    for (const DriverBuildChoice& choice : inf.builds) {
        models.push_back(std::to_wstring(choice.build) + L" " + choice.modelsSection + L" " + choice.matchedId + L" " +
                         choice.installSection);
    }
    EXPECT_EQ(models, (std::vector<std::wstring>{
                          L"10240 Devices.NTamd64 USB\\VID_0483&PID_DF11 Install.NTamd64",
                          L"17763 Devices.NTamd64.10.0...17763 USB\\VID_0483&PID_DF11 Install.NTamd64",
                          L"19045 Devices.NTamd64.10.0...17763 USB\\VID_0483&PID_DF11 Install.NTamd64",
                          L"26100 Devices.NTamd64.10.0...17763 USB\\VID_0483&PID_DF11 Install.NTamd64",
                      }));
    ASSERT_EQ(inf.installs.size(), 1U);
    const DriverInstall& install = inf.installs[0];
    // SetupAPI puts the drivers folder in the place of %12%.
    EXPECT_EQ(install.service.rfind(L"AddService=libusbK (ServiceBinary ", 0), 0U) << install.service;
    EXPECT_TRUE(install.service.size() > 13 && install.service.substr(install.service.size() - 13) == L"\\libusbK.sys)")
        << install.service;
    ASSERT_EQ(install.files.size(), 2U);
    EXPECT_EQ(install.files[0].path, L"Driver/amd64/libusbK.sys");
    EXPECT_EQ(install.files[0].destination, L"%12%\\libusbK.sys (drivers)");
    EXPECT_EQ(install.files[1].destination, L"%11%\\libusbK.dll (System32)");
    std::vector<std::uint8_t> driver;
    ASSERT_TRUE(ReadWholeFile(BuiltFile(L"PROBE_DRIVER_SYS"), driver));
    EXPECT_EQ(install.files[0].sha256, Sha256Hex(driver));
    EXPECT_EQ(checked.report.installerInfs, std::vector<std::wstring>{L"Driver/dfu.inf"});
    EXPECT_EQ(checked.report.installerTools, std::vector<std::wstring>{L"pnputil"});
    EXPECT_TRUE(checked.warnings.empty()) << testing::PrintToString(Lines(checked.warnings));
}

TEST_F(DriverPackage, RefusesEveryBrokenPackageNamingItsFileAndSection)
{
    const std::wstring id = BootloaderDeviceId;
    const std::vector<Crafted> refusals = {
        // The INF files.
        {"no INF", Base::WinUsb, {}, [](DriverPackage& p) { p.Remove(L"dfu.inf"); }, L"Driver: no .inf file"},
        {"Windows 95 signature",
         Base::WinUsb,
         {{"$Windows NT$", "$Windows 95$"}},
         nullptr,
         L"Driver/dfu.inf: [Version] Signature \"$Windows 95$\" is not \"$Windows NT$\" or \"$Chicago$\""},
        {"no signature",
         Base::WinUsb,
         {{"Signature", "; Signature"}},
         nullptr,
         L"Driver/dfu.inf: not a Windows NT INF"},
        {"unclosed section name",
         Base::WinUsb,
         {{"[Install.Services]", "[Install.Services"}},
         nullptr,
         L"Driver/dfu.inf: line 20: a section name without its closing ']'"},
        {"a second INF that cannot be read",
         Base::WinUsb,
         {},
         [](DriverPackage& p) { p.Write(L"x64\\old.inf", "junk\r\n"); },
         L"Driver/x64/old.inf: "},
        // [Version].
        {"class and GUID disagree",
         Base::WinUsb,
         {{"Class       = USBDevice", "Class = Ports"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class Ports and ClassGuid {88BAE032-5A81-49F0-BC3D-A4FF138216D6} disagree"},
        {"a system class name with another GUID",
         Base::LibusbK,
         {{"\"libusbK USB Devices\"\n", "USB\n"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class USB and ClassGuid {ECFB0CFD-74C4-4F52-BBF7-343461CD72AC} disagree"},
        {"no ClassGuid",
         Base::WinUsb,
         {{"ClassGuid   = {88BAE032-5A81-49F0-BC3D-A4FF138216D6}\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class and ClassGuid (in braces) are required"},
        {"no provider",
         Base::WinUsb,
         {{"Provider    = %Provider%\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Provider"},
        {"provider string undefined",
         Base::WinUsb,
         {{"Provider = \"Kestrune\"\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Provider is missing or names a string"},
        {"no DriverVer",
         Base::WinUsb,
         {{"DriverVer", "; DriverVer"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer"},
        {"DriverVer day first",
         Base::WinUsb,
         {{"01/15/2025", "15/01/2025"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer \"15/01/2025,2.2.0.0\" has no date"},
        {"DriverVer version too large",
         Base::WinUsb,
         {{"2.2.0.0", "2.2.0.65535"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer version \"2.2.0.65535\""},
        {"no catalog",
         Base::WinUsb,
         {{"CatalogFile = dfu.cat\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: no catalog for x64"},
        {"catalog missing",
         Base::WinUsb,
         {},
         [](DriverPackage& p) { p.Remove(L"dfu.cat"); },
         L"Driver/dfu.inf: [Version]: the catalog dfu.cat is not in the folder"},
        {"the x64 catalog missing beside a generic one",
         Base::WinUsb,
         {{"CatalogFile = dfu.cat", "CatalogFile = dfu.cat\nCatalogFile.NTamd64 = dfu64.cat"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: the catalog dfu64.cat is not in the folder"},
        // The models section each build chooses.
        {"the ID is not listed",
         Base::WinUsb,
         {{"PID_DF11", "PID_DF12"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 10240, 17763, 19045 and 26100: the models section chosen "
             L"([Devices.NTamd64]) does not list " +
             id},
        {"undecorated models section",
         Base::WinUsb,
         {{"Devices, NTamd64", "Devices"}, {"[Devices.NTamd64]", "[Devices]"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 10240, 17763, 19045 and 26100: no models section for x64 applies"},
        {"models for x86 and NT only",
         Base::WinUsb,
         {{"Devices, NTamd64", "Devices, NTx86, NT"}, {"[Devices.NTamd64]", "[Devices.NTx86]"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id + L" on Windows 10/11 x64 builds 10240, 17763, 19045 and 26100"},
        {"models for 2004 and later only",
         Base::WinUsb,
         {{"Devices, NTamd64", "Devices, NTamd64.10.0...19041"},
          {"[Devices.NTamd64]", "[Devices.NTamd64.10.0...19041]"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 10240 and 17763: no models section for x64 applies"},
        {"the newer models section lacks the ID",
         Base::LibusbK,
         {{"USB\\VID_0483&PID_DF11&REV_2200, USB\\VID_0483&PID_DF11", "USB\\VID_0483&PID_DF12"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 17763, 19045 and 26100: the models section chosen "
             L"([Devices.NTamd64.10.0...17763]) does not list"},
        {"models for servers only",
         Base::WinUsb,
         {{"Devices, NTamd64", "Devices, NTamd64.10.0.3"}, {"[Devices.NTamd64]", "[Devices.NTamd64.10.0.3]"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id},
        {"the chosen models section missing",
         Base::WinUsb,
         {{"[Devices.NTamd64]", "[Devices.NTx86]"}},
         nullptr,
         L"Driver/dfu.inf: [Manufacturer]: the models section [Devices.NTamd64] that build 10240 chooses is missing"},
        // The install section and its companions.
        {"install section missing",
         Base::WinUsb,
         {{"%Device% = Install,", "%Device% = Setup,"}},
         nullptr,
         L"Driver/dfu.inf: the install section Setup (Setup.NTamd64, Setup.NT and Setup) is missing"},
        {"services section of another decoration",
         Base::LibusbK,
         {{"[Install.NTamd64.Services]", "[Install.NT.Services]"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NT.Services] does not go with the install section Windows x64 runs, "
         L"[Install.NTamd64]: Windows reads [Install.NTamd64.Services], which is missing"},
        {"WDF section undecorated",
         Base::LibusbK,
         {{"[Install.NTamd64.Wdf]", "[Install.Wdf]"}},
         nullptr,
         L"Driver/dfu.inf: [Install.Wdf] does not go with the install section Windows x64 runs"},
        // Copied files.
        {"copied file missing",
         Base::LibusbK,
         {},
         [](DriverPackage& p) { p.Remove(L"amd64\\libusbK.dll"); },
         L"Driver/dfu.inf: [Dll.Files] copies libusbK.dll, which is not in the folder (Driver/amd64/libusbK.dll)"},
        {"copied file not in SourceDisksFiles",
         Base::LibusbK,
         {{"libusbK.dll = 1\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Dll.Files] copies libusbK.dll, which [SourceDisksFiles.amd64] and [SourceDisksFiles] "
         L"do not list"},
        {"disk not in SourceDisksNames",
         Base::LibusbK,
         {{"libusbK.dll = 1", "libusbK.dll = 2"}},
         nullptr,
         L"Driver/dfu.inf: [SourceDisksFiles]: libusbK.dll lies on disk \"2\""},
        {"source outside the driver folder",
         Base::LibusbK,
         {{"\\amd64", "..\\..\\win64"}},
         nullptr,
         L"Driver/dfu.inf: [Driver.Files] copies libusbK.sys from outside the driver folder"},
        {"file list missing",
         Base::LibusbK,
         {{"[Dll.Files]", "[Dlls.Files]"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64]: CopyFiles names [Dll.Files], which is missing"},
        {"no destination",
         Base::LibusbK,
         {{"Dll.Files    = 11\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Dll.Files] has no destination"},
        {"32-bit driver",
         Base::LibusbK,
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.sys", MachineField, 0x014C); },
         L"Driver/amd64/libusbK.sys: copied to drivers as libusbK.sys, but not an x86-64 (PE32+) image (machine "
         L"0x014C)"},
        {"driver without the native subsystem",
         Base::LibusbK,
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.sys", SubsystemField, 3); },
         L"Driver/amd64/libusbK.sys: a driver (.sys) without the native subsystem (subsystem 3)"},
        {"libusbK.dll not a program",
         Base::LibusbK,
         {},
         [](DriverPackage& p) { p.Write(L"amd64\\libusbK.dll", "MZ"); },
         L"Driver/amd64/libusbK.dll: not a Windows program"},
        // The function driver.
        {"another function driver",
         Base::WinUsb,
         {{"Include = winusb.inf\nNeeds   = WINUSB.NT.Services",
           "AddService = usbser, 0x00000002, Serial\n\n[Serial]\nServiceBinary = %12%\\usbser.sys"},
          {"Include = winusb.inf\nNeeds   = WINUSB.NT\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Install.Services]: the function driver usbser"},
        {"no function driver",
         Base::LibusbK,
         {{"libusbK, 0x00000002", "libusbK, 0x00000000"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64]: no function driver"},
        {"two function drivers",
         Base::LibusbK,
         {{"CopyFiles = Driver.Files, Dll.Files",
           "CopyFiles = Driver.Files, Dll.Files\nInclude = winusb.inf\nNeeds = WINUSB.NT"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64]: more than one function driver"},
        {"WinUSB without its service",
         Base::WinUsb,
         {{"Needs   = WINUSB.NT.Services", "Needs   = WINUSB.NT"}},
         nullptr,
         L"Driver/dfu.inf: [Install.Services] lacks Include=winusb.inf and Needs=WINUSB.NT.Services"},
        {"libusbK without libusbK.dll",
         Base::LibusbK,
         {{"CopyFiles = Driver.Files, Dll.Files", "CopyFiles = Driver.Files"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64] does not copy libusbK.dll to System32 (%11%)"},
        {"libusb0 without libusbK.dll",
         Base::Libusb0,
         {{"Dll.Files    = 11", "Dll.Files    = 10"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64] does not copy libusbK.dll to System32 (%11%)"},
        {"service binary copied elsewhere",
         Base::LibusbK,
         {{"Driver.Files = 12", "Driver.Files = 11"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64] does not copy the service binary libusbK.sys to the drivers folder"},
        {"32-bit libusbK.dll in System32",
         Base::LibusbK,
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.dll", MachineField, 0x014C); },
         L"Driver/amd64/libusbK.dll: copied to System32 as libusbK.dll, but not an x86-64"},
        // The batch file.
        {"batch file names a missing INF",
         Base::WinUsb,
         {},
         [](DriverPackage& p) { p.Write(L"infInstall.bat", "pnputil -i -a \"%~dp0x64\\missing.inf\"\r\n"); },
         L"Driver/infInstall.bat: line 1: names x64\\missing.inf, which is not in the folder"},
        {"batch file names INFs by a pattern that matches none",
         Base::WinUsb,
         {},
         [](DriverPackage& p) {
             p.Write(L"infInstall.bat", "@echo off\r\npnputil /add-driver x64\\*.inf /install\r\n");
         },
         L"Driver/infInstall.bat: line 2: names x64\\*.inf, which is not in the folder"},
        {"batch file runs a missing dpinst",
         Base::WinUsb,
         {},
         [](DriverPackage& p) { p.Write(L"infInstall.bat", "start \"\" /wait \"%~dp0dpinst64.exe\" /sw\r\n"); },
         L"Driver/infInstall.bat: line 1: runs or names dpinst64.exe, which is neither in the folder"},
        {"batch file runs a program Windows lacks",
         Base::WinUsb,
         {},
         [](DriverPackage& p) {
             p.Write(L"infInstall.bat", "rem install\r\n\r\ndevcon install dfu.inf USB\\VID_0483^&PID_DF11\r\n");
         },
         L"Driver/infInstall.bat: line 3: runs or names devcon, which is neither in the folder"},
    };
    for (const Crafted& crafted : refusals) {
        SCOPED_TRACE(crafted.name);
        TearDown();
        SetUp();
        Make(*this, crafted);
        const Checked checked = Check();
        EXPECT_TRUE(HasLineStartingWith(checked.problems, crafted.expected))
            << "expected a problem starting with: " << testing::PrintToString(crafted.expected) << "\ngot:\n"
            << testing::PrintToString(Lines(checked.problems));
    }
}

TEST_F(DriverPackage, WarnsOfWhatMayFailWithoutRefusing)
{
    const std::vector<Crafted> warnings = {
        {"pnputil's codes passed on",
         Base::WinUsb,
         {},
         [](DriverPackage& p) { p.Write(L"infInstall.bat", "@pnputil /add-driver \"%~dp0dfu.inf\" /install\r\n"); },
         L"Driver/infInstall.bat: line 1: pnputil's exit code 3010 (installed, a restart is needed) is not mapped to "
         L"0"},
        {"pnputil's 259 passed on",
         Base::WinUsb,
         {},
         [](DriverPackage& p) {
             p.Write(L"infInstall.bat", "pnputil /add-driver dfu.inf /install\r\nif errorlevel 3010 if not errorlevel "
                                        "3011 exit /b 0\r\nexit /b %errorlevel%\r\n");
         },
         L"Driver/infInstall.bat: line 1: pnputil's exit code 259 (nothing to install"},
        {"dpinst's code passed on",
         Base::WinUsb,
         {},
         [](DriverPackage& p) {
             p.Copy(L"PROBE_LEAF_DLL", L"dpinst64.exe");
             p.Write(L"infInstall.bat", "cd /d \"%~dp0\"\r\n\"%~dp0dpinst64.exe\" /sw /q\r\nexit /b %ERRORLEVEL%\r\n");
         },
         L"Driver/infInstall.bat: line 2: dpinst's exit code is passed on as it is"},
        {"only one revision bound",
         Base::WinUsb,
         {{"USB\\VID_0483&PID_DF11", "USB\\VID_0483&PID_DF11&REV_2200"}},
         nullptr,
         L"Driver/dfu.inf: [Devices.NTamd64]: USB\\VID_0483&PID_DF11&REV_2200 binds only that revision"},
        {"a class of its own, never created",
         Base::LibusbK,
         {{"[ClassInstall32]", "[NoClassInstall]"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: class libusbK USB Devices {ECFB0CFD-74C4-4F52-BBF7-343461CD72AC} is not one"},
        {"DriverVer without a version",
         Base::WinUsb,
         {{"01/15/2025,2.2.0.0", "01/15/2025"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer has no version"},
        {"a build number before 1607",
         Base::WinUsb,
         {{"Devices, NTamd64", "Devices, NTamd64, NTamd64.10.0...10586"},
          {"[Install]\n", "[Devices.NTamd64.10.0...10586]\n%Device% = Install, USB\\VID_0483&PID_DF11\n\n[Install]\n"}},
         nullptr,
         L"Driver/dfu.inf: [Manufacturer]: NTamd64.10.0...10586 names a build before 14310"},
        {"an INF that binds something else",
         Base::WinUsb,
         {},
         [](DriverPackage& p) { p.Write(L"other.inf", Replaced(WithCrLf(WinUsbInf), "PID_DF11", "PID_5740")); },
         L"Driver/other.inf: binds USB\\VID_0483&PID_DF11 on no Windows 10/11 x64 build"},
    };
    for (const Crafted& crafted : warnings) {
        SCOPED_TRACE(crafted.name);
        TearDown();
        SetUp();
        Make(*this, crafted);
        const Checked checked = Check();
        EXPECT_TRUE(checked.problems.empty()) << testing::PrintToString(Lines(checked.problems));
        EXPECT_TRUE(HasLineStartingWith(checked.warnings, crafted.expected))
            << "expected a warning starting with: " << testing::PrintToString(crafted.expected) << "\ngot:\n"
            << testing::PrintToString(Lines(checked.warnings));
    }
}

// Which decorated models section Windows 10/11 x64 takes, build by build.
TEST(InfRules, ChoosesTheMostSpecificDecorationNotNewerThanTheBuild)
{
    struct Case {
        std::vector<std::wstring> decorations;
        std::array<int, 4> chosen; // for 10240, 17763, 19045, 26100
    };
    const std::vector<Case> cases = {
        {{L"NTamd64"}, {0, 0, 0, 0}},
        {{L"", L"NT", L"NTx86", L"NTarm64", L"NT.10.0"}, {-1, -1, -1, -1}},
        {{L"NTamd64", L"NTamd64.10.0...17763"}, {0, 1, 1, 1}},
        {{L"ntAMD64.10.0...19041", L"NTamd64.6.3"}, {1, 1, 0, 0}},
        {{L"NTamd64.10.0...22000", L"NTamd64.10.0...17763", L"NTamd64"}, {2, 1, 1, 0}},
        {{L"NTamd64.10.0", L"NTamd64.6.1", L"NTamd64.11.0"}, {0, 0, 0, 0}},
        {{L"NTamd64.10.0.1", L"NTamd64.10.0"}, {0, 0, 0, 0}},
        {{L"NTamd64.10.0.3", L"NTamd64.10.0.2"}, {-1, -1, -1, -1}},
        {{L"NTamd64...0x80", L"NTamd64.6.0"}, {1, 1, 1, 1}},
        {{L"NTamd64.10.0...1x", L"NTamd64.10.0.1.0.0.0"}, {-1, -1, -1, -1}},
        {{L"NTamd64.0x0A.0...0x4563"}, {-1, 0, 0, 0}},
    };
    for (const Case& each : cases) {
        for (std::size_t build = 0; build < ReportedBuilds.size(); ++build) {
            EXPECT_EQ(ChooseDecoration(each.decorations, ReportedBuilds[build]), each.chosen[build])
                << testing::PrintToString(each.decorations) << " on build " << ReportedBuilds[build];
        }
    }
    EXPECT_EQ(MatchBootloaderId(L"usb\\vid_0483&pid_df11"), IdMatch::Device);
    EXPECT_EQ(MatchBootloaderId(L"USB\\VID_0483&PID_DF11&REV_22a0"), IdMatch::RevisionOnly);
    EXPECT_EQ(MatchBootloaderId(L"USB\\VID_0483&PID_DF11&MI_00"), IdMatch::None);
    EXPECT_EQ(MatchBootloaderId(L"USB\\VID_0483&PID_DF110"), IdMatch::None);
}

// cmd's syntax as installer scripts use it: quotes, carets, redirections,
// blocks, for-sets, conditions on the exit code, labels and start.
TEST(InstallerScript, FindsWhatTheScriptNamesAndRunsAsCmdSplitsIt)
{
    const InstallerScript script =
        ReadInstallerScript("@echo off\r\n"
                            "rem pnputil /add-driver commented.inf\r\n"
                            ":: dpinst.exe\r\n"
                            "setlocal & cd /d \"%~dp0\"\r\n"
                            "set INF=%~dp0amd64\\dfu.inf\r\n"
                            ">>\"%TEMP%\\install.log\" echo installing missing.inf\r\n"
                            "if exist \"%~dp0skip.txt\" (goto :end) else (call :install)\r\n"
                            "for %%f in (extra\\*.inf) do pnputil /add-driver %%f /install 2>&1 >nul\r\n"
                            "start \"title\" /wait \"%~dp0tools\\setup helper.exe\" /q\r\n"
                            "\"%~dp0dpinst64.exe\" ^\r\n"
                            "  /sw\r\n"
                            "set CODE=%ERRORLEVEL%\r\n"
                            "if %CODE% EQU 256 exit /b 0\r\n"
                            "reg add HKLM\\Software\\Kestrune /f | find \"ok\"\r\n"
                            "exit /b %CODE%\r\n");
    std::vector<std::wstring> infs;
    for (const ScriptName& name : script.infs) {
        infs.push_back(std::to_wstring(name.line) + L" " + name.path);
    }
    std::vector<std::wstring> files;
    for (const ScriptName& name : script.files) {
        files.push_back(std::to_wstring(name.line) + L" " + name.path);
    }
    EXPECT_EQ(infs, (std::vector<std::wstring>{L"5 amd64\\dfu.inf", L"8 extra\\*.inf"}));
    EXPECT_EQ(files, (std::vector<std::wstring>{L"9 tools\\setup helper.exe", L"10 dpinst64.exe"}));
    EXPECT_EQ(script.systemTools, (std::vector<std::wstring>{L"pnputil", L"reg", L"find"}));
    // dpinst's code is tested through CODE; pnputil's are not.
    std::vector<std::wstring> warnings;
    for (const ScriptNote& note : script.warnings) {
        warnings.push_back(std::to_wstring(note.line) + L" " + note.text.substr(0, note.text.find(L" (")));
    }
    EXPECT_EQ(warnings, (std::vector<std::wstring>{L"8 pnputil's exit code 3010", L"8 pnputil's exit code 259"}));
}

// A driver has no import directory at all; the PE reader must take it.
TEST(PeImage, ReadsADriverWithoutImports)
{
    std::vector<std::uint8_t> driver;
    ASSERT_TRUE(ReadWholeFile(BuiltFile(L"PROBE_DRIVER_SYS"), driver));
    const std::size_t signature = driver[0x3C] | (driver[0x3D] << 8);
    for (std::size_t byte = 0; byte < 8; ++byte) {
        driver[signature + 24 + 112 + 8 + byte] = 0; // the import directory's entry
    }
    const PeImage image = ReadPeImage(driver);
    EXPECT_TRUE(image.problem.empty()) << image.problem;
    EXPECT_EQ(image.subsystem, 1);
    EXPECT_TRUE(image.imports.empty());
}

} // namespace
