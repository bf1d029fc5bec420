#include "PortScan.h"

#include "ConsoleOutput.h"

void ScanPorts(const PortNameList& ports, UpdateAttempt& attempt)
{
    bool portFound = false;
    for (const std::wstring& name : ports) {
        if (name != TargetPortName) {
            continue;
        }
        portFound = true;
        WriteLine(L"Current COM: " + name);
        if (attempt.Run(name) == AttemptOutcome::StopScan) {
            break;
        }
    }
    attempt.Finish();
    if (!portFound) {
        WriteLine("The correct serial port was not found");
    }
}
