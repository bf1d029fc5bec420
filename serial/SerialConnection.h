#pragma once

#include "UniqueHandle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
    // The record and buffer of one transfer. The system may still write to
    // both until a cancelled transfer has completed, so a transfer that was
    // cancelled leaves its slot behind and the next one takes a fresh slot;
    // slots are freed only with the connection.
    struct Transfer {
        OVERLAPPED record{};
        std::vector<std::uint8_t> buffer;
    };

    static Transfer& FreshTransfer(std::unique_ptr<Transfer>& slot);
    bool AwaitTransfer(Transfer& transfer, std::uint32_t timeoutMs, DWORD& transferred);

    UniqueFileHandle portHandle;
    UniqueKernelHandle readEvent;
    UniqueKernelHandle writeEvent;
    bool stopFlag = false;

    std::unique_ptr<Transfer> readTransfer;
    std::unique_ptr<Transfer> writeTransfer;
    std::vector<std::unique_ptr<Transfer>> cancelledTransfers;
};
