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
    // Callers go by the result; nothing reads stopFlag, which only shows whether a write came after Close.
    stopFlag = false;
    OverlappedTransfer& transfer = FreshTransfer(writeTransfer);
    transfer.buffer.assign(data, data + length);
    transfer.record.hEvent = writeEvent.Get();
    DWORD written = 0;
    const BOOL completedAtOnce = WriteFile(portHandle.Get(), transfer.buffer.data(), length, nullptr, &transfer.record);
    // A driver completes a write short when its own time-outs run out: the
    // device got part of the data, which is no success.
    return FinishTransfer(completedAtOnce, writeTransfer, timeoutMs, written) && written == length;
}

bool SerialConnection::Read(std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs)
{
    OverlappedTransfer& transfer = FreshTransfer(readTransfer);
    transfer.buffer.assign(length, 0);
    transfer.record.hEvent = readEvent.Get();
    DWORD received = 0;
    const BOOL completedAtOnce = ReadFile(portHandle.Get(), transfer.buffer.data(), length, nullptr, &transfer.record);
    if (!FinishTransfer(completedAtOnce, readTransfer, timeoutMs, received)) {
        return false;
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

bool SerialConnection::FinishTransfer(BOOL completedAtOnce, std::unique_ptr<OverlappedTransfer>& slot,
                                      std::uint32_t timeoutMs, DWORD& transferred)
{
    if (completedAtOnce) {
        // The count is in the record, nothing is waited for.
        GetOverlappedResult(portHandle.Get(), &slot->record, &transferred, FALSE);
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (!AwaitTransfer(*slot, timeoutMs, transferred)) {
        CancelIoEx(portHandle.Get(), &slot->record);
        cancelledTransfers.push_back(std::move(slot));
        return false;
    }
    return true;
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
