#include "SequenceStandIns.h"

#include "AppDirectory.h"
#include "BootloaderEntryCommand.h"
#include "ChildProcessRunner.h"
#include "Pause.h"
#include "PresenceChecks.h"
#include "SerialConnection.h"

#include <iostream>

namespace {

SequenceScript currentScript;
SequenceRecord record;

void Event(const std::string& text)
{
    std::cout << '[' << text << ']' << std::endl;
}

bool Answer(const std::vector<bool>& answers, std::size_t& calls)
{
    const std::size_t call = calls++;
    return call < answers.size() && answers[call];
}

} // namespace

void UseScript(const SequenceScript& script)
{
    currentScript = script;
    record = SequenceRecord{};
}

const SequenceRecord& Record()
{
    return record;
}

SerialConnection::~SerialConnection() = default;

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): stands in for a member.
bool SerialConnection::Open(const std::wstring& portName)
{
    Event("open " + std::string(portName.begin(), portName.end()));
    record.portOpen = currentScript.openSucceeds;
    return currentScript.openSucceeds;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): stands in for a member.
bool SerialConnection::ConfigureLine()
{
    Event("configure");
    return currentScript.configureSucceeds;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): stands in for a member.
void SerialConnection::Close()
{
    Event("close");
    record.portOpen = false;
}

bool SendBootloaderEntryCommand(SerialConnection& /*connection*/)
{
    Event("send");
    return currentScript.sendSucceeds;
}

bool FirstMatchingDeviceHasDriver(const std::wstring& hardwareId)
{
    Event("first check");
    record.checkedIds.push_back(hardwareId);
    return Answer(currentScript.firstChecks, record.firstCheckCalls);
}

bool AnyMatchingDeviceHasDriver(const std::wstring& hardwareId)
{
    Event("any check");
    record.checkedIds.push_back(hardwareId);
    return Answer(currentScript.secondChecks, record.secondCheckCalls);
}

void Pause(std::uint32_t milliseconds)
{
    Event("pause " + std::to_string(milliseconds));
}

std::wstring AppDirectory()
{
    return currentScript.appDirectory;
}

namespace {

bool RunTool(bool installer, const std::wstring& started, const std::wstring& workingDirectory, DWORD* exitCode)
{
    record.started.push_back(started);
    record.workingDirectories.push_back(workingDirectory);
    Event(installer ? "installer" : "download");
    if (!(installer ? currentScript.installerStarts : currentScript.downloadStarts)) {
        return false;
    }
    if (exitCode != nullptr) {
        *exitCode = installer ? currentScript.installerExitCode : currentScript.downloadExitCode;
    }
    return true;
}

} // namespace

bool BatchFileRunner(const std::wstring& batchPath, const std::wstring& workingDirectory, DWORD* exitCode)
{
    return RunTool(true, batchPath, workingDirectory, exitCode);
}

bool ChildProcessRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD* exitCode)
{
    return RunTool(false, commandLine, workingDirectory, exitCode);
}
