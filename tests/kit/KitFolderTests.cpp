#include "ByteFields.h"
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
void Put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value)
{
    for (std::size_t index = 0; index < 4; ++index, value >>= 8U) {
        bytes.at(offset + index) = static_cast<std::uint8_t>(value & 0xFFU);
    }
}

// Writes a delay-import directory that takes `function` from `dll` into the
// room the probe tool keeps for it (see KitProbeTool.cpp), and points the
// header's directory entry at it: GNU ld makes no such directory itself.
bool AddDelayImport(std::vector<std::uint8_t>& bytes, const std::string& dll, const std::string& function)
{
    const std::string marker = "KitProbeDelayRoom";
    const auto found = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    const std::size_t room = static_cast<std::size_t>(found - bytes.begin());
    const std::size_t signature = Read32(bytes.data() + 0x3C);
    const std::size_t optional = signature + 24;
    const std::size_t sections = optional + Read16(bytes.data() + signature + 20);
    std::uint32_t rva = 0;
    for (std::size_t index = 0; found != bytes.end() && index < Read16(bytes.data() + signature + 6); ++index) {
        const std::uint8_t* header = bytes.data() + sections + index * 40;
        if (room >= Read32(header + 20) && room - Read32(header + 20) < Read32(header + 16)) {
            rva = Read32(header + 12) + static_cast<std::uint32_t>(room - Read32(header + 20));
        }
    }
    // The descriptor, the zero one that ends the directory, the name table
    // (one entry and its zero end), the hint and name, the DLL's name.
    std::vector<std::uint8_t> table(96, 0);
    const auto nameRva = static_cast<std::uint32_t>(rva + table.size() + 2 + function.size() + 1);
    Put32(table, 0, 1);
    Put32(table, 4, nameRva);
    Put32(table, 8, rva + 508);
    Put32(table, 12, rva + 64);
    Put32(table, 16, rva + 64);
    Put32(table, 64, rva + 96);
    table.insert(table.end(), {0, 0});
    table.insert(table.end(), function.begin(), function.end());
    table.push_back(0);
    table.insert(table.end(), dll.begin(), dll.end());
    table.push_back(0);
    if (rva == 0 || table.size() > 500) {
        return false;
    }
    std::copy(table.begin(), table.end(), bytes.begin() + static_cast<std::ptrdiff_t>(room));
    const std::size_t directory = optional + 112 + std::size_t{13} * 8;
    Put32(bytes, directory, rva);
    Put32(bytes, directory + 4, 64);
    return true;
}

// Overwrites the DLL name `from` that the file imports with the shorter `to`.
bool RenameImport(std::vector<std::uint8_t>& bytes, const std::string& from, const std::string& to)
{
    const std::string name = from + '\0';
    const auto found = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
    if (found == bytes.end() || to.size() > from.size()) {
        return false;
    }
    std::fill(found, found + static_cast<std::ptrdiff_t>(from.size()), 0);
    std::copy(to.begin(), to.end(), found);
    return true;
}

std::vector<std::string> FunctionList(const std::vector<PeImport>& imports)
{
    std::vector<std::string> list;
    for (const PeImport& import : imports) {
        for (const PeImportedFunction& function : import.functions) {
            list.push_back(import.dll + "!" +
                           (function.name.empty() ? "#" + std::to_string(function.ordinal) : function.name));
        }
    }
    return list;
}

// Each import as "dll!function" or "dll!#ordinal", in table order.
std::vector<std::string> ImportList(const PeImage& image)
{
    return FunctionList(image.imports);
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
        ASSERT_NO_FATAL_FAILURE(FillKit());
    }
    void TearDown() override { RemoveTree(kit); }

    // The sound kit's files in the kit folder, whose subfolders may be there.
    void FillKit() const
    {
        for (const wchar_t* folder : {L"\\Driver", L"\\win64", L"\\Firmware"}) {
            ASSERT_TRUE(CreateDirectoryW((kit + folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        }
        Copy(L"TOUCHPAD_UPDATER_EXE", L"TouchpadUpdater.exe");
        Copy(L"DOWNLOAD_TOOL_EXE", L"win64\\dfu-util.exe");
        Copy(L"SAMPLE_FIRMWARE", L"Firmware\\KestruneFirmware.dfu");
        for (const wchar_t* file : {L"infInstall.bat", L"KestruneDfu.inf", L"KestruneDfu.cat"}) {
            Copy(L"SAMPLE_DRIVER_DIR", std::wstring(L"Driver\\") + file, file);
        }
        ASSERT_TRUE(WriteBytes(kit + L"\\Driver\\notes.txt", "abc"));
    }

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
    // The probe tool with all its DLLs, delay-loading `function` from `dll`.
    void UseDelayLoadingTool(const std::string& dll, const std::string& function) const
    {
        UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}, {L"PROBE_LEAF_DLL", L"KitProbeLeaf.dll"}});
        std::vector<std::uint8_t> bytes = Read(L"win64\\dfu-util.exe");
        ASSERT_TRUE(AddDelayImport(bytes, dll, function));
        Write(L"win64\\dfu-util.exe", bytes);
    }
    // The probe tool importing its DLL under another name.
    void RenameToolImport(const std::string& name) const
    {
        std::vector<std::uint8_t> bytes = Read(L"win64\\dfu-util.exe");
        ASSERT_TRUE(RenameImport(bytes, "KitProbeDep.dll", name));
        Write(L"win64\\dfu-util.exe", bytes);
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

std::vector<std::wstring> FilePaths(const KitReport& report)
{
    std::vector<std::wstring> paths;
    paths.reserve(report.files.size());
    for (const KitFile& file : report.files) {
        paths.push_back(file.path);
    }
    return paths;
}

std::vector<std::wstring> SoundKitPaths()
{
    return {L"Driver/KestruneDfu.cat",        L"Driver/KestruneDfu.inf", L"Driver/infInstall.bat", L"Driver/notes.txt",
            L"Firmware/KestruneFirmware.dfu", L"TouchpadUpdater.exe",    L"win64/dfu-util.exe"};
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

    EXPECT_EQ(FilePaths(report), SoundKitPaths());
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

// What the Windows loader accepts: names without an extension, forwarders,
// delay imports, and KnownDLLs or API sets shipped in win64, which it takes
// from Windows instead (and whose imports therefore do not matter).
TEST_F(KitFolder, DownloadToolIsAcceptedAsTheLoaderResolvesIt)
{
    struct Case {
        const char* name;
        std::function<void(KitFolder&)> makeKit;
        std::vector<std::wstring> toolDlls;
        std::vector<std::wstring> overridden;
    };
    const std::vector<std::wstring> both = {L"win64/KitProbeDep.dll", L"win64/KitProbeLeaf.dll"};
    const std::vector<Case> cases = {
        {"no extension: .dll added",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}, {L"PROBE_LEAF_DLL", L"KitProbeLeaf.dll"}});
             k.RenameToolImport("KitProbeDep");
         },
         both,
         {}},
        {"trailing dot: the file without extension",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep"}, {L"PROBE_LEAF_DLL", L"KitProbeLeaf.dll"}});
             k.RenameToolImport("KitProbeDep.");
         },
         {L"win64/KitProbeDep", L"win64/KitProbeLeaf.dll"},
         {}},
        {"forwarded within win64",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"},
                             {L"PROBE_FORWARD_LEAF_DLL", L"KitProbeLeaf.dll"},
                             {L"PROBE_LEAF_DLL", L"KitProbeTarget.dll"}});
         },
         both,
         {}},
        {"forwarded to Windows",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}, {L"PROBE_SYSTEM_LEAF_DLL", L"KitProbeLeaf.dll"}});
         },
         both,
         {}},
        {"delay-loaded from win64",
         [](KitFolder& k) { k.UseDelayLoadingTool("KitProbeLeaf.dll", "KitProbeLeaf"); },
         both,
         {}},
        {"delay-loaded API set of every Windows, a later minor version",
         [](KitFolder& k) { k.UseDelayLoadingTool("API-MS-WIN-core-synch-l1-2-7.dll", "Sleep"); },
         both,
         {}},
        {"KnownDLL in win64 whose own DLL is missing",
         [](KitFolder& k) { k.Copy(L"PROBE_DEP_DLL", L"win64\\kernel32.dll"); },
         {},
         {L"win64/kernel32.dll"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TearDown();
        SetUp();
        test.makeKit(*this);
        const KitReport report = CheckKit(kit);
        EXPECT_TRUE(report.problems.empty()) << Problems(report);
        EXPECT_EQ(report.toolDlls, test.toolDlls);
        EXPECT_EQ(report.overriddenToolDlls, test.overridden);
    }
}

// A link or junction would have the checker list and hash files that do not
// ship with the kit. The build makes a kit folder whose Driver folder holds a
// link to a folder beside it (Wine cannot make one); the test fills in the
// rest of the kit, and removing it leaves the link alone.
TEST_F(KitFolder, RefusesALinkOutOfTheKitWithoutFollowingIt)
{
    TearDown();
    kit = BuiltFile(L"LINKED_KIT");
    ASSERT_FALSE(kit.empty()) << "the environment does not name the linked kit";
    const DWORD attributes = GetFileAttributesW((kit + L"\\Driver\\Linked").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the build made no link";
    ASSERT_NE(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0U) << "Driver\\Linked is not a link";
    ASSERT_TRUE(Exists(kit + L"\\Driver\\Linked\\outside.txt"));
    ASSERT_NO_FATAL_FAILURE(FillKit());

    const KitReport report = CheckKit(kit);
    EXPECT_EQ(report.problems, std::vector<std::wstring>{
                                   L"Driver/Linked: a link or junction, not followed: a kit holds its files itself"});
    EXPECT_EQ(FilePaths(report), SoundKitPaths());
    RemoveTree(kit);
    EXPECT_TRUE(Exists(kit + L"\\Driver\\Linked\\outside.txt")) << "removing the kit went through the link";
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
        {"DLL's function missing",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}, {L"PROBE_BARE_LEAF_DLL", L"KitProbeLeaf.dll"}});
         },
         L"win64/KitProbeDep.dll: imports KitProbeLeaf from KitProbeLeaf.dll, which does not export it: the download "
         L"tool could not start"},
        {"forwarded to a DLL that is nowhere",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}, {L"PROBE_FORWARD_LEAF_DLL", L"KitProbeLeaf.dll"}});
         },
         L"win64/KitProbeDep.dll: imports KitProbeLeaf from KitProbeLeaf.dll, which forwards it to "
         L"KitProbeTarget.KitProbeLeaf, and KitProbeTarget.dll, which is neither in win64 nor a DLL that Windows "
         L"provides"},
        {"forwarded to a DLL without the function",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"},
                             {L"PROBE_FORWARD_LEAF_DLL", L"KitProbeLeaf.dll"},
                             {L"PROBE_BARE_LEAF_DLL", L"KitProbeTarget.dll"}});
         },
         L"win64/KitProbeDep.dll: imports KitProbeLeaf from KitProbeLeaf.dll, which forwards it to "
         L"KitProbeTarget.KitProbeLeaf, and KitProbeTarget.dll does not export KitProbeLeaf"},
        {"delay-loaded DLL missing", [](KitFolder& k) { k.UseDelayLoadingTool("KitProbeLate.dll", "KitProbeLeaf"); },
         L"win64/dfu-util.exe: delay-loads KitProbeLate.dll, which is neither in win64 nor a DLL that Windows "
         L"provides: the download tool would fail at its first call into it"},
        {"delay-loaded function missing",
         [](KitFolder& k) { k.UseDelayLoadingTool("KitProbeLeaf.dll", "KitProbeLater"); },
         L"win64/dfu-util.exe: imports KitProbeLater from KitProbeLeaf.dll, which does not export it: the download "
         L"tool would fail at its first call into it"},
        {"made-up API set", [](KitFolder& k) { k.UseDelayLoadingTool("api-ms-win-core-made-up-l1-1-0.dll", "Made"); },
         L"win64/dfu-util.exe: delay-loads api-ms-win-core-made-up-l1-1-0.dll, an API set that not every Windows 10 "
         L"and 11 x64 resolves"},
        {"API set not on every Windows",
         [](KitFolder& k) { k.UseDelayLoadingTool("ext-ms-win-ntuser-window-l1-1-0.dll", "FindWindowExW"); },
         L"win64/dfu-util.exe: delay-loads ext-ms-win-ntuser-window-l1-1-0.dll, an API set"},
        {"trailing dot names a file without extension",
         [](KitFolder& k) {
             k.UseProbeTool({{L"PROBE_DEP_DLL", L"KitProbeDep.dll"}, {L"PROBE_LEAF_DLL", L"KitProbeLeaf.dll"}});
             k.RenameToolImport("KitProbeDep.");
         },
         L"win64/dfu-util.exe: needs KitProbeDep., which is neither in win64"},
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

TEST(WindowsDlls, ProvidedAreSystemDllsAndApiSetsOfEveryWindows)
{
    for (const char* provided :
         {"KERNEL32.dll", "kernel32", "msvcrt.dll", "SetupAPI.DLL", "cabinet.dll", "msvfw32.dll", "WINSPOOL.DRV",
          "api-ms-win-crt-runtime-l1-1-0.dll", "api-ms-win-core-synch-l1-2-0", "api-ms-win-core-synch-l1-2-9.dll"}) {
        EXPECT_TRUE(IsProvidedByWindows(provided)) << provided;
    }
    for (const char* shipped :
         {"libusb-1.0.dll", "vcruntime140.dll", "msvcp140.dll", "kernel32.", "api-ms-win",
          "api-ms-win-core-synch-l1-3-0.dll", "api-ms-win-made-up-l1-1-0.dll", "EXT-MS-WIN-ntuser-window-l1-1-0.dll"}) {
        EXPECT_FALSE(IsProvidedByWindows(shipped)) << shipped;
    }
    EXPECT_EQ(LoaderFileName("libfoo"), "libfoo.dll");
    EXPECT_EQ(LoaderFileName("libfoo."), "libfoo");
    EXPECT_EQ(LoaderFileName("libusb-1.0"), "libusb-1.0");
    EXPECT_TRUE(IsKnownDll("IMAGEHLP"));
    EXPECT_FALSE(IsKnownDll("version.dll"));
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
    // The import, delay-import and export directories pointing anywhere.
    ASSERT_TRUE(AddDelayImport(program, "KitProbeLate.dll", "KitProbeLeaf"));
    const std::size_t directories = Read32(program.data() + 0x3C) + 24 + 112;
    for (const std::size_t directory : {1U, 13U, 0U}) {
        for (const std::uint32_t rva : {0x7FFFFFF0U, 0xFFFFFFFFU, 0x10U}) {
            std::vector<std::uint8_t> pointed = program;
            Put32(pointed, directories + directory * 8, rva);
            Put32(pointed, directories + directory * 8 + 4, 64);
            EXPECT_FALSE(ReadPeImage(pointed).problem.empty()) << "directory " << directory << " at " << rva;
        }
    }
    // No import directory at all, as a driver has.
    std::vector<std::uint8_t> bare = program;
    Put32(bare, directories + 8, 0);
    const PeImage withoutImports = ReadPeImage(bare);
    EXPECT_EQ(withoutImports.problem, "");
    EXPECT_TRUE(withoutImports.imports.empty());
}

TEST(PeImage, ReadsDelayImportsAndExportsWithForwarders)
{
    std::vector<std::uint8_t> program;
    ASSERT_TRUE(ReadWholeFile(BuiltFile(L"PROBE_TOOL_EXE"), program));
    ASSERT_TRUE(AddDelayImport(program, "KitProbeLate.dll", "KitProbeLeaf"));
    const PeImage tool = ReadPeImage(program);
    ASSERT_EQ(tool.problem, "");
    EXPECT_EQ(FunctionList(tool.delayImports), std::vector<std::string>{"KitProbeLate.dll!KitProbeLeaf"});

    std::vector<std::uint8_t> dll;
    ASSERT_TRUE(ReadWholeFile(BuiltFile(L"PROBE_FORWARD_LEAF_DLL"), dll));
    const PeImage leaf = ReadPeImage(dll);
    ASSERT_EQ(leaf.problem, "");
    const std::string* forwarded = FindExport(leaf.exports, {"KitProbeLeaf", 0});
    ASSERT_NE(forwarded, nullptr);
    EXPECT_EQ(*forwarded, "KitProbeTarget.KitProbeLeaf");
    const std::string* own = FindExport(leaf.exports, {"KitProbeOther", 0});
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(*own, "");
    // Names match with their case; ordinals count from the table's base.
    EXPECT_EQ(FindExport(leaf.exports, {"kitprobeother", 0}), nullptr);
    const std::uint32_t ordinal = leaf.exports.byName.at("KitProbeOther");
    EXPECT_NE(FindExport(leaf.exports, {"", static_cast<std::uint16_t>(ordinal)}), nullptr);
    EXPECT_EQ(FindExport(leaf.exports, {"", 9}), nullptr);
    EXPECT_EQ(FindExport(leaf.exports, {"", 0}), nullptr);
}

} // namespace
