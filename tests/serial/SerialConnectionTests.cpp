#include "SerialConnection.h"
#include "SerialTestPorts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <thread>

namespace {

// The blocks one test watches, and whether each was freed.
std::array<std::atomic<const void*>, 2> watchedBlocks{};
std::array<std::atomic<bool>, 2> watchedBlockFreed{};

void NoteFreed(const void* block)
{
    for (std::size_t index = 0; index < watchedBlocks.size(); ++index) {
        if (watchedBlocks[index].load() == block) {
            watchedBlockFreed[index] = true;
        }
    }
}

} // namespace

// This program's own global operator new and delete, on the process heap,
// so that the blocks a test watches are seen when they are freed.
void* operator new(std::size_t size)
{
    void* block = HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void* block) noexcept
{
    if (block != nullptr) {
        NoteFreed(block);
        HeapFree(GetProcessHeap(), 0, block);
    }
}

void operator delete(void* block, std::size_t /*size*/) noexcept
{
    operator delete(block);
}

namespace {

// STATUS_CANCELLED, as the system leaves it in a cancelled transfer's record.
constexpr ULONG_PTR StatusCancelled = 0xC0000120;

// The handles a connection holds, to be watched after it has let them go.
struct HeldHandles {
    explicit HeldHandles(const SerialConnection& connection)
        : port(DuplicateOf(connection.PortHandle())), readEvent(DuplicateOf(connection.ReadEvent())),
          writeEvent(DuplicateOf(connection.WriteEvent()))
    {
    }
    // Whether the connection's own handles are gone, so that only these copies
    // still refer to the objects.
    void ExpectReleased() const
    {
        EXPECT_EQ(HandleCountOf(port.Get()), 1UL);
        EXPECT_EQ(HandleCountOf(readEvent.Get()), 1UL);
        EXPECT_EQ(HandleCountOf(writeEvent.Get()), 1UL);
    }
    void ExpectHeld() const
    {
        EXPECT_EQ(HandleCountOf(port.Get()), 2UL);
        EXPECT_EQ(HandleCountOf(readEvent.Get()), 2UL);
        EXPECT_EQ(HandleCountOf(writeEvent.Get()), 2UL);
    }
    UniqueKernelHandle port;
    UniqueKernelHandle readEvent;
    UniqueKernelHandle writeEvent;
};

void ExpectClosed(const SerialConnection& connection)
{
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_EQ(connection.PortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(connection.ReadEvent(), nullptr);
    EXPECT_EQ(connection.WriteEvent(), nullptr);
}

void ExpectSameExceptLineFormat(const DCB& before, const DCB& after)
{
    EXPECT_EQ(after.fBinary, before.fBinary);
    EXPECT_EQ(after.fParity, before.fParity);
    EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow);
    EXPECT_EQ(after.fOutxDsrFlow, before.fOutxDsrFlow);
    EXPECT_EQ(after.fDtrControl, before.fDtrControl);
    EXPECT_EQ(after.fDsrSensitivity, before.fDsrSensitivity);
    EXPECT_EQ(after.fTXContinueOnXoff, before.fTXContinueOnXoff);
    EXPECT_EQ(after.fOutX, before.fOutX);
    EXPECT_EQ(after.fInX, before.fInX);
    EXPECT_EQ(after.fErrorChar, before.fErrorChar);
    EXPECT_EQ(after.fNull, before.fNull);
    EXPECT_EQ(after.fRtsControl, before.fRtsControl);
    EXPECT_EQ(after.fAbortOnError, before.fAbortOnError);
    EXPECT_EQ(after.fDummy2, before.fDummy2);
    EXPECT_EQ(after.wReserved, before.wReserved);
    EXPECT_EQ(after.XonLim, before.XonLim);
    EXPECT_EQ(after.XoffLim, before.XoffLim);
    EXPECT_EQ(after.XonChar, before.XonChar);
    EXPECT_EQ(after.XoffChar, before.XoffChar);
    EXPECT_EQ(after.ErrorChar, before.ErrorChar);
    EXPECT_EQ(after.EofChar, before.EofChar);
    EXPECT_EQ(after.EvtChar, before.EvtChar);
    EXPECT_EQ(after.wReserved1, before.wReserved1);
}

DCB CommState(HANDLE port)
{
    DCB state{};
    state.DCBlength = sizeof(DCB);
    EXPECT_TRUE(GetCommState(port, &state));
    return state;
}

using SerialConnectionLifecycle = PtyPairTest;
using SerialConnectionLine = PtyPairTest;
using SerialConnectionTransfer = PtyPairTest;

TEST_F(SerialConnectionLifecycle, ConstructionLeavesItClosedWithStopFlagClear)
{
    SerialConnection connection;
    ExpectClosed(connection);
    EXPECT_FALSE(connection.StopFlag());
}

TEST_F(SerialConnectionLifecycle, CloseOnNeverOpenedConnectionOnlySetsStopFlagAndRepeats)
{
    SerialConnection connection;
    connection.Close();
    ExpectClosed(connection);
    EXPECT_TRUE(connection.StopFlag());
    connection.Close();
    ExpectClosed(connection);
    EXPECT_TRUE(connection.StopFlag());
}

TEST_F(SerialConnectionLifecycle, OpenGivesTheSerialPortAndTwoUnsignalledAutoResetEvents)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_TRUE(connection.StopFlag());
    DCB state{};
    state.DCBlength = sizeof(DCB);
    EXPECT_TRUE(GetCommState(connection.PortHandle(), &state)) << "the handle is a serial port";

    ASSERT_NE(connection.ReadEvent(), nullptr);
    ASSERT_NE(connection.WriteEvent(), nullptr);
    EXPECT_NE(connection.ReadEvent(), connection.WriteEvent());
    for (HANDLE event : {connection.ReadEvent(), connection.WriteEvent()}) {
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "starts unsignalled";
        ASSERT_TRUE(SetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "a satisfied wait resets it";
    }
}

TEST_F(SerialConnectionLifecycle, CloseReleasesEverythingAndRepeats)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    const HeldHandles held(connection);
    held.ExpectHeld();
    connection.Close();
    ExpectClosed(connection);
    EXPECT_TRUE(connection.StopFlag());
    held.ExpectReleased();
    EXPECT_EQ(WaitForSingleObject(held.readEvent.Get(), 0), WAIT_OBJECT_0) << "signalled before it was closed";
    EXPECT_EQ(WaitForSingleObject(held.writeEvent.Get(), 0), WAIT_OBJECT_0) << "signalled before it was closed";
    connection.Close();
    ExpectClosed(connection);
    EXPECT_TRUE(connection.StopFlag());
}

TEST_F(SerialConnectionLifecycle, DestructionReleasesThePort)
{
    auto connection = std::make_unique<SerialConnection>();
    ASSERT_TRUE(connection->Open(ProductPort));
    const HeldHandles held(*connection);
    held.ExpectHeld();
    connection.reset();
    held.ExpectReleased();
}

TEST_F(SerialConnectionLifecycle, OpenOfMissingPortFailsAndLeavesItClosed)
{
    for (const bool openBefore : {false, true}) {
        SCOPED_TRACE(openBefore ? "connection open before" : "fresh connection");
        SerialConnection connection;
        std::unique_ptr<HeldHandles> held;
        if (openBefore) {
            ASSERT_TRUE(connection.Open(ProductPort));
            held = std::make_unique<HeldHandles>(connection);
        }
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(connection.Open(MissingPort));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the port itself was looked for";
        ExpectClosed(connection);
        EXPECT_TRUE(connection.StopFlag());
        if (held) {
            held->ExpectReleased();
        }
    }
}

TEST_F(SerialConnectionLifecycle, OpenOnOpenConnectionCancelsAndReleasesTheOldPortFirst)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    const HeldHandles held(connection);
    const HANDLE oldHandles[] = {connection.PortHandle(), connection.ReadEvent(), connection.WriteEvent()};

    // A read outstanding on the old port, with a record and buffer of the
    // test's own that stay valid after the port has been closed.
    UniqueKernelHandle readDone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED record{};
    record.hEvent = readDone.Get();
    std::array<std::uint8_t, 4> buffer{};
    ASSERT_FALSE(ReadFile(connection.PortHandle(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    ASSERT_TRUE(connection.Open(TouchpadPort));
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_TRUE(connection.StopFlag());
    ASSERT_EQ(WaitForSingleObject(readDone.Get(), 1000), WAIT_OBJECT_0) << "the old port's read was ended";
    EXPECT_EQ(record.Internal, StatusCancelled);
    held.ExpectReleased();
    // Handle values are reused at once; those that were not must be dead.
    const HANDLE newHandles[] = {connection.PortHandle(), connection.ReadEvent(), connection.WriteEvent()};
    for (HANDLE old : oldHandles) {
        if (std::find(std::begin(newHandles), std::end(newHandles), old) == std::end(newHandles)) {
            DWORD flags = 0;
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(GetHandleInformation(old, &flags));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        }
    }

    // The connection now talks through the touchpad's end.
    const Bytes bytes = {0x31, 0x32, 0x33};
    ASSERT_TRUE(connection.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 1000));
    EXPECT_EQ(ReceiveAtProductEnd(16, 300), bytes);
}

TEST_F(SerialConnectionLifecycle, DevicePathThatDoesNotFitIsRefusedNotCut)
{
    // With 255 characters the path just fits and the fixture's link opens.
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(LongProductPort()));
    EXPECT_TRUE(connection.IsOpen());
    const HeldHandles held(connection);

    // Cut to fit, these would all name the 255-character port above.
    for (const std::size_t extra : {1U, 2U, 45U}) {
        const std::wstring name = LongProductPort() + std::wstring(extra, L'x');
        SCOPED_TRACE(testing::Message() << "name of " << name.size() << " characters");
        EXPECT_FALSE(connection.Open(name));
        ExpectClosed(connection);
        EXPECT_TRUE(connection.StopFlag());
    }
    held.ExpectReleased();
}

TEST_F(SerialConnectionLine, ConfigureLineOnClosedConnectionFails)
{
    SerialConnection connection;
    EXPECT_FALSE(connection.ConfigureLine());
    ASSERT_TRUE(connection.Open(ProductPort));
    connection.Close();
    EXPECT_FALSE(connection.ConfigureLine());
    ExpectClosed(connection);
}

TEST_F(SerialConnectionLine, ConfigureLineOnDeviceThatIsNoSerialPortFailsAndKeepsItOpen)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(L"NUL"));
    EXPECT_FALSE(connection.ConfigureLine());
    EXPECT_TRUE(connection.IsOpen());
}

TEST_F(SerialConnectionLine, ConfigureLineSetsOnly115200Baud8N1)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    // Start from another line format, with flow control and special
    // characters that are not the defaults, so that losing any shows.
    DCB start = CommState(connection.PortHandle());
    start.BaudRate = CBR_9600;
    start.ByteSize = 7;
    start.Parity = EVENPARITY;
    start.StopBits = TWOSTOPBITS;
    start.fOutX = TRUE;
    start.fInX = TRUE;
    start.XonChar = 0x21;
    start.XoffChar = 0x23;
    start.EofChar = 0x1A;
    ASSERT_TRUE(SetCommState(connection.PortHandle(), &start));
    const DCB before = CommState(connection.PortHandle());
    // A pty always runs 8 bits without parity; speed, stop bits and the rest
    // do change.
    ASSERT_EQ(before.BaudRate, static_cast<DWORD>(CBR_9600));
    ASSERT_EQ(before.StopBits, TWOSTOPBITS);
    ASSERT_TRUE(before.fOutX && before.fInX);
    ASSERT_EQ(before.XonChar, 0x21);
    ASSERT_EQ(before.EofChar, 0x1A);

    ASSERT_TRUE(connection.ConfigureLine());
    const DCB after = CommState(connection.PortHandle());
    EXPECT_EQ(after.DCBlength, sizeof(DCB));
    EXPECT_EQ(after.BaudRate, static_cast<DWORD>(CBR_115200));
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.Parity, NOPARITY);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
    ExpectSameExceptLineFormat(before, after);
    EXPECT_TRUE(connection.IsOpen());
}

TEST_F(SerialConnectionTransfer, OperationsOnClosedConnectionFail)
{
    SerialConnection connection;
    connection.Close();
    ASSERT_TRUE(connection.StopFlag());
    const std::uint8_t byte = 0x55;
    EXPECT_FALSE(connection.Write(&byte, 1, 100));
    EXPECT_FALSE(connection.StopFlag()) << "Write clears it before it starts";
    std::uint8_t buffer = 0;
    EXPECT_FALSE(connection.Read(&buffer, 1, 100));
    EXPECT_FALSE(connection.StopFlag()) << "Read leaves it alone";
    EXPECT_TRUE(touchpad.Receive(1, 100).empty());
}

TEST_F(SerialConnectionTransfer, WriteThatCompletesAtOnceReturnsTrueWithoutWaiting)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    ASSERT_TRUE(connection.ConfigureLine());
    ASSERT_TRUE(connection.StopFlag());
    const Bytes bytes = {0x00, 0xFF, 0x0D, 0x0A, 0x13};
    const Stopwatch stopwatch;
    EXPECT_TRUE(connection.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 1000));
    EXPECT_LT(stopwatch.ElapsedMs(), 200);
    EXPECT_FALSE(connection.StopFlag());
    EXPECT_EQ(touchpad.Receive(64, 300), bytes);
}

TEST_F(SerialConnectionTransfer, ReadGetsBytesThatAreWaiting)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    ASSERT_TRUE(connection.ConfigureLine());
    const Bytes bytes = {0x00, 0x01, 0xFE, 0xFF, 0x11};
    ASSERT_TRUE(touchpad.Send(bytes));
    Sleep(50);
    Bytes buffer(bytes.size(), 0xCC);
    EXPECT_TRUE(connection.Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), 1000));
    EXPECT_EQ(buffer, bytes);
    EXPECT_TRUE(connection.StopFlag()) << "Read leaves it alone";
}

TEST_F(SerialConnectionTransfer, PendingReadIsCancelledAfterTimeOutAndConnectionStaysUsable)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    ASSERT_TRUE(connection.ConfigureLine());
    // Twice, so that the second cancelled read is not the first transfer.
    for (int round = 0; round < 2; ++round) {
        Bytes buffer(5, 0xCC);
        const Stopwatch stopwatch;
        EXPECT_FALSE(connection.Read(buffer.data(), 5, 300));
        EXPECT_GE(stopwatch.ElapsedMs(), 280);
        EXPECT_LT(stopwatch.ElapsedMs(), 700);
        EXPECT_EQ(buffer, Bytes(5, 0xCC)) << "nothing is copied from a failed read";
        EXPECT_TRUE(connection.IsOpen());
    }

    // Bytes sent after the cancel reach the next read, which waits for them
    // even though the cancelled reads have signalled the same event.
    const Bytes bytes = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
    std::thread touchpadSide([&] {
        Sleep(200);
        touchpad.Send(bytes);
    });
    Bytes buffer(5, 0xCC);
    const Stopwatch stopwatch;
    EXPECT_TRUE(connection.Read(buffer.data(), 5, 1000));
    const long long elapsed = stopwatch.ElapsedMs();
    touchpadSide.join();
    EXPECT_EQ(buffer, bytes);
    EXPECT_GE(elapsed, 150);
}

TEST_F(SerialConnectionTransfer, ReadThatCompletesShortReturnsTrue)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    ASSERT_TRUE(connection.ConfigureLine());
    // A driver that ends a read after a pause of 50 ms between bytes.
    COMMTIMEOUTS timeouts{50, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(connection.PortHandle(), &timeouts));
    ASSERT_TRUE(touchpad.Send({0x21, 0x22}));
    Bytes buffer(5, 0xCC);
    const Stopwatch stopwatch;
    EXPECT_TRUE(connection.Read(buffer.data(), 5, 1000));
    EXPECT_LT(stopwatch.ElapsedMs(), 500);
    EXPECT_EQ(buffer, (Bytes{0x21, 0x22, 0xCC, 0xCC, 0xCC})) << "only the bytes received are copied";
}

TEST_F(SerialConnectionTransfer, WriteHeldByXoffTimesOutAndConnectionStaysUsable)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    ASSERT_TRUE(connection.ConfigureLine());
    ASSERT_TRUE(EnableXonXoff(connection.PortHandle()));
    ASSERT_TRUE(touchpad.Send({0x13}));
    Sleep(100);

    const Bytes held = {0x41, 0x42, 0x43, 0x44};
    const Stopwatch stopwatch;
    EXPECT_FALSE(connection.Write(held.data(), static_cast<std::uint32_t>(held.size()), 500));
    EXPECT_GE(stopwatch.ElapsedMs(), 480);
    EXPECT_LT(stopwatch.ElapsedMs(), 1000);
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_FALSE(connection.StopFlag());
    EXPECT_TRUE(touchpad.Receive(16, 200).empty()) << "nothing passes while the line is stopped";

    // XON lets output go on; the cancelled write has left nothing behind.
    ASSERT_TRUE(touchpad.Send({0x11}));
    const Bytes next = {0x51, 0x52};
    EXPECT_TRUE(connection.Write(next.data(), static_cast<std::uint32_t>(next.size()), 1000));
    EXPECT_EQ(touchpad.Receive(16, 300), next);
    ASSERT_TRUE(touchpad.Send({0x61, 0x62, 0x63}));
    Bytes buffer(3, 0);
    EXPECT_TRUE(connection.Read(buffer.data(), 3, 1000));
    EXPECT_EQ(buffer, (Bytes{0x61, 0x62, 0x63}));
}

TEST_F(SerialConnectionTransfer, WriteThatOverfillsUnreadLineTimesOutAndConnectionStaysUsable)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    ASSERT_TRUE(connection.ConfigureLine());
    // The touchpad reads nothing, so the line's buffers fill up and the
    // write cannot finish.
    const Bytes flood(1 << 20, 0x55);
    const Stopwatch stopwatch;
    EXPECT_FALSE(connection.Write(flood.data(), static_cast<std::uint32_t>(flood.size()), 500));
    EXPECT_GE(stopwatch.ElapsedMs(), 480);
    EXPECT_LT(stopwatch.ElapsedMs(), 1000);
    EXPECT_TRUE(connection.IsOpen());

    std::size_t passed = 0;
    for (Bytes part = touchpad.Receive(65536, 200); !part.empty(); part = touchpad.Receive(65536, 200)) {
        passed += part.size();
        EXPECT_EQ(part, Bytes(part.size(), 0x55));
    }
    EXPECT_GT(passed, 0U);
    EXPECT_LT(passed, flood.size());

    const Bytes next = {0x71, 0x72, 0x73};
    EXPECT_TRUE(connection.Write(next.data(), static_cast<std::uint32_t>(next.size()), 1000));
    EXPECT_EQ(touchpad.Receive(16, 300), next);
}

// Wine completes a cancellation at once, a Windows serial driver whenever it
// gets to it: what the system may still write to (a record still marked
// pending, and its buffer) is never freed, what it is done with is.
TEST(CancelledTransfer, RecordStillPendingIsNeverFreed)
{
    for (const bool pending : {false, true}) {
        SCOPED_TRACE(pending ? "pending" : "completed");
        auto transfer = std::make_unique<OverlappedTransfer>();
        transfer->buffer.assign(5, 0xCC);
        transfer->record.Internal = pending ? STATUS_PENDING : StatusCancelled;
        watchedBlocks[0] = transfer.get();
        watchedBlocks[1] = transfer->buffer.data();
        watchedBlockFreed[0] = false;
        watchedBlockFreed[1] = false;
        ReleaseTransfer(std::move(transfer));
        EXPECT_EQ(watchedBlockFreed[0].load(), !pending) << "the record";
        EXPECT_EQ(watchedBlockFreed[1].load(), !pending) << "the buffer";
        watchedBlocks[0] = nullptr;
        watchedBlocks[1] = nullptr;
    }
}

// Run only by line-format-from-linux.sh, which looks at the pty from the
// Linux side before and after.
TEST(LineFormatSeenFromLinux, ConfigureLine)
{
    SerialConnection connection;
    ASSERT_TRUE(connection.Open(ProductPort));
    EXPECT_TRUE(connection.ConfigureLine());
}

} // namespace
