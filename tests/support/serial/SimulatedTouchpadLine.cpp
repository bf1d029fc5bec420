#include "SimulatedTouchpadLine.h"

SimulatedTouchpadLine::~SimulatedTouchpadLine()
{
    Close();
}

bool SimulatedTouchpadLine::Open(const std::wstring& portName)
{
    Close();
    const std::wstring devicePath = L"\\\\.\\" + portName;
    port.Reset(CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr));
    if (!port.IsValid()) {
        return false;
    }
    // Manual reset: the event stays signalled after a completion, so a late
    // look at it cannot miss one.
    event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsValid()) {
        Close();
        return false;
    }
    return true;
}

std::vector<std::uint8_t> SimulatedTouchpadLine::Receive(std::size_t count, std::uint32_t timeoutMs)
{
    if (!port.IsValid() || count == 0) {
        return {};
    }
    std::vector<std::uint8_t> bytes(count);
    OVERLAPPED record{};
    record.hEvent = event.Get();
    ResetEvent(event.Get());
    DWORD received = 0;
    if (ReadFile(port.Get(), bytes.data(), static_cast<DWORD>(count), nullptr, &record)) {
        GetOverlappedResult(port.Get(), &record, &received, FALSE);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        // With the driver's default time-outs a read waits for all `count`
        // bytes; whatever came before the deadline is kept by the cancel.
        received = FinishTransfer(record, timeoutMs);
    }
    bytes.resize(received);
    return bytes;
}

bool SimulatedTouchpadLine::Send(const std::vector<std::uint8_t>& bytes)
{
    if (!port.IsValid()) {
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    OVERLAPPED record{};
    record.hEvent = event.Get();
    ResetEvent(event.Get());
    const auto length = static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (WriteFile(port.Get(), bytes.data(), length, nullptr, &record)) {
        GetOverlappedResult(port.Get(), &record, &written, FALSE);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        written = FinishTransfer(record, SendTimeoutMs);
    }
    return written == length;
}

void SimulatedTouchpadLine::Close()
{
    if (port.IsValid()) {
        CancelIoEx(port.Get(), nullptr);
    }
    port.Reset();
    event.Reset();
}

DWORD SimulatedTouchpadLine::FinishTransfer(OVERLAPPED& record, std::uint32_t timeoutMs)
{
    if (WaitForSingleObject(record.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(port.Get(), &record);
    }
    // Waits for the end of the transfer, cancelled or not, so that neither the
    // record nor the buffer is left to the system; a cancelled transfer still
    // reports the bytes it moved.
    DWORD transferred = 0;
    GetOverlappedResult(port.Get(), &record, &transferred, TRUE);
    return transferred;
}
