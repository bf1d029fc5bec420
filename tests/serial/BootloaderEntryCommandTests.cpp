#include "BootloaderEntryCommand.h"
#include "SerialConnection.h"
#include "SerialTestPorts.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const Bytes ExpectedFrame = {0x0E, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xED};

class BootloaderEntryExchange : public PtyPairTest {
protected:
    void SetUp() override
    {
        PtyPairTest::SetUp();
        ASSERT_TRUE(connection.Open(ProductPort));
        ASSERT_TRUE(connection.ConfigureLine());
    }

    SerialConnection connection;
};

TEST_F(BootloaderEntryExchange, FrameIsTheElevenFixedBytes)
{
    EXPECT_EQ(Bytes(BootloaderEntryCommand.begin(), BootloaderEntryCommand.end()), ExpectedFrame);
    EXPECT_EQ(CommandTimeoutMs, 1000U);
    EXPECT_EQ(ReplyLength, 5U);
}

TEST_F(BootloaderEntryExchange, SilentTouchpadGetsExactlyTheFrameAndResultIsTrueAfterAboutOneSecond)
{
    const Stopwatch stopwatch;
    EXPECT_TRUE(SendBootloaderEntryCommand(connection));
    const long long elapsed = stopwatch.ElapsedMs();
    EXPECT_GE(elapsed, 900);
    EXPECT_LE(elapsed, 1500);
    EXPECT_FALSE(connection.StopFlag());
    // More is asked for than should come, so that any extra byte shows.
    EXPECT_EQ(touchpad.Receive(64, 300), ExpectedFrame);
    EXPECT_TRUE(connection.IsOpen());
}

TEST_F(BootloaderEntryExchange, AnyReplyOrNoneGivesTrue)
{
    struct Case {
        Bytes reply;
        long long minMs;
        long long maxMs;
    };
    // A full reply ends the read; anything shorter leaves it to its time-out.
    const Case cases[] = {
        {{0x0E, 0x00, 0x00, 0x01, 0x00}, 0, 500},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 500},
        {{0x06, 0x15}, 900, 1500},
        {{}, 900, 1500},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testing::Message() << "reply of " << testCase.reply.size() << " bytes");
        Bytes received;
        std::thread touchpadSide([&] {
            received = touchpad.Receive(ExpectedFrame.size(), 2000);
            touchpad.Send(testCase.reply);
        });
        const Stopwatch stopwatch;
        EXPECT_TRUE(SendBootloaderEntryCommand(connection));
        const long long elapsed = stopwatch.ElapsedMs();
        touchpadSide.join();
        EXPECT_EQ(received, ExpectedFrame);
        EXPECT_GE(elapsed, testCase.minMs);
        EXPECT_LE(elapsed, testCase.maxMs);
        EXPECT_TRUE(touchpad.Receive(64, 150).empty()) << "one frame, no retry";
        if (testCase.reply.size() == ReplyLength) {
            EXPECT_TRUE(ReceiveAtProductEnd(16, 100).empty()) << "the whole reply was read";
        }
    }
}

TEST_F(BootloaderEntryExchange, WriteHeldLongerThanTimeOutGivesFalseWithoutRead)
{
    ASSERT_TRUE(EnableXonXoff(connection.PortHandle()));
    // XOFF stops the product's output; the byte after it waits to be read.
    ASSERT_TRUE(touchpad.Send({0x13, 0x5A}));
    Sleep(100);

    const Stopwatch stopwatch;
    EXPECT_FALSE(SendBootloaderEntryCommand(connection));
    const long long elapsed = stopwatch.ElapsedMs();
    EXPECT_GE(elapsed, 900);
    EXPECT_LE(elapsed, 1500);
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_EQ(ReceiveAtProductEnd(16, 200), Bytes{0x5A}) << "no read took the waiting byte";
    ASSERT_TRUE(touchpad.Send({0x11}));
    EXPECT_TRUE(touchpad.Receive(64, 200).empty()) << "the cancelled frame was not sent later";
}

TEST_F(BootloaderEntryExchange, SlowWriteAndSilentTouchpadTakeAtMostAboutTwoSeconds)
{
    ASSERT_TRUE(EnableXonXoff(connection.PortHandle()));
    ASSERT_TRUE(touchpad.Send({0x13}));
    Sleep(100);
    // The touchpad lets the frame through after 700 ms and then stays silent.
    std::thread touchpadSide([&] {
        Sleep(700);
        touchpad.Send({0x11});
    });
    const Stopwatch stopwatch;
    EXPECT_TRUE(SendBootloaderEntryCommand(connection));
    const long long elapsed = stopwatch.ElapsedMs();
    touchpadSide.join();
    EXPECT_GE(elapsed, 1600);
    EXPECT_LE(elapsed, 2300);
    EXPECT_EQ(touchpad.Receive(64, 300), ExpectedFrame);
}

// The connection's end of a pipe that takes no more bytes, in the
// non-blocking mode: a write to it completes at once, successfully, with
// fewer bytes than asked for, as a serial driver completes a write whose
// time-outs ran out while the device took part of the data.
class ShortWrite : public testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring name = L"pipe\\TouchpadShortWrite" + std::to_wstring(GetCurrentProcessId());
        server.Reset(CreateNamedPipeW((L"\\\\.\\" + name).c_str(), PIPE_ACCESS_DUPLEX,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr));
        ASSERT_TRUE(server.IsValid()) << "error " << GetLastError();
        ASSERT_TRUE(connection.Open(name));
        DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        ASSERT_TRUE(SetNamedPipeHandleState(connection.PortHandle(), &mode, nullptr, nullptr));
        // Filled a byte at a time, until a byte no longer gets in.
        const std::uint8_t filler = 0x55;
        DWORD written = 1;
        for (int count = 0; written == 1 && count < 1 << 20; ++count) {
            OVERLAPPED record{};
            ASSERT_TRUE(WriteFile(connection.PortHandle(), &filler, 1, nullptr, &record));
            ASSERT_TRUE(GetOverlappedResult(connection.PortHandle(), &record, &written, FALSE));
        }
        ASSERT_EQ(written, 0U);
    }

    UniqueFileHandle server;
    SerialConnection connection;
};

TEST_F(ShortWrite, FrameWrittenShortIsAFailedSend)
{
    EXPECT_FALSE(connection.Write(BootloaderEntryCommand.data(),
                                  static_cast<std::uint32_t>(BootloaderEntryCommand.size()), CommandTimeoutMs));
    // Which the update answers with the next port name.
    EXPECT_FALSE(SendBootloaderEntryCommand(connection));
}

} // namespace
