#pragma once

#include "PortScan.h"
#include "SerialConnection.h"

#include <string>

// The update of the touchpad behind one serial port: restart it into its
// bootloader, wait for the bootloader's driver, install the driver when it
// does not come, and download the firmware.
class TouchpadUpdateAttempt final : public UpdateAttempt {
public:
    AttemptOutcome Run(const std::wstring& portName) override;
    void Finish() override;

private:
    SerialConnection connection;
};
