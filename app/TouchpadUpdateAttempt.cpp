#include "TouchpadUpdateAttempt.h"

#include "AppDirectory.h"
#include "BootloaderEntryCommand.h"
#include "ConsoleOutput.h"
#include "Pause.h"
#include "PresenceChecks.h"
#include "ToolInvocations.h"

#include <cstdint>

namespace {

constexpr std::int32_t ChecksPerWait = 10;
constexpr std::uint32_t PauseAfterFailedCheckMs = 1000;

using PresenceCheck = bool (*)(const std::wstring&);

// Polls until the check sees the bootloader with its driver; every failed
// check is reported and followed by a pause, the last one included.
bool WaitForBootloader(PresenceCheck check)
{
    for (std::int32_t checkCounter = 0; checkCounter < ChecksPerWait; ++checkCounter) {
        if (check(BootloaderHardwareId)) {
            return true;
        }
        WriteLine("Check device ", checkCounter);
        Pause(PauseAfterFailedCheckMs);
    }
    return false;
}

// Runs a shipped tool from the kit beside the executable. Without a known
// kit directory nothing is run and exitCode keeps its value, as for a tool
// that cannot be started.
void RunShippedTool(bool (*run)(const std::wstring& appDirectory, DWORD* exitCode), DWORD& exitCode)
{
    const std::wstring appDirectory = AppDirectory();
    if (appDirectory.empty()) {
        return;
    }
    run(appDirectory, &exitCode);
}

} // namespace

AttemptOutcome TouchpadUpdateAttempt::Run(const std::wstring& portName)
{
    if (!connection.Open(portName)) {
        return AttemptOutcome::StopScan;
    }
    if (!connection.ConfigureLine()) {
        connection.Close();
        return AttemptOutcome::StopScan;
    }
    if (!SendBootloaderEntryCommand(connection)) {
        return AttemptOutcome::NextPort;
    }

    // The port stays open from here on, until the next Run or Finish.
    // First match here, any match below: the install is skipped only when the first bootloader found has its driver.
    if (!WaitForBootloader(FirstMatchingDeviceHasDriver)) {
        WriteLine(L"Install driver......");
        // A tool that cannot be started counts as one that ended with 0.
        DWORD installExitCode = 0;
        RunShippedTool(RunDriverInstaller, installExitCode);
        if (installExitCode != 0) {
            return AttemptOutcome::StopScan;
        }
    }
    if (!WaitForBootloader(AnyMatchingDeviceHasDriver)) {
        WriteLine("No find device");
        return AttemptOutcome::NextPort;
    }

    DWORD downloadExitCode = 0;
    RunShippedTool(RunDownloadTool, downloadExitCode);
    return downloadExitCode == 0 ? AttemptOutcome::NextPort : AttemptOutcome::StopScan;
}

void TouchpadUpdateAttempt::Finish()
{
    connection.Close();
}
