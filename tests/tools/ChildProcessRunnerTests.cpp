#include "ChildProcessRunner.h"
#include "ChildRecord.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// A command line that runs a copy of this executable recording its start.
std::wstring RecordingCommandLine(const std::wstring& recordPath)
{
    return Quoted(SelfPath()) + L" --child-record " + Quoted(recordPath);
}

TEST(ChildProcessRunner, HandsBackTheExitCodeOfAChildThatRan)
{
    const struct {
        DWORD childExitCode;
        DWORD preset;
    } cases[] = {{3, 0xdeadbeef}, {0, 0xdeadbeef}, {0x12345678, 0}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.childExitCode);
        DWORD exitCode = testCase.preset;
        EXPECT_TRUE(ChildProcessRunner(Quoted(SelfPath()) + L" --child-exit " + std::to_wstring(testCase.childExitCode),
                                       L"", &exitCode));
        EXPECT_EQ(exitCode, testCase.childExitCode);
    }
}

TEST(ChildProcessRunner, RunsABatchFileNamedFirstOnTheCommandLine)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring batchPath = scratch.Path() + L"\\exit seven.bat";
    ASSERT_TRUE(WriteBytes(batchPath, "@exit /b 7\r\n"));

    DWORD exitCode = 0;
    EXPECT_TRUE(ChildProcessRunner(Quoted(batchPath), L"", &exitCode));
    EXPECT_EQ(exitCode, 7U);
}

TEST(ChildProcessRunner, DoesNotStartAMissingProgramAndKeepsTheExitCode)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    for (const DWORD preset : {DWORD{0}, DWORD{0xdeadbeef}}) {
        SCOPED_TRACE(preset);
        DWORD exitCode = preset;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(
            ChildProcessRunner(Quoted(scratch.Path() + L"\\missing.exe") + L" --child-exit 3", L"", &exitCode));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(exitCode, preset);
    }
}

TEST(ChildProcessRunner, DoesNotStartAnEmptyCommandLine)
{
    DWORD exitCode = 0xdeadbeef;
    EXPECT_FALSE(ChildProcessRunner(L"", L"", &exitCode));
    EXPECT_EQ(exitCode, 0xdeadbeefU);
}

TEST(ChildProcessRunner, DoesNotStartAChildInAMissingWorkingDirectory)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";

    DWORD exitCode = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ChildProcessRunner(RecordingCommandLine(recordPath), scratch.Path() + L"\\missing", &exitCode));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(exitCode, 0xdeadbeefU);
    EXPECT_TRUE(ReadChildRecords(recordPath).empty());
}

TEST(ChildProcessRunner, WithoutWorkingDirectoryTheChildStartsInThisProgramsCurrentDirectory)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring currentDirectory = scratch.Path() + L"\\current dir";
    ASSERT_TRUE(MakeDirectories(currentDirectory));
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";
    const ScopedCurrentDirectory current(currentDirectory);
    ASSERT_TRUE(current.IsValid());
    ASSERT_EQ(CurrentDirectory(), currentDirectory);

    DWORD exitCode = 0;
    EXPECT_TRUE(ChildProcessRunner(RecordingCommandLine(recordPath), L"", &exitCode));
    EXPECT_EQ(exitCode, recordExitCode);
    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].directory, currentDirectory);
}

TEST(ChildProcessRunner, TheChildStartsInTheGivenWorkingDirectory)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring workingDirectory = scratch.Path() + L"\\work dir";
    ASSERT_TRUE(MakeDirectories(workingDirectory));
    ASSERT_NE(CurrentDirectory(), workingDirectory);
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";

    DWORD exitCode = 0;
    EXPECT_TRUE(ChildProcessRunner(RecordingCommandLine(recordPath), workingDirectory, &exitCode));
    EXPECT_EQ(exitCode, recordExitCode);
    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].directory, workingDirectory);
    EXPECT_EQ(records[0].program, SelfPath());
}

TEST(ChildProcessRunner, WithoutExitCodeTheChildStillRunsToItsEnd)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";

    EXPECT_TRUE(ChildProcessRunner(RecordingCommandLine(recordPath), L"", nullptr));
    EXPECT_EQ(ReadChildRecords(recordPath).size(), 1U);
}

// The command line buffer holds 259 units and the terminator. A longer
// command line is not started at all rather than started cut.
TEST(ChildProcessRunner, StartsCommandLinesOfUpTo259UnitsWholeAndNoLongerOnes)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";
    const std::wstring start = RecordingCommandLine(recordPath) + L" ";
    ASSERT_LT(start.size(), 250U);
    const struct {
        std::size_t length;
        bool started;
    } cases[] = {{258, true}, {259, true}, {260, false}, {261, false}, {300, false}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.length);
        const std::wstring commandLine = start + std::wstring(testCase.length - start.size(), L'x');
        ASSERT_EQ(commandLine.size(), testCase.length);
        ASSERT_TRUE(RemoveTree(recordPath));

        DWORD exitCode = 0xdeadbeef;
        EXPECT_EQ(ChildProcessRunner(commandLine, L"", &exitCode), testCase.started);
        const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
        if (testCase.started) {
            EXPECT_EQ(exitCode, recordExitCode);
            ASSERT_EQ(records.size(), 1U);
            EXPECT_EQ(records[0].commandLine, commandLine);
        } else {
            EXPECT_EQ(exitCode, 0xdeadbeefU);
            EXPECT_TRUE(records.empty());
        }
    }
}

TEST(ChildProcessRunner, TakesTheCommandLineUpToItsFirstZero)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring recordPath = scratch.Path() + L"\\record.txt";
    const std::wstring commandLine = RecordingCommandLine(recordPath);

    DWORD exitCode = 0;
    EXPECT_TRUE(ChildProcessRunner(commandLine + L'\0' + std::wstring(300, L'x'), L"", &exitCode));
    EXPECT_EQ(exitCode, recordExitCode);
    const std::vector<ChildRecord> records = ReadChildRecords(recordPath);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].commandLine, commandLine);
}

} // namespace
