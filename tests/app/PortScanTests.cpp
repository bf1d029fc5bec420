#include "ConsoleOutput.h"
#include "PortScan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records what the scan asks of the attempt, with the output written so far
// at each call, and answers Run with scripted outcomes.
class RecordingAttempt final : public UpdateAttempt {
public:
    explicit RecordingAttempt(std::vector<AttemptOutcome> outcomes = {}) : outcomes(std::move(outcomes)) {}

    AttemptOutcome Run(const std::wstring& portName) override
    {
        runNames.push_back(portName);
        const std::size_t call = runNames.size() - 1;
        return call < outcomes.size() ? outcomes[call] : AttemptOutcome::NextPort;
    }
    void Finish() override
    {
        ++finishCalls;
        runsBeforeFinish = runNames.size();
    }

    std::vector<AttemptOutcome> outcomes;
    std::vector<std::wstring> runNames;
    int finishCalls = 0;
    std::size_t runsBeforeFinish = 0;
};

// What the scan writes to standard output (read back in text mode, so each
// line ends in a single line feed; the CR LF bytes are checked on the whole
// executable).
std::string ScanOutput(const PortNameList& ports, UpdateAttempt& attempt)
{
    testing::internal::CaptureStdout();
    ScanPorts(ports, attempt);
    return testing::internal::GetCapturedStdout();
}

const std::string NotFoundLine = "The correct serial port was not found\n";
const std::string CurrentCom3Line = "Current COM: COM3\n";

TEST(PortScan, EmptyListReportsNotFoundAndFinishesOnce)
{
    RecordingAttempt attempt;
    EXPECT_EQ(ScanOutput({}, attempt), NotFoundLine);
    EXPECT_TRUE(attempt.runNames.empty());
    EXPECT_EQ(attempt.finishCalls, 1);
}

TEST(PortScan, NamesThatAreNotExactlyCom3AreDroppedSilently)
{
    const std::vector<PortNameList> lists = {
        {L"COM1", L"COM2", L"COM4"},  {L"com3"}, {L"Com3"}, {L"COM31"}, {L"COM3 "}, {L" COM3"}, {L"COM"}, {L""},
        {std::wstring(L"COM3\0", 5)},
    };
    for (const PortNameList& ports : lists) {
        RecordingAttempt attempt;
        EXPECT_EQ(ScanOutput(ports, attempt), NotFoundLine);
        EXPECT_TRUE(attempt.runNames.empty());
        EXPECT_EQ(attempt.finishCalls, 1);
    }
}

TEST(PortScan, Com3AfterOtherNamesIsAnnouncedAndRun)
{
    RecordingAttempt attempt;
    EXPECT_EQ(ScanOutput({L"COM1", L"com3", L"COM3", L"COM4"}, attempt), CurrentCom3Line);
    EXPECT_EQ(attempt.runNames, std::vector<std::wstring>{L"COM3"});
    EXPECT_EQ(attempt.finishCalls, 1);
    EXPECT_EQ(attempt.runsBeforeFinish, 1U);
}

TEST(PortScan, Com3TwiceRunsTwiceWhileAttemptsGiveNextPort)
{
    RecordingAttempt attempt({AttemptOutcome::NextPort, AttemptOutcome::NextPort});
    EXPECT_EQ(ScanOutput({L"COM3", L"COM1", L"COM3"}, attempt), CurrentCom3Line + CurrentCom3Line);
    EXPECT_EQ(attempt.runNames.size(), 2U);
    EXPECT_EQ(attempt.finishCalls, 1);
    EXPECT_EQ(attempt.runsBeforeFinish, 2U);
}

TEST(PortScan, StopScanLeavesTheWalkAtOnce)
{
    RecordingAttempt attempt({AttemptOutcome::StopScan, AttemptOutcome::NextPort});
    EXPECT_EQ(ScanOutput({L"COM3", L"COM3"}, attempt), CurrentCom3Line);
    EXPECT_EQ(attempt.runNames.size(), 1U);
    EXPECT_EQ(attempt.finishCalls, 1);
}

TEST(ConsoleOutput, LinesOfBothStreamsKeepTheirOrderAndBytes)
{
    testing::internal::CaptureStdout();
    WriteLine("Please wait");
    WriteLine(std::wstring(L"Current COM: ") + L"COM3");
    WriteLine("Check device ", 0);
    WriteLine("Check device ", 9);
    WriteLine(L"Install driver......");
    WriteLine("Check device ", -12);
    WriteLine("No find device");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Please wait\n"
                                                      "Current COM: COM3\n"
                                                      "Check device 0\n"
                                                      "Check device 9\n"
                                                      "Install driver......\n"
                                                      "Check device -12\n"
                                                      "No find device\n");
}

} // namespace
