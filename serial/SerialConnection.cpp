#include "SerialConnection.h"

#include <algorithm>

void ReleaseTransfer(std::unique_ptr<OverlappedTransfer> transfer)
{
    if (transfer && !HasOverlappedIoCompleted(&transfer->record)) {
        // Deliberately never freed.
        static_cast<void>(transfer.release());
    }
}

SerialConnection::~SerialConnection()
{
    Close();
    for (std::unique_ptr<OverlappedTransfer>& transfer : cancelledTransfers) {
        ReleaseTransfer(std::move(transfer));
    }
}

bool SerialConnection::Open(const std::wstring& portName)
{
    const std::wstring devicePath = L"\\\\.\\" + portName;
    Close();
    // A path cut to fit MAX_PATH could name another device: refuse it whole.
    if (devicePath.size() >= MAX_PATH) {
        return false;
    }

    portHandle.Reset(CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!portHandle.IsValid()) {
        return false;
    }
    readEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!readEvent.IsValid()) {
        Close();
        return false;
    }
    writeEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!writeEvent.IsValid()) {
        Close();
        return false;
    }
    return true;
}

bool SerialConnection::ConfigureLine()
{
    if (!portHandle.IsValid()) {
        return false;
    }
    DCB settings{};
    settings.DCBlength = sizeof(DCB);
    if (!GetCommState(portHandle.Get(), &settings)) {
        return false;
    }
    // Only the line format changes; flow control and the special characters
    // stay as the driver reported them.
    settings.DCBlength = sizeof(DCB);
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    return SetCommState(portHandle.Get(), &settings) != FALSE;
}

bool SerialConnection::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t timeoutMs)
{
    stopFlag = false;
    OverlappedTransfer& transfer = FreshTransfer(writeTransfer);
    transfer.buffer.assign(data, data + length);
    transfer.record.hEvent = writeEvent.Get();
    DWORD written = 0;
    if (WriteFile(portHandle.Get(), transfer.buffer.data(), length, nullptr, &transfer.record)) {
        // Completed at once: the count is in the record, nothing is waited for.
        GetOverlappedResult(portHandle.Get(), &transfer.record, &written, FALSE);
    } else {
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (!AwaitTransfer(transfer, timeoutMs, written)) {
            CancelIoEx(portHandle.Get(), &transfer.record);
            cancelledTransfers.push_back(std::move(writeTransfer));
            return false;
        }
    }
    // A driver completes a write short when its own time-outs run out: the
    // device got part of the data, which is no success.
    return written == length;
}

bool SerialConnection::Read(std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs)
{
    OverlappedTransfer& transfer = FreshTransfer(readTransfer);
    transfer.buffer.assign(length, 0);
    transfer.record.hEvent = readEvent.Get();
    DWORD received = 0;
    if (ReadFile(portHandle.Get(), transfer.buffer.data(), length, nullptr, &transfer.record)) {
        // Completed at once: the count is in the record, nothing is waited for.
        GetOverlappedResult(portHandle.Get(), &transfer.record, &received, FALSE);
    } else {
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (!AwaitTransfer(transfer, timeoutMs, received)) {
            CancelIoEx(portHandle.Get(), &transfer.record);
            cancelledTransfers.push_back(std::move(readTransfer));
            return false;
        }
    }
    std::copy_n(transfer.buffer.begin(), std::min<DWORD>(received, length), buffer);
    return true;
}

void SerialConnection::Close()
{
    stopFlag = true;
    // Signal before closing so that nothing can stay blocked on either event.
    if (readEvent.IsValid()) {
        SetEvent(readEvent.Get());
        readEvent.Reset();
    }
    if (writeEvent.IsValid()) {
        SetEvent(writeEvent.Get());
        writeEvent.Reset();
    }
    if (portHandle.IsValid()) {
        CancelIoEx(portHandle.Get(), nullptr);
        portHandle.Reset();
    }
}

OverlappedTransfer& SerialConnection::FreshTransfer(std::unique_ptr<OverlappedTransfer>& slot)
{
    if (!slot) {
        slot = std::make_unique<OverlappedTransfer>();
    }
    slot->record = OVERLAPPED{};
    return *slot;
}

bool SerialConnection::AwaitTransfer(OverlappedTransfer& transfer, std::uint32_t timeoutMs, DWORD& transferred)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD remaining = timeoutMs;
    for (;;) {
        if (WaitForSingleObject(transfer.record.hEvent, remaining) != WAIT_OBJECT_0) {
            return false;
        }
        // A transfer cancelled earlier in this direction shares the event and
        // may signal it when it finally ends; only this record's completion
        // ends the wait.
        if (HasOverlappedIoCompleted(&transfer.record)) {
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        remaining = static_cast<DWORD>(deadline - now);
    }
    // The record has completed, so this returns without blocking.
    return GetOverlappedResult(portHandle.Get(), &transfer.record, &transferred, TRUE) != FALSE;
}
