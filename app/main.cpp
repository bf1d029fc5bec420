#include "ConsoleOutput.h"
#include "PortScan.h"
#include "SerialPortList.h"
#include "TouchpadUpdateAttempt.h"

int main()
{
    WriteLine("Please wait");
    PortNameList ports;
    ReadSerialPortNames(ports);
    TouchpadUpdateAttempt attempt;
    ScanPorts(ports, attempt);
    return 0;
}
