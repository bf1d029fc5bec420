#include "SerialTestPorts.h"

#include <winternl.h>

namespace {

// Reads a line until it stays quiet for a moment.
void Drain(SimulatedTouchpadLine& line)
{
    for (int round = 0; round < 200 && !line.Receive(65536, 30).empty(); ++round) {
    }
}

void DrainPort(const std::wstring& portName)
{
    SimulatedTouchpadLine line;
    if (line.Open(portName)) {
        Drain(line);
    }
}

} // namespace

unsigned long HandleCountOf(HANDLE handle)
{
    PUBLIC_OBJECT_BASIC_INFORMATION information{};
    ULONG length = 0;
    if (NtQueryObject(handle, ObjectBasicInformation, &information, sizeof(information), &length) != 0) {
        return 0;
    }
    return information.HandleCount;
}

UniqueKernelHandle DuplicateOf(HANDLE handle)
{
    UniqueKernelHandle copy;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), copy.Put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

void PtyPairTest::SetUp()
{
    productEnd.Reset(CreateFileW((L"\\\\.\\" + ProductPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(productEnd.IsValid()) << "the SerialPty fixture maps " << testing::PrintToString(ProductPort);
    savedState.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(productEnd.Get(), &savedState));
    ASSERT_TRUE(touchpad.Open(TouchpadPort));
    Drain(touchpad);
    DrainPort(ProductPort);
}

void PtyPairTest::TearDown()
{
    touchpad.Close();
    if (productEnd.IsValid()) {
        // Clearing XON/XOFF also restarts output that an XOFF stopped.
        SetCommState(productEnd.Get(), &savedState);
        productEnd.Reset();
    }
    DrainPort(TouchpadPort);
    DrainPort(ProductPort);
}

Bytes PtyPairTest::ReceiveAtProductEnd(std::size_t count, std::uint32_t timeoutMs)
{
    SimulatedTouchpadLine line;
    if (!line.Open(ProductPort)) {
        return {};
    }
    return line.Receive(count, timeoutMs);
}

bool PtyPairTest::EnableXonXoff(HANDLE port)
{
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (!GetCommState(port, &state)) {
        return false;
    }
    state.fOutX = TRUE;
    state.XonChar = 0x11;
    state.XoffChar = 0x13;
    return SetCommState(port, &state) != FALSE;
}
