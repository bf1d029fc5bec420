#include "ChildProcessRunner.h"
#include "ChildRecord.h"
#include "TestFiles.h"
#include "ToolInvocations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

TEST(ToolInvocationText, NamesEachToolAndItsDirectory)
{
    const struct {
        std::wstring appDirectory;
        std::wstring installerPath;
        std::wstring downloadCommandLine;
        std::wstring downloadDirectory;
    } cases[] = {
        {L"C:\\Kit Dir", L"C:\\Kit Dir\\Driver\\infInstall.bat",
         L"\"C:\\Kit Dir\\win64\\dfu-util.exe\" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave",
         L"C:\\Kit Dir\\win64"},
        {L"C:", L"C:\\Driver\\infInstall.bat",
         L"\"C:\\win64\\dfu-util.exe\" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave", L"C:\\win64"},
        {L"", L"\\Driver\\infInstall.bat", L"\"\\win64\\dfu-util.exe\" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave",
         L"\\win64"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.appDirectory);
        EXPECT_EQ(DriverInstallerPath(testCase.appDirectory), testCase.installerPath);
        const ToolInvocation download = DownloadToolInvocation(testCase.appDirectory);
        EXPECT_EQ(download.commandLine, testCase.downloadCommandLine);
        EXPECT_EQ(download.workingDirectory, testCase.downloadDirectory);
    }
    // The interpreter takes the outer quotes off and keeps the inner ones,
    // which hold the characters it would otherwise act on.
    EXPECT_EQ(InterpreterCommandLine(L"C:\\Windows\\system32\\cmd.exe", L"C:\\Kit & ^ ( ) ; ,\\infInstall.bat"),
              L"\"C:\\Windows\\system32\\cmd.exe\" /d /e:on /v:off /s /c \"\"C:\\Kit & ^ ( ) ; ,\\infInstall.bat\"\"");
}

constexpr char installerExitCode = 5;
constexpr char firmwareImage[] = "KestruneFirmware test image";

std::string Narrow(const std::wstring& asciiText)
{
    return {asciiText.begin(), asciiText.end()};
}

std::wstring Unquoted(std::wstring commandLine)
{
    commandLine.erase(std::remove(commandLine.begin(), commandLine.end(), L'"'), commandLine.end());
    return commandLine;
}

// A shipped kit in a directory with a blank, "C:\Kit Dir": the installer
// batch file writes its current directory to a marker beside it; the download
// tool is a copy of this executable that records its start. "C:\Kit.exe" is
// planted where an unquoted path to the kit would lead the system. Every
// program copy records its start, so a record names whichever ran.
class ToolInvocationRun : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.IsValid());
        ASSERT_TRUE(MakeDirectories(kit + L"\\Driver"));
        ASSERT_TRUE(MakeDirectories(kit + L"\\win64"));
        ASSERT_TRUE(MakeDirectories(kit + L"\\Firmware"));
        ASSERT_TRUE(WriteBytes(kit + L"\\Driver\\infInstall.bat", "@echo off\r\ncd>installer-ran.txt\r\nexit /b " +
                                                                      std::to_string(installerExitCode) + "\r\n"));
        ASSERT_TRUE(CopySelfTo(kit + L"\\win64\\dfu-util.exe"));
        ASSERT_TRUE(WriteBytes(kit + L"\\Firmware\\KestruneFirmware.dfu", firmwareImage));
        ASSERT_TRUE(CopySelfTo(plantedProgram));
    }

    // The installer's marker text: its current directory, or empty when it
    // did not run.
    [[nodiscard]] std::string InstallerMarker() const
    {
        std::string text;
        return ReadBytes(kit + L"\\Driver\\installer-ran.txt", text) ? text : std::string();
    }

    const std::wstring drive = SystemDrive();
    const std::wstring kit = drive + L"\\Kit Dir";
    const std::wstring plantedProgram = drive + L"\\Kit.exe";
    const ScopedRemoval kitRemoval{kit};
    const ScopedRemoval plantedRemoval{plantedProgram};
    const ScratchDirectory scratch;
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";
    const ScopedEnvironmentVariable recordSetting{recordVariable, recordPath,
                                                  ScopedEnvironmentVariable::Scope::Machine};
};

// The user's ComSpec names the planted program: the installer still runs in
// the system's own interpreter.
TEST_F(ToolInvocationRun, DriverInstallerRunsInItsDirectoryInTheSystemInterpreterAndHandsBackItsExitCode)
{
    const ScopedEnvironmentVariable comSpec{L"ComSpec", plantedProgram};
    DWORD exitCode = 0;
    EXPECT_TRUE(RunDriverInstaller(kit, &exitCode));
    EXPECT_EQ(exitCode, static_cast<DWORD>(installerExitCode));
    EXPECT_EQ(InstallerMarker(), Narrow(kit) + "\\Driver\r\n");
    EXPECT_TRUE(ReadChildRecords(recordPath).empty()) << "a program ran instead of or besides the batch file";
}

// Neither a missing installer nor a folder in its place starts anything:
// the interpreter would end with an error code of its own.
TEST_F(ToolInvocationRun, MissingDriverInstallerStartsNothing)
{
    const std::wstring installer = DriverInstallerPath(kit);
    ASSERT_TRUE(RemoveTree(installer));
    DWORD exitCode = 0xdeadbeef;
    EXPECT_FALSE(RunDriverInstaller(kit, &exitCode));
    EXPECT_EQ(exitCode, 0xdeadbeefU);

    ASSERT_TRUE(MakeDirectories(installer));
    EXPECT_FALSE(RunDriverInstaller(kit, &exitCode));
    EXPECT_EQ(exitCode, 0xdeadbeefU);
}

// Only the batch file's own quoted path counts against the 259 units; the
// interpreter's part of the command line does not.
TEST_F(ToolInvocationRun, DriverInstallerStartsWithAQuotedPathOfUpTo259Units)
{
    const std::wstring folder = PathOfLength(scratch.Path() + L"\\kit & ^ ( ) ; ,", 242);
    ASSERT_TRUE(MakeDirectories(folder));
    for (const std::size_t length : {257U, 258U}) {
        SCOPED_TRACE(length);
        const std::wstring batchPath = folder + L"\\" + std::wstring(length - folder.size() - 5, L'i') + L".bat";
        ASSERT_EQ(batchPath.size(), length);
        ASSERT_TRUE(WriteBytes(batchPath, "@exit /b 6\r\n"));

        DWORD exitCode = 0xdeadbeef;
        EXPECT_EQ(BatchFileRunner(batchPath, folder, &exitCode), length == 257);
        EXPECT_EQ(exitCode, length == 257 ? 6U : 0xdeadbeefU);
    }
}

// The interpreter expands %NAME% in its command line even between quotes,
// and !NAME! with delayed expansion on: the batch file planted where an
// expansion leads must never run. A path with a % is not started at all, as
// a missing installer.
TEST_F(ToolInvocationRun, DriverInstallerStartsOnlyFromAPathTheInterpreterTakesAsItStands)
{
    wchar_t architecture[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"PROCESSOR_ARCHITECTURE", architecture, MAX_PATH), 0U);
    const std::wstring planted = scratch.Path() + L"\\Kit " + architecture;
    ASSERT_TRUE(MakeDirectories(planted + L"\\Driver"));
    ASSERT_TRUE(WriteBytes(DriverInstallerPath(planted), "@exit /b 4\r\n"));
    const struct {
        const wchar_t* folder;
        bool started;
    } cases[] = {
        {L"\\Kit !PROCESSOR_ARCHITECTURE!", true}, {L"\\Kit %PROCESSOR_ARCHITECTURE%", false}, {L"\\Kit 100%", false}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.folder);
        const std::wstring folder = scratch.Path() + testCase.folder;
        ASSERT_TRUE(MakeDirectories(folder + L"\\Driver"));
        ASSERT_TRUE(WriteBytes(DriverInstallerPath(folder), "@exit /b 5\r\n"));

        DWORD exitCode = 0xdeadbeef;
        EXPECT_EQ(RunDriverInstaller(folder, &exitCode), testCase.started);
        EXPECT_EQ(exitCode, testCase.started ? 5U : 0xdeadbeefU);
    }
}

TEST_F(ToolInvocationRun, DownloadToolGetsItsArgumentsAndFindsTheImageFromItsDirectory)
{
    DWORD exitCode = 0;
    EXPECT_TRUE(RunDownloadTool(kit, &exitCode));
    EXPECT_EQ(exitCode, recordExitCode);

    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].program, kit + L"\\win64\\dfu-util.exe");
    EXPECT_EQ(records[0].directory, kit + L"\\win64");
    EXPECT_EQ(records[0].arguments,
              (std::vector<std::wstring>{L"-D", L"..\\Firmware\\KestruneFirmware.dfu", L"-s", L":leave"}));
    ASSERT_EQ(records[0].argumentFiles.size(), 4U);
    EXPECT_EQ(records[0].argumentFiles[1], L"KestruneFirmware test image");
}

// Proves that the tests above would catch a lost quote: unquoted, both
// command lines run the planted program.
TEST_F(ToolInvocationRun, UnquotedProgramPathsWouldRunThePlantedProgram)
{
    std::array<wchar_t, MAX_PATH> systemDirectory{};
    ASSERT_GT(GetSystemDirectoryW(systemDirectory.data(), MAX_PATH), 0U);
    const std::wstring interpreter = std::wstring(systemDirectory.data()) + L"\\cmd.exe";
    for (const std::wstring& commandLine :
         {InterpreterCommandLine(interpreter, DriverInstallerPath(kit)), DownloadToolInvocation(kit).commandLine}) {
        SCOPED_TRACE(commandLine);
        DWORD exitCode = 0;
        EXPECT_TRUE(ChildProcessRunner(Unquoted(commandLine), kit, &exitCode));
        EXPECT_EQ(exitCode, recordExitCode);
    }
    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].program, plantedProgram);
    EXPECT_EQ(records[1].program, plantedProgram);
    EXPECT_EQ(InstallerMarker(), "");
}

// The way the update runs the tools: a program in the kit composes both
// invocations from its own AppDirectory.
TEST_F(ToolInvocationRun, AProgramInTheKitRunsTheKitsToolsFromItsAppDirectory)
{
    const std::wstring updater = kit + L"\\Updater.exe";
    ASSERT_TRUE(CopySelfTo(updater));

    DWORD exitCode = 0;
    EXPECT_TRUE(ChildProcessRunner(L"\"" + updater + L"\" --child-run-driver-installer", L"", &exitCode));
    EXPECT_EQ(exitCode, static_cast<DWORD>(installerExitCode));
    EXPECT_EQ(InstallerMarker(), Narrow(kit) + "\\Driver\r\n");

    exitCode = 0;
    EXPECT_TRUE(ChildProcessRunner(L"\"" + updater + L"\" --child-run-download-tool", L"", &exitCode));
    EXPECT_EQ(exitCode, recordExitCode);
    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].program, kit + L"\\win64\\dfu-util.exe");
    EXPECT_EQ(records[0].directory, kit + L"\\win64");
    EXPECT_EQ(records[0].arguments.size(), 4U);
}

// In a kit whose directory is so long that the download tool's arguments
// would not fit the command line, the tool must not run with a cut argument
// list, although its own path fits.
TEST_F(ToolInvocationRun, DownloadToolIsNotStartedWithCutArguments)
{
    const std::wstring longKit = PathOfLength(scratch.Path() + L"\\long kit", 200);
    ASSERT_TRUE(MakeDirectories(longKit + L"\\win64"));
    ASSERT_TRUE(MakeDirectories(longKit + L"\\Firmware"));
    ASSERT_TRUE(CopySelfTo(longKit + L"\\win64\\dfu-util.exe"));
    ASSERT_TRUE(WriteBytes(longKit + L"\\Firmware\\KestruneFirmware.dfu", firmwareImage));
    const ToolInvocation download = DownloadToolInvocation(longKit);
    ASSERT_GT(download.commandLine.size(), 259U);
    ASSERT_LT(download.commandLine.find(L" -D "), 259U);

    DWORD exitCode = 0xdeadbeef;
    EXPECT_FALSE(ChildProcessRunner(download.commandLine, download.workingDirectory, &exitCode));
    EXPECT_EQ(exitCode, 0xdeadbeefU);
    EXPECT_TRUE(ReadChildRecords(recordPath).empty());

    // What a runner that cut the command line would have started.
    EXPECT_TRUE(ChildProcessRunner(download.commandLine.substr(0, 259), download.workingDirectory, &exitCode));
    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].program, longKit + L"\\win64\\dfu-util.exe");
    EXPECT_NE(records[0].arguments.back(), L":leave");
}

} // namespace
