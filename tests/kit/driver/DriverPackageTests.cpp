#include "DriverPackage.h"
#include "FileDigest.h"
#include "InfRules.h"
#include "InstallerScript.h"
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

// The packages come from the build (tests/kit/driver/CMakeLists.txt), each
// in a folder of its own with its signed catalog; DRIVER_PACKAGES names
// their folder.
std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A path the build gives through the environment (Windows takes its forward
// slashes as separators).
std::wstring BuiltFile(const wchar_t* variable)
{
    const wchar_t* value = _wgetenv(variable);
    return value == nullptr ? std::wstring() : std::wstring(value);
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
        kit = self.substr(0, self.find_last_of(L'\\') + 1) + L"driver package \u00fc\u65e5 " +
              std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(RemoveTree(kit) && MakeDirectories(kit + L"\\Driver"));
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

    // A package the build made, as Driver/.
    void UsePackage(const std::string& name) const
    {
        const std::wstring from = BuiltFile(L"DRIVER_PACKAGES") + L"\\" + std::wstring(name.begin(), name.end());
        std::vector<std::wstring> names;
        ListFolder(from, {}, names);
        ASSERT_FALSE(names.empty()) << "the build made no package " << name;
        for (const std::wstring& each : names) {
            std::wstring to = kit + L"\\Driver\\";
            to += each;
            std::wstring source = from + L"\\";
            source += each;
            ASSERT_TRUE(MakeDirectories(to.substr(0, to.find_last_of(L'\\'))));
            ASSERT_TRUE(CopyFileW(source.c_str(), to.c_str(), FALSE)) << "error " << GetLastError();
        }
    }
    void UseCatalog(const wchar_t* name) const
    {
        const std::wstring from = BuiltFile(L"DRIVER_PACKAGES") + L"\\catalogs\\" + name;
        ASSERT_TRUE(CopyFileW(from.c_str(), (kit + L"\\Driver\\dfu.cat").c_str(), FALSE)) << "error " << GetLastError();
    }

    [[nodiscard]] Checked Check() const
    {
        std::vector<std::wstring> names;
        ListFolder(kit + L"\\Driver", {}, names);
        std::vector<KitFile> files;
        for (const std::wstring& name : names) {
            std::vector<std::uint8_t> bytes;
            EXPECT_TRUE(ReadWholeFile(kit + L"\\Driver\\" + name, bytes));
            std::wstring path = L"Driver/" + name;
            std::replace(path.begin(), path.end(), L'\\', L'/');
            files.push_back({path, bytes.size(), Sha256Hex(bytes)});
        }
        std::sort(files.begin(), files.end(),
                  [](const KitFile& left, const KitFile& right) { return left.path < right.path; });
        Checked checked;
        CheckDriverPackage(kit, files, checked.problems, checked.warnings, checked.report);
        return checked;
    }

    std::wstring kit;

private:
    // The files below a folder, as paths relative to it; a package is a
    // folder or two deep.
    // NOLINTNEXTLINE(misc-no-recursion)
    static void ListFolder(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& names)
    {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return;
        }
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                ListFolder(root, relative + name + L"\\", names);
            } else {
                names.push_back(relative + name);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
};

// A package changed from one the build made: text replacements in its INF
// (each must match), then any other change.
struct Crafted {
    const char* name;
    const char* package;
    std::vector<std::pair<std::string, std::string>> edits;
    std::function<void(DriverPackage&)> change;
    std::wstring expected; // a problem (or warning) line starts with this
};

void Make(DriverPackage& package, const Crafted& crafted)
{
    package.UsePackage(crafted.package);
    if (!crafted.edits.empty()) {
        std::string inf;
        ASSERT_TRUE(ReadBytes(package.kit + L"\\Driver\\dfu.inf", inf));
        inf = Replaced(inf, "\r\n", "\n");
        for (const auto& [from, to] : crafted.edits) {
            ASSERT_NE(inf.find(from), std::string::npos) << "the INF lacks: " << from;
            inf = Replaced(inf, from, to);
        }
        package.Write(L"dfu.inf", Replaced(inf, "\n", "\r\n"));
    }
    if (crafted.change) {
        crafted.change(package);
    }
}

// An edited INF no longer has the digest its catalog member holds; that
// problem is expected beside the one a case is about.
std::vector<std::wstring> BesidesTheEditedInf(const Crafted& crafted, const std::vector<std::wstring>& problems)
{
    std::vector<std::wstring> others;
    for (const std::wstring& problem : problems) {
        if (crafted.edits.empty() || problem.rfind(L"Driver/dfu.inf: its catalog member holds a different", 0) != 0) {
            others.push_back(problem);
        }
    }
    return others;
}

constexpr std::size_t MachineField = 4;
constexpr std::size_t TimeStampField = 8;
constexpr std::size_t SubsystemField = 24 + 68;

// Sound packages pass with their function driver, every build bound, and
// the INF and every copied file covered by a member of the catalog.
TEST_F(DriverPackage, SoundWinUsbLibusbKAndLibusb0PackagesPass)
{
    struct Sound {
        const char* package;
        const wchar_t* functionDriver;
        std::size_t files;
        const wchar_t* digest; // of the INF's member
    };
    const std::vector<Sound> sound = {
        {"winusb", L"WinUSB", 0, L"SHA256 file digest "},      {"winusb-service", L"WinUSB", 0, L"SHA256 file digest "},
        {"libusbk", L"libusbK", 2, L"SHA256 file digest "},    {"libusb0", L"libusb0", 2, L"SHA1 file digest "},
        {"mixed-case", L"libusbK", 2, L"SHA256 file digest "}, {"utf16", L"libusbK", 2, L"SHA256 file digest "},
    };
    for (const Sound& each : sound) {
        SCOPED_TRACE(each.package);
        TearDown();
        SetUp();
        UsePackage(each.package);
        const Checked checked = Check();
        EXPECT_TRUE(checked.problems.empty()) << testing::PrintToString(Lines(checked.problems));
        EXPECT_TRUE(checked.warnings.empty()) << testing::PrintToString(Lines(checked.warnings));
        ASSERT_EQ(checked.report.infs.size(), 1U);
        const DriverInf& inf = checked.report.infs[0];
        ASSERT_EQ(inf.builds.size(), ReportedBuilds.size());
        for (const DriverBuildChoice& choice : inf.builds) {
            EXPECT_EQ(MatchBootloaderId(choice.matchedId), IdMatch::Device) << "build " << choice.build;
        }
        EXPECT_EQ(inf.cover.digest.rfind(each.digest, 0), 0U) << testing::PrintToString(inf.cover.digest);
        EXPECT_EQ(inf.osAttribute, L"2:10.0");
        ASSERT_EQ(inf.installs.size(), 1U);
        EXPECT_EQ(inf.installs[0].functionDriver, each.functionDriver);
        ASSERT_EQ(inf.installs[0].files.size(), each.files);
        for (const DriverFile& file : inf.installs[0].files) {
            // The programs' members hold their Authenticode image digests.
            EXPECT_NE(file.cover.digest.find(L" image digest "), std::wstring::npos) << file.path;
        }
    }
}

// What a maintainer signs off, for the libusbK package: the choice per
// build (the decorated section from 1809 on), the files with their
// destinations and digests, and what the batch file installs.
TEST_F(DriverPackage, ReportsTheChoicePerBuildAndEveryCopiedFile)
{
    UsePackage("libusbk");
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
    models.reserve(inf.builds.size());
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
    EXPECT_EQ(install.files[0].cover.member, L"libusbK.sys");
    EXPECT_EQ(inf.cover.member, L"dfu.inf");
    EXPECT_EQ(inf.signer.subject, L"CN=Touchpad Test Catalog Signing, O=Touchpad Test");
    EXPECT_EQ(inf.signer.sha1Thumbprint.size(), 40U);
    EXPECT_EQ(checked.report.installerInfs, std::vector<std::wstring>{L"Driver/dfu.inf"});
    EXPECT_EQ(checked.report.installerTools, std::vector<std::wstring>{L"pnputil"});
    EXPECT_TRUE(checked.warnings.empty()) << testing::PrintToString(Lines(checked.warnings));
}

TEST_F(DriverPackage, RefusesEveryBrokenPackageNamingItsFileAndSection)
{
    const std::wstring id = BootloaderDeviceId;
    const std::vector<Crafted> refusals = {
        // The INF files.
        {"no INF", "winusb", {}, [](DriverPackage& p) { p.Remove(L"dfu.inf"); }, L"Driver: no .inf file"},
        {"Windows 95 signature",
         "winusb",
         {{"$Windows NT$", "$Windows 95$"}},
         nullptr,
         L"Driver/dfu.inf: [Version] Signature \"$Windows 95$\" is not \"$Windows NT$\" or \"$Chicago$\""},
        {"no signature", "winusb", {{"Signature", "; Signature"}}, nullptr, L"Driver/dfu.inf: not a Windows NT INF"},
        {"unclosed section name",
         "winusb",
         {{"[Install.Services]", "[Install.Services"}},
         nullptr,
         L"Driver/dfu.inf: line 20: a section name without its closing ']'"},
        {"a second INF that cannot be read",
         "winusb",
         {},
         [](DriverPackage& p) { p.Write(L"x64\\old.inf", "junk\r\n"); },
         L"Driver/x64/old.inf: "},
        // [Version].
        {"class and GUID disagree",
         "winusb",
         {{"Class       = USBDevice", "Class = Ports"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class Ports and ClassGuid {88BAE032-5A81-49F0-BC3D-A4FF138216D6} disagree: "
         L"Windows' class Ports has another GUID"},
        {"a system class name with another GUID",
         "libusbk",
         {{"\"libusbK USB Devices\"\n", "USB\n"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class USB and ClassGuid {ECFB0CFD-74C4-4F52-BBF7-343461CD72AC} disagree"},
        {"class name too long",
         "winusb",
         {{"Class       = USBDevice", "Class = TouchpadBootloaderDevicesOfKestrune"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class TouchpadBootloaderDevicesOfKestrune is longer than 32 characters"},
        {"no ClassGuid",
         "winusb",
         {{"ClassGuid   = {88BAE032-5A81-49F0-BC3D-A4FF138216D6}\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class and ClassGuid (in braces) are required"},
        {"provider string undefined",
         "winusb",
         {{"Provider = \"Kestrune\"\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Provider is missing or names a string"},
        {"DriverVer day first",
         "winusb",
         {{"01/15/2025", "15/01/2025"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer \"15/01/2025,2.2.0.0\" has no date"},
        {"DriverVer version too large",
         "winusb",
         {{"2.2.0.0", "2.2.0.65535"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer version \"2.2.0.65535\""},
        {"no catalog",
         "winusb",
         {{"CatalogFile = dfu.cat\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: no catalog for x64"},
        {"catalog missing",
         "winusb",
         {},
         [](DriverPackage& p) { p.Remove(L"dfu.cat"); },
         L"Driver/dfu.inf: [Version]: the catalog dfu.cat is not in the folder"},
        {"the x64 catalog missing beside a generic one",
         "winusb",
         {{"CatalogFile = dfu.cat", "CatalogFile = dfu.cat\nCatalogFile.NTamd64 = dfu64.cat"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: the catalog dfu64.cat is not in the folder"},
        // The models section each build chooses.
        {"the ID is not listed",
         "winusb",
         {{"PID_DF11", "PID_DF12"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 10240, 17763, 19045 and 26100: the models section chosen "
             L"([Devices.NTamd64]) does not list " +
             id},
        {"undecorated models section",
         "winusb",
         {{"Devices, NTamd64", "Devices"}, {"[Devices.NTamd64]", "[Devices]"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 10240, 17763, 19045 and 26100: no models section for x64 applies"},
        {"models for 2004 and later only",
         "winusb",
         {{"Devices, NTamd64", "Devices, NTamd64.10.0...19041"},
          {"[Devices.NTamd64]", "[Devices.NTamd64.10.0...19041]"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 10240 and 17763: no models section for x64 applies"},
        {"the newer models section lacks the ID",
         "libusbk",
         {{"USB\\VID_0483&PID_DF11&REV_2200, USB\\VID_0483&PID_DF11", "USB\\VID_0483&PID_DF12"}},
         nullptr,
         L"Driver/dfu.inf: does not bind " + id +
             L" on Windows 10/11 x64 builds 17763, 19045 and 26100: the models section chosen "
             L"([Devices.NTamd64.10.0...17763]) does not list"},
        {"the chosen models section missing",
         "winusb",
         {{"[Devices.NTamd64]", "[Devices.NTx86]"}},
         nullptr,
         L"Driver/dfu.inf: [Manufacturer]: the models section [Devices.NTamd64] that build 10240 chooses is missing"},
        // The install section and its companions.
        {"install section missing",
         "winusb",
         {{"%Device% = Install,", "%Device% = Setup,"}},
         nullptr,
         L"Driver/dfu.inf: the install section Setup (Setup.NTamd64, Setup.NT and Setup) is missing"},
        {"services section of another decoration",
         "libusbk",
         {{"[Install.NTamd64.Services]", "[Install.NT.Services]"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NT.Services] does not go with the install section Windows x64 runs, "
         L"[Install.NTamd64]: Windows reads [Install.NTamd64.Services], which is missing"},
        {"WDF section undecorated",
         "libusbk",
         {{"[Install.NTamd64.Wdf]", "[Install.Wdf]"}},
         nullptr,
         L"Driver/dfu.inf: [Install.Wdf] does not go with the install section Windows x64 runs"},
        // Copied files.
        {"copied file missing",
         "libusbk",
         {},
         [](DriverPackage& p) { p.Remove(L"amd64\\libusbK.dll"); },
         L"Driver/dfu.inf: [Dll.Files] copies libusbK.dll, which is not in the folder (Driver/amd64/libusbK.dll)"},
        {"copied file not in SourceDisksFiles",
         "libusbk",
         {{"libusbK.dll = 1\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Dll.Files] copies libusbK.dll, which [SourceDisksFiles.amd64] and [SourceDisksFiles] "
         L"do not list"},
        {"disk not in SourceDisksNames",
         "libusbk",
         {{"libusbK.dll = 1", "libusbK.dll = 2"}},
         nullptr,
         L"Driver/dfu.inf: [SourceDisksFiles]: libusbK.dll lies on disk \"2\""},
        {"source outside the driver folder",
         "libusbk",
         {{"\\amd64", "..\\..\\win64"}},
         nullptr,
         L"Driver/dfu.inf: [Driver.Files] copies libusbK.sys from outside the driver folder"},
        {"file list missing",
         "libusbk",
         {{"[Dll.Files]", "[Dlls.Files]"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64]: CopyFiles names [Dll.Files], which is missing"},
        {"no destination",
         "libusbk",
         {{"Dll.Files    = 11\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Dll.Files] has no destination"},
        {"a single file copied without a default destination",
         "libusbk",
         {{"CopyFiles = Driver.Files, Dll.Files", "CopyFiles = Driver.Files, Dll.Files, @libusbK.dll"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64]: CopyFiles=@libusbK.dll has no destination"},
        {"32-bit driver",
         "libusbk",
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.sys", MachineField, 0x014C); },
         L"Driver/amd64/libusbK.sys: copied to drivers as libusbK.sys, but not an x86-64 (PE32+) image (machine "
         L"0x014C)"},
        {"driver without the native subsystem",
         "libusbk",
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.sys", SubsystemField, 3); },
         L"Driver/amd64/libusbK.sys: a driver (.sys) without the native subsystem (subsystem 3)"},
        {"libusbK.dll not a program",
         "libusbk",
         {},
         [](DriverPackage& p) { p.Write(L"amd64\\libusbK.dll", "MZ"); },
         L"Driver/amd64/libusbK.dll: not a Windows program"},
        // The function driver.
        {"another function driver",
         "winusb",
         {{"Include = winusb.inf\nNeeds   = WINUSB.NT.Services",
           "AddService = usbser, 0x00000002, Serial\n\n[Serial]\nServiceBinary = %12%\\usbser.sys"},
          {"Include = winusb.inf\nNeeds   = WINUSB.NT\n", ""}},
         nullptr,
         L"Driver/dfu.inf: [Install.Services]: the function driver usbser"},
        {"no function driver",
         "libusbk",
         {{"libusbK, 0x00000002", "libusbK, 0x00000000"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64]: no function driver"},
        {"two function drivers",
         "libusbk",
         {{"AddService = libusbK, 0x00000002, Service",
           "AddService = libusbK, 0x00000002, Service\nInclude = winusb.inf\nNeeds = WINUSB.NT.Services"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64.Services]: more than one function driver"},
        {"WinUSB without its service",
         "winusb",
         {{"Needs   = WINUSB.NT.Services", "Needs   = WINUSB.NT"}},
         nullptr,
         L"Driver/dfu.inf: [Install.Services] lacks Include=winusb.inf and Needs=WINUSB.NT.Services"},
        {"libusbK without libusbK.dll",
         "libusbk",
         {{"CopyFiles = Driver.Files, Dll.Files", "CopyFiles = Driver.Files"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64] does not copy libusbK.dll to System32 (%11%)"},
        {"libusb0 without libusbK.dll",
         "libusb0",
         {{"Dll.Files    = 10,system32", "Dll.Files    = 10"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64] does not copy libusbK.dll to System32 (%11%)"},
        {"service binary copied elsewhere",
         "libusbk",
         {{"Driver.Files = 12", "Driver.Files = 11"}},
         nullptr,
         L"Driver/dfu.inf: [Install.NTamd64] does not copy the service binary libusbK.sys to the drivers folder"},
        {"x64 DLL copied to SysWOW64",
         "libusbk",
         {{"CopyFiles = Driver.Files, Dll.Files", "CopyFiles = Driver.Files, Dll.Files, Wow64.Files"},
          {"Dll.Files    = 11", "Dll.Files    = 11\nWow64.Files  = 10,SysWOW64\n\n[Wow64.Files]\nlibusbK.dll"}},
         nullptr,
         L"Driver/amd64/libusbK.dll: copied to SysWOW64 as libusbK.dll, but not an x86 image (machine 0x8664)"},
        {"32-bit libusbK.dll in System32",
         "libusbk",
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.dll", MachineField, 0x014C); },
         L"Driver/amd64/libusbK.dll: copied to System32 as libusbK.dll, but not an x86-64"},
        // The catalog: signed, its signature over the member list as it
        // stands, and a member with the digest of the INF and each copied file.
        {"unsigned catalog",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"unsigned.cat"); },
         L"Driver/dfu.cat: not signed"},
        {"member list changed after signing",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"members-changed.cat"); },
         L"Driver/dfu.cat: the member list changed after signing"},
        {"signature that does not verify",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"broken-signature.cat"); },
         L"Driver/dfu.cat: the signature does not verify"},
        {"not a catalog",
         "libusbk",
         {},
         [](DriverPackage& p) { p.Write(L"dfu.cat", "junk"); },
         L"Driver/dfu.cat: not a catalog"},
        {"copied file without a member",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"member-missing.cat"); },
         L"Driver/amd64/libusbK.dll: not in the catalog"},
        {"INF with another digest than its member's",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"wrong-digest.cat"); },
         L"Driver/dfu.inf: its catalog member holds a different SHA256 digest"},
        {"driver with the whole file's digest",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"flat-digest.cat"); },
         L"Driver/amd64/libusbK.sys: its catalog member holds the whole file's digest"},
        {"DLL changed after signing",
         "libusbk",
         {},
         [](DriverPackage& p) { p.PatchImage(L"amd64\\libusbK.dll", TimeStampField, 0x1234); },
         L"Driver/amd64/libusbK.dll: its catalog member holds a different SHA256 digest"},
        {"the catalog of another package",
         "libusbk",
         {},
         [](DriverPackage& p) { p.UseCatalog(L"winusb.cat"); },
         L"Driver/amd64/libusbK.sys: not in the catalog"},
        // The batch file.
        {"batch file names a missing INF",
         "winusb",
         {},
         [](DriverPackage& p) { p.Write(L"infInstall.bat", "pnputil -i -a \"%~dp0x64\\missing.inf\"\r\n"); },
         L"Driver/infInstall.bat: line 1: names x64\\missing.inf, which is not in the folder"},
        {"batch file names INFs by a pattern that matches none",
         "winusb",
         {},
         [](DriverPackage& p) {
             p.Write(L"infInstall.bat", "@echo off\r\npnputil /add-driver x64\\*.inf /install\r\n");
         },
         L"Driver/infInstall.bat: line 2: names x64\\*.inf, which is not in the folder"},
        {"batch file runs a missing dpinst",
         "winusb",
         {},
         [](DriverPackage& p) { p.Write(L"infInstall.bat", "start \"\" /wait \"%~dp0dpinst64.exe\" /sw\r\n"); },
         L"Driver/infInstall.bat: line 1: runs or names dpinst64.exe, which is neither in the folder"},
        {"batch file runs a program Windows lacks",
         "winusb",
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
         "winusb",
         {},
         [](DriverPackage& p) { p.Write(L"infInstall.bat", "@pnputil /add-driver \"%~dp0dfu.inf\" /install\r\n"); },
         L"Driver/infInstall.bat: line 1: pnputil's exit code 3010 (installed, a restart is needed) is not mapped to "
         L"0"},
        {"pnputil's 259 passed on",
         "winusb",
         {},
         [](DriverPackage& p) {
             p.Write(L"infInstall.bat", "pnputil /add-driver dfu.inf /install\r\nif errorlevel 3010 if not errorlevel "
                                        "3011 exit /b 0\r\nexit /b %errorlevel%\r\n");
         },
         L"Driver/infInstall.bat: line 1: pnputil's exit code 259 (nothing to install"},
        {"dpinst's code passed on",
         "winusb",
         {},
         [](DriverPackage& p) {
             p.Copy(L"PROBE_DRIVER_SYS", L"dpinst64.exe");
             p.Write(
                 L"infInstall.bat",
                 "cd /d \"%~dp0\"\r\n\"%~dp0dpinst64.exe\" /sw /q /path \"%~dp0amd64\"\r\nexit /b %ERRORLEVEL%\r\n");
             p.Copy(L"PROBE_DRIVER_SYS", L"amd64\\driver.sys");
         },
         L"Driver/infInstall.bat: line 2: dpinst's exit code is passed on as it is"},
        {"only one revision bound",
         "winusb",
         {{"USB\\VID_0483&PID_DF11", "USB\\VID_0483&PID_DF11&REV_2200"}},
         nullptr,
         L"Driver/dfu.inf: [Devices.NTamd64]: USB\\VID_0483&PID_DF11&REV_2200 binds only that revision"},
        {"a class of its own, never created",
         "libusbk",
         {{"[ClassInstall32]", "[NoClassInstall]"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: class libusbK USB Devices {ECFB0CFD-74C4-4F52-BBF7-343461CD72AC} is not one"},
        {"a class name of its own for Windows' class GUID",
         "winusb",
         {{"Class       = USBDevice", "Class       = %ClassName%"},
          {"[Strings]", "[Strings]\nClassName = \"USB devices\""}},
         nullptr,
         L"Driver/dfu.inf: [Version]: Class USB devices and ClassGuid {88BAE032-5A81-49F0-BC3D-A4FF138216D6}: Windows' "
         L"class of that GUID is USBDevice"},
        {"DriverVer without a version",
         "winusb",
         {{"01/15/2025,2.2.0.0", "01/15/2025"}},
         nullptr,
         L"Driver/dfu.inf: [Version]: DriverVer has no version"},
        {"a build number before 1607",
         "winusb",
         {{"Devices, NTamd64", "Devices, NTamd64, NTamd64.10.0...10586"},
          {"[Install]\n", "[Devices.NTamd64.10.0...10586]\n%Device% = Install, USB\\VID_0483&PID_DF11\n\n[Install]\n"}},
         nullptr,
         L"Driver/dfu.inf: [Manufacturer]: NTamd64.10.0...10586 names a build before 14310"},
        {"an INF that binds something else",
         "winusb",
         {},
         [](DriverPackage& p) {
             std::string inf;
             ASSERT_TRUE(ReadBytes(p.kit + L"\\Driver\\dfu.inf", inf));
             p.Write(L"other.inf", Replaced(inf, "PID_DF11", "PID_5740"));
         },
         L"Driver/other.inf: binds USB\\VID_0483&PID_DF11 on no Windows 10/11 x64 build"},
    };
    for (const Crafted& crafted : warnings) {
        SCOPED_TRACE(crafted.name);
        TearDown();
        SetUp();
        Make(*this, crafted);
        const Checked checked = Check();
        const std::vector<std::wstring> problems = BesidesTheEditedInf(crafted, checked.problems);
        EXPECT_TRUE(problems.empty()) << testing::PrintToString(Lines(problems));
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
    infs.reserve(script.infs.size());
    for (const ScriptName& name : script.infs) {
        infs.push_back(std::to_wstring(name.line) + L" " + name.path);
    }
    std::vector<std::wstring> files;
    files.reserve(script.files.size());
    for (const ScriptName& name : script.files) {
        files.push_back(std::to_wstring(name.line) + L" " + name.path);
    }
    EXPECT_EQ(infs, (std::vector<std::wstring>{L"5 amd64\\dfu.inf", L"8 extra\\*.inf"}));
    EXPECT_EQ(files, (std::vector<std::wstring>{L"9 tools\\setup helper.exe", L"10 dpinst64.exe"}));
    EXPECT_EQ(script.systemTools, (std::vector<std::wstring>{L"pnputil", L"reg", L"find"}));
    // dpinst's code is tested through CODE; pnputil's are not.
    std::vector<std::wstring> warnings;
    warnings.reserve(script.warnings.size());
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
