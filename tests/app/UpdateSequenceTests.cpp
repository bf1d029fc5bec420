#include "SequenceStandIns.h"
#include "TouchpadUpdateAttempt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Transcript pieces: stand-in events in brackets, the program's own lines as
// they are (captured in text mode, so each line ends in "\n").
const std::string Start = "[open COM3]\n[configure]\n[send]\n";
const std::string Install = "Install driver......\n[installer]\n";
const std::string NoDevice = "No find device\n";
const std::string Download = "[download]\n";

std::string FailedChecks(const std::string& check, int count)
{
    std::string text;
    for (int number = 0; number < count; ++number) {
        text += "[" + check + "]\nCheck device " + std::to_string(number) + "\n[pause 1000]\n";
    }
    return text;
}

std::string FailedWait(const std::string& check)
{
    return FailedChecks(check, 10);
}

std::string SucceedsAfter(const std::string& check, int failures)
{
    return FailedChecks(check, failures) + "[" + check + "]\n";
}

const std::vector<bool> TenFailures(10, false);

std::vector<bool> TrueAfter(int failures)
{
    std::vector<bool> answers(failures, false);
    answers.push_back(true);
    return answers;
}

struct AttemptResult {
    AttemptOutcome outcome;
    std::string transcript;
};

AttemptResult RunAttempt(TouchpadUpdateAttempt& attempt, const SequenceScript& script)
{
    UseScript(script);
    testing::internal::CaptureStdout();
    const AttemptOutcome outcome = attempt.Run(L"COM3");
    return {outcome, testing::internal::GetCapturedStdout()};
}

SequenceScript Script(std::vector<bool> firstChecks, std::vector<bool> secondChecks, DWORD installerExitCode = 0,
                      DWORD downloadExitCode = 0)
{
    SequenceScript script;
    script.firstChecks = std::move(firstChecks);
    script.secondChecks = std::move(secondChecks);
    script.installerExitCode = installerExitCode;
    script.downloadExitCode = downloadExitCode;
    return script;
}

struct PathCase {
    const char* path;
    SequenceScript script;
    std::string transcript;
    AttemptOutcome outcome;
    bool portOpenAfterRun;
};

std::vector<PathCase> PathTable()
{
    SequenceScript openFails;
    openFails.openSucceeds = false;
    SequenceScript configureFails;
    configureFails.configureSucceeds = false;
    SequenceScript sendFails;
    sendFails.sendSucceeds = false;
    const std::string firstFails = Start + FailedWait("first check") + Install;
    return {
        {"open fails", openFails, "[open COM3]\n", AttemptOutcome::StopScan, false},
        {"line settings fail", configureFails, "[open COM3]\n[configure]\n[close]\n", AttemptOutcome::StopScan, false},
        {"command not sent", sendFails, Start, AttemptOutcome::NextPort, true},
        {"both waits succeed, download 0", Script({true}, {true}), Start + "[first check]\n[any check]\n" + Download,
         AttemptOutcome::NextPort, true},
        {"both waits succeed, download 2", Script({true}, {true}, 0, 2),
         Start + "[first check]\n[any check]\n" + Download, AttemptOutcome::StopScan, true},
        {"first wait succeeds after 3 checks, second fails", Script(TrueAfter(3), TenFailures),
         Start + SucceedsAfter("first check", 3) + FailedWait("any check") + NoDevice, AttemptOutcome::NextPort, true},
        {"first wait fails, installer 1", Script(TenFailures, {true}, 1), firstFails, AttemptOutcome::StopScan, true},
        {"installer 0, second wait succeeds, download 0", Script(TenFailures, TrueAfter(2)),
         firstFails + SucceedsAfter("any check", 2) + Download, AttemptOutcome::NextPort, true},
        {"installer 0, second wait succeeds, download 1", Script(TenFailures, {true}, 0, 1),
         firstFails + "[any check]\n" + Download, AttemptOutcome::StopScan, true},
        {"installer 0, second wait fails", Script(TenFailures, TenFailures),
         firstFails + FailedWait("any check") + NoDevice, AttemptOutcome::NextPort, true},
    };
}

TEST(UpdateSequence, EveryPathWritesItsLinesAndGivesItsOutcome)
{
    for (const PathCase& path : PathTable()) {
        SCOPED_TRACE(path.path);
        TouchpadUpdateAttempt attempt;
        const AttemptResult result = RunAttempt(attempt, path.script);
        EXPECT_EQ(result.transcript, path.transcript);
        EXPECT_EQ(result.outcome, path.outcome);
        EXPECT_EQ(Record().portOpen, path.portOpenAfterRun);
        for (const std::wstring& id : Record().checkedIds) {
            EXPECT_EQ(id, L"USB\\VID_0483&PID_DF1");
        }
    }
}

TEST(UpdateSequence, EachWaitMakesAtMostTenChecks)
{
    TouchpadUpdateAttempt attempt;
    RunAttempt(attempt, Script(TenFailures, TenFailures));
    EXPECT_EQ(Record().firstCheckCalls, 10U);
    EXPECT_EQ(Record().secondCheckCalls, 10U);
}

TEST(UpdateSequence, ToolsRunFromTheKitDirectory)
{
    SequenceScript script = Script(TenFailures, {true});
    script.appDirectory = L"C:\\Kit Dir";
    TouchpadUpdateAttempt attempt;
    RunAttempt(attempt, script);
    const std::vector<std::wstring> started = {
        L"C:\\Kit Dir\\Driver\\infInstall.bat",
        L"\"C:\\Kit Dir\\win64\\dfu-util.exe\" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave",
    };
    const std::vector<std::wstring> workingDirectories = {L"C:\\Kit Dir\\Driver", L"C:\\Kit Dir\\win64"};
    EXPECT_EQ(Record().started, started);
    EXPECT_EQ(Record().workingDirectories, workingDirectories);
}

TEST(UpdateSequence, ToolsThatCannotStartCountAsExitCodeZero)
{
    // Were the exit codes of the stand-ins delivered, both runs would stop
    // the scan; a tool that never started must leave the preset 0.
    SequenceScript script = Script(TenFailures, {true}, 1, 1);
    script.installerStarts = false;
    script.downloadStarts = false;
    TouchpadUpdateAttempt attempt;
    const AttemptResult result = RunAttempt(attempt, script);
    EXPECT_EQ(result.transcript, Start + FailedWait("first check") + Install + "[any check]\n" + Download);
    EXPECT_EQ(result.outcome, AttemptOutcome::NextPort);
}

TEST(UpdateSequence, UnknownKitDirectoryRunsNoTool)
{
    SequenceScript script = Script(TenFailures, {true}, 1, 1);
    script.appDirectory.clear();
    TouchpadUpdateAttempt attempt;
    const AttemptResult result = RunAttempt(attempt, script);
    EXPECT_TRUE(Record().started.empty());
    EXPECT_EQ(result.transcript, Start + FailedWait("first check") + "Install driver......\n[any check]\n");
    EXPECT_EQ(result.outcome, AttemptOutcome::NextPort);
}

TEST(UpdateSequence, FinishClosesThePortOnEveryPath)
{
    TouchpadUpdateAttempt attempt;
    SequenceScript sendFails;
    sendFails.sendSucceeds = false;
    RunAttempt(attempt, sendFails);
    ASSERT_TRUE(Record().portOpen);

    testing::internal::CaptureStdout();
    attempt.Finish();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[close]\n");
    EXPECT_FALSE(Record().portOpen);

    TouchpadUpdateAttempt unused;
    testing::internal::CaptureStdout();
    unused.Finish();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[close]\n");
}

TEST(UpdateSequence, EveryRunStartsAfreshWithTheSameConnection)
{
    TouchpadUpdateAttempt attempt;
    RunAttempt(attempt, Script(TenFailures, TenFailures));
    const AttemptResult second = RunAttempt(attempt, Script(TrueAfter(1), {true}));
    EXPECT_EQ(second.transcript, Start + SucceedsAfter("first check", 1) + "[any check]\n" + Download);
    EXPECT_EQ(second.outcome, AttemptOutcome::NextPort);
}

} // namespace
