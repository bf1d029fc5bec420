#pragma once

#include "UniqueHandle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The record and buffer of one overlapped transfer. The system writes to both
// until the transfer has completed, which for a cancelled one a serial driver
// may do long after the cancel, even after the port has been closed.
struct OverlappedTransfer {
    OVERLAPPED record{};
    std::vector<std::uint8_t> buffer;
};

// Frees a transfer whose record shows it completed. One still pending is left
// alive until the process ends: the system may still write to it.
void ReleaseTransfer(std::unique_ptr<OverlappedTransfer> transfer);

// One serial port opened for overlapped transfers, with one event per
// direction. Every operation returns only when its transfer has completed,
// failed, or run out of time and been cancelled.
class SerialConnection {
public:
    SerialConnection() = default;
    SerialConnection(const SerialConnection&) = delete;
    SerialConnection& operator=(const SerialConnection&) = delete;
    SerialConnection(SerialConnection&&) = delete;
    SerialConnection& operator=(SerialConnection&&) = delete;
    ~SerialConnection();

    // Releases whatever is held, then opens "\\.\<portName>" exclusively.
    bool Open(const std::wstring& portName);
    // 115200 baud, 8 data bits, no parity, one stop bit; every other setting
    // of the driver is kept.
    bool ConfigureLine();
    // True only when all length bytes were written.
    bool Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t timeoutMs);
    // Reads up to length bytes; a transfer that completes short still counts.
    bool Read(std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs);
    void Close();

    [[nodiscard]] bool IsOpen() const { return portHandle.IsValid(); }
    [[nodiscard]] HANDLE PortHandle() const { return portHandle.Get(); }
    [[nodiscard]] HANDLE ReadEvent() const { return readEvent.Get(); }
    [[nodiscard]] HANDLE WriteEvent() const { return writeEvent.Get(); }
    [[nodiscard]] bool StopFlag() const { return stopFlag; }

private:
    static OverlappedTransfer& FreshTransfer(std::unique_ptr<OverlappedTransfer>& slot);
    // After WriteFile or ReadFile on the slot's record: the byte count of a
    // transfer that completed, at once or within timeoutMs. One that does not
    // complete in time is cancelled, and its slot kept for the system to
    // finish with.
    bool FinishTransfer(BOOL completedAtOnce, std::unique_ptr<OverlappedTransfer>& slot, std::uint32_t timeoutMs,
                        DWORD& transferred);
    bool AwaitTransfer(OverlappedTransfer& transfer, std::uint32_t timeoutMs, DWORD& transferred);

    UniqueFileHandle portHandle;
    UniqueKernelHandle readEvent;
    UniqueKernelHandle writeEvent;
    bool stopFlag = false;

    // A cancelled transfer leaves its slot behind and the next one in that
    // direction takes a fresh slot; cancelled ones are released with the
    // connection.
    std::unique_ptr<OverlappedTransfer> readTransfer;
    std::unique_ptr<OverlappedTransfer> writeTransfer;
    std::vector<std::unique_ptr<OverlappedTransfer>> cancelledTransfers;
};
