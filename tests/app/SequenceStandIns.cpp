#include "SequenceStandIns.h"

#include "AppDirectory.h"
#include "BootloaderEntryCommand.h"
#include "ChildProcessRunner.h"
#include "Pause.h"
#include "PresenceChecks.h"
#include "SerialConnection.h"

#include <iostream>

namespace {

SequenceScript script;
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

void UseScript(const SequenceScript& next)
{
    script = next;
    record = SequenceRecord{};
}

const SequenceRecord& Record()
{
    return record;
}

SerialConnection::~SerialConnection() = default;

bool SerialConnection::Open(const std::wstring& portName)
{
    Event("open " + std::string(portName.begin(), portName.end()));
    record.portOpen = script.openSucceeds;
    return script.openSucceeds;
}

bool SerialConnection::ConfigureLine()
{
    Event("configure");
    return script.configureSucceeds;
}

void SerialConnection::Close()
{
    Event("close");
    record.portOpen = false;
}

bool SendBootloaderEntryCommand(SerialConnection&)
{
    Event("send");
    return script.sendSucceeds;
}

bool FirstMatchingDeviceHasDriver(std::wstring hardwareId)
{
    Event("first check");
    record.checkedIds.push_back(hardwareId);
    return Answer(script.firstChecks, record.firstCheckCalls);
}

bool AnyMatchingDeviceHasDriver(std::wstring hardwareId)
{
    Event("any check");
    record.checkedIds.push_back(hardwareId);
    return Answer(script.secondChecks, record.secondCheckCalls);
}

void Pause(std::uint32_t milliseconds)
{
    Event("pause " + std::to_string(milliseconds));
}

std::wstring AppDirectory()
{
    return script.appDirectory;
}

bool ChildProcessRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD* exitCode)
{
    record.commandLines.push_back(commandLine);
    record.workingDirectories.push_back(workingDirectory);
    const bool installer = commandLine.find(L"infInstall.bat") != std::wstring::npos;
    Event(installer ? "installer" : "download");
    if (!(installer ? script.installerStarts : script.downloadStarts)) {
        return false;
    }
    if (exitCode != nullptr) {
        *exitCode = installer ? script.installerExitCode : script.downloadExitCode;
    }
    return true;
}
