#include "FileDigest.h"
#include "KitFolder.h"
#include "PeImage.h"
#include "TestFiles.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// A file the build made, named by the test's environment.
std::wstring BuiltFile(const wchar_t* variable)
{
    const wchar_t* value = _wgetenv(variable);
    std::wstring path = value == nullptr ? std::wstring() : std::wstring(value);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// Overwrites little-endian bytes of a PE file at an offset counted from its
// PE signature.
void PatchPe(std::vector<std::uint8_t>& bytes, std::size_t fromSignature, std::uint16_t value)
{
    const std::size_t signature = bytes[0x3C] | (bytes[0x3D] << 8);
    bytes[signature + fromSignature] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[signature + fromSignature + 1] = static_cast<std::uint8_t>(value >> 8);
}
// Each import as "dll!function" or "dll!#ordinal", in table order.
std::vector<std::string> ImportList(const PeImage& image)
{
    std::vector<std::string> list;
    for (const PeImport& import : image.imports) {
        for (const PeImportedFunction& function : import.functions) {
            list.push_back(import.dll + "!" +
                           (function.name.empty() ? "#" + std::to_string(function.ordinal) : function.name));
        }
    }
    return list;
}

constexpr std::size_t MachineField = 4;
constexpr std::size_t SubsystemField = 24 + 68;

// A sound kit of the built product, the download-tool stand-in and the
// sample image, in a folder of its own beside the test program (a name with
// a blank and non-ASCII letters, as users' folders have).
class KitFolder : public testing::Test {
public:
    void SetUp() override
    {
        const std::wstring self = SelfPath();
        kit = self.substr(0, self.find_last_of(L'\\')) + L"\\kit check \u00fc\u65e5 " +
              std::to_wstring(GetCurrentProcessId());
        RemoveTree(kit);
        ASSERT_TRUE(CreateDirectoryW(kit.c_str(), nullptr));
        for (const wchar_t* folder : {L"\\Driver", L"\\win64", L"\\Firmware"}) {
            ASSERT_TRUE(CreateDirectoryW((kit + folder).c_str(), nullptr));
        }
        Copy(L"TOUCHPAD_UPDATER_EXE", L"TouchpadUpdater.exe");
        Copy(L"DOWNLOAD_TOOL_EXE", L"win64\\dfu-util.exe");
        Copy(L"SAMPLE_FIRMWARE", L"Firmware\\KestruneFirmware.dfu");
        for (const wchar_t* file : {L"infInstall.bat", L"KestruneDfu.inf", L"KestruneDfu.cat"}) {
            Copy(L"SAMPLE_DRIVER_DIR", std::wstring(L"Driver\\") + file, file);
        }
        ASSERT_TRUE(WriteBytes(kit + L"\\Driver\\notes.txt", "abc"));
    }
    void TearDown() override { RemoveTree(kit); }

    // The built file the variable names, or the file of that name in the
    // folder it names.
    void Copy(const wchar_t* variable, const std::wstring& to, const std::wstring& name = {}) const
    {
        const std::wstring from = BuiltFile(variable) + (name.empty() ? L"" : L"\\" + name);
        ASSERT_FALSE(from.empty()) << "the environment does not name the built file";
        ASSERT_TRUE(CopyFileW(from.c_str(), (kit + L"\\" + to).c_str(), FALSE)) << "error " << GetLastError();
    }
    [[nodiscard]] std::vector<std::uint8_t> Read(const std::wstring& path) const
    {
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(ReadWholeFile(kit + L"\\" + path, bytes));
        return bytes;
    }
    void Write(const std::wstring& path, const std::vector<std::uint8_t>& bytes) const
    {
        ASSERT_TRUE(WriteBytes(kit + L"\\" + path, std::string(bytes.begin(), bytes.end())));
    }
    void PatchTool(std::size_t field, std::uint16_t value) const
    {
        std::vector<std::uint8_t> bytes = Read(L"win64\\dfu-util.exe");
        PatchPe(bytes, field, value);
        Write(L"win64\\dfu-util.exe", bytes);
    }
    // The probe tool as the download tool, with the DLLs named.
    void UseProbeTool(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> dlls) const
    {
        Copy(L"PROBE_TOOL_EXE", L"win64\\dfu-util.exe");
        for (const auto& [variable, name] : dlls) {
            Copy(variable, std::wstring(L"win64\\") + name);
        }
    }

    std::wstring kit;
};

std::wstring Problems(const KitReport& report)
{
    std::wstring text;
    for (const std::wstring& problem : report.problems) {
        text += problem + L"\n";
    }
    return text;
}

TEST_F(KitFolder, SoundKitIsAcceptedWithWhatAMaintainerSignsOff)
{
    const KitReport report = CheckKit(kit);
    ASSERT_TRUE(report.problems.empty()) << Problems(report);

    ASSERT_EQ(report.firmware.targets.size(), 1U);
    ASSERT_EQ(report.firmware.targets[0].elements.size(), 1U);
    EXPECT_EQ(report.firmware.targets[0].elements[0].address, 0x08000000U);
    EXPECT_EQ(report.firmware.targets[0].elements[0].size, 8192U);
    EXPECT_EQ(report.firmware.suffix.bcdDevice, 0x2200);
    EXPECT_TRUE(report.toolDlls.empty());
    EXPECT_NE(std::find(report.systemDlls.begin(), report.systemDlls.end(), "KERNEL32.dll"), report.systemDlls.end());

    std::vector<std::wstring> paths;
    for (const KitFile& file : report.files) {
        paths.push_back(file.path);
    }
    EXPECT_EQ(paths,
              (std::vector<std::wstring>{L"Driver/KestruneDfu.cat", L"Driver/KestruneDfu.inf", L"Driver/infInstall.bat",
                                         L"Driver/notes.txt", L"Firmware/KestruneFirmware.dfu", L"TouchpadUpdater.exe",
                                         L"win64/dfu-util.exe"}));
    // The notes hold "abc", whose SHA-256 is the standard's own example.
    EXPECT_EQ(report.files[3].size, 3U);
    EXPECT_EQ(report.files[3].sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(report.files[5].size, Read(L"TouchpadUpdater.exe").size());
    // The stand-in driver package: WinUSB for the bootloader, on every build.
    ASSERT_EQ(report.driver.infs.size(), 1U);
    ASSERT_EQ(report.driver.infs[0].installs.size(), 1U);
    EXPECT_EQ(report.driver.infs[0].installs[0].functionDriver, L"WinUSB");
    EXPECT_EQ(report.driver.infs[0].cover.member, L"KestruneDfu.inf");
    EXPECT_TRUE(report.warnings.empty()) << testing::PrintToString(report.warnings);
}

TEST_F(KitFolder, DownloadToolDllsAreFollowedThroughTheFolderWithoutCase)
{
    UseProbeTool({{L"PROBE_DEP_DLL", L"kitprobedep.DLL"}, {L"PROBE_LEAF_DLL", L"KITPROBELEAF.dll"}});
    const KitReport report = CheckKit(kit);
    EXPECT_TRUE(report.problems.empty()) << Problems(report);
    EXPECT_EQ(report.toolDlls, (std::vector<std::wstring>{L"win64/kitprobedep.DLL", L"win64/KITPROBELEAF.dll"}));
}

struct Refusal {
    const char* name;
    std::function<void(KitFolder&)> breakKit;
    std::wstring expected; // a whole problem line starts with this
};

TEST_F(KitFolder, RefusesEveryBrokenPartNamingItsFile)
{
    const std::vector<Refusal> refusals = {
        {"program missing", [](KitFolder& k) { DeleteFileW((k.kit + L"\\TouchpadUpdater.exe").c_str()); },
         L"TouchpadUpdater.exe: missing"},
        {"DLL beside the program", [](KitFolder& k) { k.Write(L"version.DLL", {1}); },
         L"version.DLL: a DLL beside TouchpadUpdater.exe"},
        {"installer missing", [](KitFolder& k) { DeleteFileW((k.kit + L"\\Driver\\infInstall.bat").c_str()); },
         L"Driver/infInstall.bat: missing"},
        {"installer empty", [](KitFolder& k) { k.Write(L"Driver\\infInstall.bat", {}); },
         L"Driver/infInstall.bat: empty"},
        {"download tool missing", [](KitFolder& k) { DeleteFileW((k.kit + L"\\win64\\dfu-util.exe").c_str()); },
         L"win64/dfu-util.exe: missing"},
        {"download tool not a program",
         [](KitFolder& k) {
             k.Write(L"win64\\dfu-util.exe", {'#', '!'});
         },
         L"win64/dfu-util.exe: not a Windows program"},
        {"download tool for 32-bit Windows", [](KitFolder& k) { k.PatchTool(MachineField, 0x014C); },
         L"win64/dfu-util.exe: not an x86-64 (PE32+) console program"},
        {"download tool with a window", [](KitFolder& k) { k.PatchTool(SubsystemField, 2); },
         L"win64/dfu-util.exe: not a console program (subsystem 2)"},
        {"download tool's DLL missing", [](KitFolder& k) { k.UseProbeTool({}); },
         L"win64/dfu-util.exe: needs KitProbeDep.dll, which is neither in win64 nor a DLL that Windows provides"},
        {"DLL's own DLL missing",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}});
         },
         L"win64/KitProbeDep.dll: needs KitProbeLeaf.dll"},
        {"firmware missing", [](KitFolder& k) { DeleteFileW((k.kit + L"\\Firmware\\KestruneFirmware.dfu").c_str()); },
         L"Firmware/KestruneFirmware.dfu: missing"},
        {"firmware damaged",
         [](KitFolder& k) {
             std::vector<std::uint8_t> image = k.Read(L"Firmware\\KestruneFirmware.dfu");
             image[4000] ^= 0x5A;
             k.Write(L"Firmware\\KestruneFirmware.dfu", image);
         },
         L"Firmware/KestruneFirmware.dfu: at byte "},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        TearDown();
        SetUp();
        refusal.breakKit(*this);
        const KitReport report = CheckKit(kit);
        const bool named = std::any_of(report.problems.begin(), report.problems.end(),
                                       [&](const std::wstring& line) { return line.rfind(refusal.expected, 0) == 0; });
        EXPECT_TRUE(named) << "expected a problem starting with: " << testing::PrintToString(refusal.expected)
                           << "\ngot:\n"
                           << testing::PrintToString(Problems(report));
    }
}

TEST_F(KitFolder, ProvidedDllsAreSystemOnesAndApiSets)
{
    for (const char* provided : {"KERNEL32.dll", "msvcrt.dll", "SetupAPI.DLL", "api-ms-win-crt-runtime-l1-1-0.dll",
                                 "EXT-MS-WIN-ntuser-window-l1-1-0.dll"}) {
        EXPECT_TRUE(IsProvidedByWindows(provided)) << provided;
    }
    for (const char* shipped : {"libusb-1.0.dll", "vcruntime140.dll", "msvcp140.dll", "kernel32", "api-ms-win"}) {
        EXPECT_FALSE(IsProvidedByWindows(shipped)) << shipped;
    }
}

// Every prefix of a real program, and the program with its import table
// pointing anywhere, is read without a crash and without a read past its
// end; the cut ones give a problem.
TEST(PeImage, DamagedProgramsGiveAProblemAndNeverAReadPastTheEnd)
{
    std::vector<std::uint8_t> program;
    ASSERT_TRUE(ReadWholeFile(BuiltFile(L"PROBE_TOOL_EXE"), program));
    const PeImage whole = ReadPeImage(program);
    ASSERT_TRUE(whole.problem.empty()) << whole.problem;
    EXPECT_EQ(whole.machine, PeMachineAmd64);
    EXPECT_EQ(whole.subsystem, PeSubsystemConsole);
    const std::vector<std::string> imports = ImportList(whole);
    EXPECT_NE(std::find(imports.begin(), imports.end(), "KitProbeDep.dll!KitProbeDep"), imports.end());

    for (std::size_t length = 0; length < program.size(); length += length < 4096 ? 1 : 509) {
        // Exactly the bytes of the prefix, so that a read past it is one past
        // the allocation.
        const std::vector<std::uint8_t> cut(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(length));
        const PeImage image = ReadPeImage(cut);
        if (image.problem.empty()) {
            // Only a cut after everything the reader needs may pass, and
            // then with the same imports.
            EXPECT_EQ(ImportList(image), imports) << "cut at " << length;
        }
    }
    const std::size_t importEntry = (program[0x3C] | (program[0x3D] << 8)) + 24 + 112 + 8;
    for (const std::uint32_t rva : {0x7FFFFFF0U, 0xFFFFFFFFU, 0x10U}) {
        std::vector<std::uint8_t> pointed = program;
        for (int shift = 0; shift < 4; ++shift) {
            pointed[importEntry + static_cast<std::size_t>(shift)] = static_cast<std::uint8_t>(rva >> (8 * shift));
        }
        EXPECT_FALSE(ReadPeImage(pointed).problem.empty()) << "import directory at " << rva;
    }
}

} // namespace
