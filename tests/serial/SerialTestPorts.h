#pragma once

#include "SimulatedTouchpadLine.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The ports that the SerialPty fixture (pty-pair.sh) maps into the prefix:
// both ends of one pty pair.
inline const std::wstring ProductPort = L"COM5";
inline const std::wstring TouchpadPort = L"COM6";
// No link of this name exists in the prefix.
inline const std::wstring MissingPort = L"COM9";

// A 255-character name that the fixture also links to the product's end: the
// longest for which "\\.\<name>" fits 260 units with its terminator.
inline std::wstring LongProductPort()
{
    return L"COM5" + std::wstring(251, L'x');
}

using Bytes = std::vector<std::uint8_t>;

class Stopwatch {
public:
    [[nodiscard]] long long ElapsedMs() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }

private:
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// How many handles, in all processes, refer to the object behind `handle`; 0
// when the query fails.
unsigned long HandleCountOf(HANDLE handle);

// A second handle to the object behind `handle`, so that a test can watch the
// object after the first handle has been closed.
UniqueKernelHandle DuplicateOf(HANDLE handle);

// Base of the tests on the pty pair: each test starts with nothing in flight
// on either end, and the product's end is given back its line settings and
// emptied afterwards, whatever the test did to it.
class PtyPairTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Reads what is waiting at the product's end through a handle of its own.
    static Bytes ReceiveAtProductEnd(std::size_t count, std::uint32_t timeoutMs);
    // Lets the product's end stop its output when it receives XOFF (0x13) and
    // resume on XON (0x11), as a port with software flow control does.
    static bool EnableXonXoff(HANDLE port);

    SimulatedTouchpadLine touchpad;

private:
    UniqueFileHandle productEnd;
    DCB savedState{};
};
