#pragma once

#include "UniqueHandle.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The touchpad's end of a serial line: the peer COM port of a pty pair, opened
// under Wine. Each call finishes its own transfer before it returns, so one
// object serves one thread at a time.
class SimulatedTouchpadLine {
public:
    SimulatedTouchpadLine() = default;
    SimulatedTouchpadLine(const SimulatedTouchpadLine&) = delete;
    SimulatedTouchpadLine& operator=(const SimulatedTouchpadLine&) = delete;
    SimulatedTouchpadLine(SimulatedTouchpadLine&&) = delete;
    SimulatedTouchpadLine& operator=(SimulatedTouchpadLine&&) = delete;
    ~SimulatedTouchpadLine();

    // Opens "\\.\<portName>" (e.g. L"COM8") for overlapped transfers; whatever
    // was open before is closed first.
    bool Open(const std::wstring& portName);
    // Receives up to `count` bytes, waiting at most timeoutMs in total; returns
    // what arrived, in order, possibly nothing.
    std::vector<std::uint8_t> Receive(std::size_t count, std::uint32_t timeoutMs);
    // Writes all bytes; false when the port is closed or the write fails or
    // does not finish within SendTimeoutMs.
    bool Send(const std::vector<std::uint8_t>& bytes);
    void Close();

    [[nodiscard]] bool IsOpen() const { return port.IsValid(); }

    static constexpr std::uint32_t SendTimeoutMs = 5000;

private:
    // Waits for the transfer on `record` until timeoutMs has passed, cancels it
    // if it has not finished by then, and returns the bytes it moved.
    DWORD FinishTransfer(OVERLAPPED& record, std::uint32_t timeoutMs);

    UniqueFileHandle port;
    UniqueKernelHandle event;
};
