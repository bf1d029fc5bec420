#include "SerialTestPorts.h"
#include "SimulatedTouchpadLine.h"

#include <gtest/gtest.h>

namespace {

// The test support's own end of the line, checked against a second one on
// the product's port.
using SimulatedTouchpadLineTest = PtyPairTest;

TEST_F(SimulatedTouchpadLineTest, CarriesBytesBothWays)
{
    SimulatedTouchpadLine product;
    ASSERT_TRUE(product.Open(ProductPort));
    const Bytes out = {0x00, 0x13, 0x11, 0xFF, 0x0A};
    ASSERT_TRUE(touchpad.Send(out));
    EXPECT_EQ(product.Receive(out.size(), 1000), out);
    const Bytes back = {0x0D, 0x0A, 0x00};
    ASSERT_TRUE(product.Send(back));
    EXPECT_EQ(touchpad.Receive(back.size(), 1000), back);
}

TEST_F(SimulatedTouchpadLineTest, ReceiveReturnsOnceCountArrived)
{
    SimulatedTouchpadLine product;
    ASSERT_TRUE(product.Open(ProductPort));
    ASSERT_TRUE(product.Send({1, 2, 3, 4, 5, 6}));
    const Stopwatch stopwatch;
    EXPECT_EQ(touchpad.Receive(4, 2000), (Bytes{1, 2, 3, 4}));
    EXPECT_LT(stopwatch.ElapsedMs(), 500);
    EXPECT_EQ(touchpad.Receive(4, 300), (Bytes{5, 6})) << "the rest stays for the next call";
}

TEST_F(SimulatedTouchpadLineTest, ReceiveReturnsWhatArrivedByTheDeadline)
{
    SimulatedTouchpadLine product;
    ASSERT_TRUE(product.Open(ProductPort));
    ASSERT_TRUE(product.Send({7, 8, 9}));
    const Stopwatch stopwatch;
    EXPECT_EQ(touchpad.Receive(8, 300), (Bytes{7, 8, 9}));
    EXPECT_GE(stopwatch.ElapsedMs(), 280);
    EXPECT_LT(stopwatch.ElapsedMs(), 800);
    EXPECT_TRUE(touchpad.Receive(8, 100).empty());
}

TEST_F(SimulatedTouchpadLineTest, ClosedOrMissingLineDoesNothing)
{
    SimulatedTouchpadLine line;
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(line.Send({1}));
    EXPECT_TRUE(line.Receive(1, 100).empty());
    EXPECT_FALSE(line.Open(MissingPort));
    EXPECT_FALSE(line.IsOpen());
    ASSERT_TRUE(line.Open(ProductPort));
    EXPECT_TRUE(line.IsOpen());
    line.Close();
    line.Close();
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(line.Send({1}));
    EXPECT_TRUE(touchpad.Receive(1, 100).empty());
}

} // namespace
