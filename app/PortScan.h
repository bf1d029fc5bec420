#pragma once

#include "SerialPortList.h"

#include <string>

// The one port name the program serves; compared exactly and case-sensitively.
inline constexpr wchar_t TargetPortName[] = L"COM3";

enum class AttemptOutcome {
    NextPort, // go on with the next name of the list
    StopScan, // leave the walk at once
};

// The per-port work that the scan drives.
class UpdateAttempt {
public:
    UpdateAttempt() = default;
    UpdateAttempt(const UpdateAttempt&) = delete;
    UpdateAttempt& operator=(const UpdateAttempt&) = delete;
    UpdateAttempt(UpdateAttempt&&) = delete;
    UpdateAttempt& operator=(UpdateAttempt&&) = delete;
    virtual ~UpdateAttempt() = default;

    // Opens the named port, runs the whole update and writes its own lines.
    virtual AttemptOutcome Run(const std::wstring& portName) = 0;
    // Releases whatever port the attempt still holds; harmless when none.
    virtual void Finish() = 0;
};

// Walks the list, hands every accepted name to the attempt, finishes the
// attempt and reports when no name was accepted.
void ScanPorts(const PortNameList& ports, UpdateAttempt& attempt);
