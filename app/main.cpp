#include "ConsoleOutput.h"
#include "DllSearch.h"
#include "PortScan.h"
#include "SerialPortList.h"
#include "TouchpadUpdateAttempt.h"

int main()
{
    // First, before anything can load a DLL by name.
    RestrictDllSearchToSystem32();
    WriteLine("Please wait");
    PortNameList ports;
    ReadSerialPortNames(ports);
    TouchpadUpdateAttempt attempt;
    ScanPorts(ports, attempt);
    return 0;
}
