#include "DeviceTestSupport.h"
#include "FakeDevices.h"
#include "PresenceChecks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

using Ids = std::vector<std::wstring>;

DeviceRecord Record(Ids ids, std::wstring driverVersion)
{
    DeviceRecord record;
    record.hardwareIds = std::move(ids);
    record.driverVersion = std::move(driverVersion);
    return record;
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

const std::wstring Bootloader = BootloaderHardwareId;

TEST(PresenceRecords, BootloaderIdIsTheFixedText)
{
    EXPECT_EQ(Bootloader, L"USB\\VID_0483&PID_DF1");
    EXPECT_EQ(Bootloader.size(), 20u);
}

TEST(PresenceRecords, MatchRuleLooksForTheTextInTheFirstIdOnly)
{
    const struct {
        const char* name;
        Ids ids;
        bool matches;
    } cases[] = {
        {"Exact", {Bootloader}, true},
        {"TextAfter", {Bootloader + L"1&REV_2200"}, true},
        {"TextBefore", {L"X" + Bootloader}, true},
        {"TextBeforeAndAfter", {L"HID\\" + Bootloader + L"1\\0001"}, true},
        {"FirstOfSeveral", {Bootloader + L"1", L"USB\\OTHER"}, true},
        {"LowerCase", {Lower(Bootloader) + L"1"}, false},
        {"OneLetterLowerCase", {L"USB\\VID_0483&PID_Df11"}, false},
        {"OnlyInSecondId", {L"USB\\VID_0483", Bootloader + L"1"}, false},
        {"OnlyInThirdId", {L"A", L"B", Bootloader}, false},
        {"OtherSeparator", {L"USB/VID_0483&PID_DF11"}, false},
        {"CutShort", {L"USB\\VID_0483&PID_DF"}, false},
        {"Interrupted", {L"USB\\VID_0483&&PID_DF11"}, false},
        {"OtherProduct", {L"USB\\VID_0483&PID_DF01"}, false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const DeviceInventory inventory = {Record(testCase.ids, L"1.0")};
        EXPECT_EQ(FirstMatchingRecordHasDriver(inventory, Bootloader), testCase.matches);
        EXPECT_EQ(AnyMatchingRecordHasDriver(inventory, Bootloader), testCase.matches);
    }
}

TEST(PresenceRecords, FirstAndAnyDifferOnlyWhenTheFirstMatchHasNoDriver)
{
    const DeviceRecord other = Record({L"USB\\VID_1234&PID_0001"}, L"9.9");
    const DeviceRecord withDriver = Record({Bootloader + L"1"}, L"1.0");
    const DeviceRecord withoutDriver = Record({Bootloader + L"1"}, L"");
    const struct {
        const char* name;
        DeviceInventory inventory;
        bool first;
        bool any;
    } cases[] = {
        {"Empty", {}, false, false},
        {"NoMatch", {other}, false, false},
        {"OnlyWithDriver", {withDriver}, true, true},
        {"OnlyWithoutDriver", {withoutDriver}, false, false},
        {"WithoutThenWith", {withoutDriver, withDriver}, false, true},
        {"WithThenWithout", {withDriver, withoutDriver}, true, true},
        {"AllWithoutDriver", {withoutDriver, other, withoutDriver}, false, false},
        // A driver on a record that does not match counts for nothing.
        {"OtherWithDriverFirst", {other, withoutDriver}, false, false},
        {"OtherBeforeMatch", {other, withDriver}, true, true},
        {"WithoutOtherWith", {withoutDriver, other, withDriver}, false, true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(FirstMatchingRecordHasDriver(testCase.inventory, Bootloader), testCase.first);
        EXPECT_EQ(AnyMatchingRecordHasDriver(testCase.inventory, Bootloader), testCase.any);
    }
}

TEST(PresenceRecords, EmptyInventoryHasNoDriverForAnyText)
{
    const DeviceInventory empty;
    for (const std::wstring& text : {Bootloader, std::wstring(), std::wstring(L"X")}) {
        EXPECT_FALSE(FirstMatchingRecordHasDriver(empty, text));
        EXPECT_FALSE(AnyMatchingRecordHasDriver(empty, text));
    }
}

TEST(PresenceRecords, EmptyTextMatchesEveryRecord)
{
    const DeviceInventory inventory = {Record({L"A"}, L""), Record({L"B"}, L"2.0")};
    EXPECT_FALSE(FirstMatchingRecordHasDriver(inventory, L""));
    EXPECT_TRUE(AnyMatchingRecordHasDriver(inventory, L""));
    EXPECT_TRUE(FirstMatchingRecordHasDriver({Record({L"B"}, L"2.0")}, L""));
}

TEST(PresenceRecords, TextLongerThanTheIdNeverMatches)
{
    const DeviceInventory inventory = {Record({L"USB\\VID_0483"}, L"1.0")};
    EXPECT_FALSE(FirstMatchingRecordHasDriver(inventory, Bootloader));
    EXPECT_FALSE(AnyMatchingRecordHasDriver(inventory, Bootloader));
    EXPECT_TRUE(FirstMatchingRecordHasDriver(inventory, L"USB\\VID_0483"));
}

TEST(PresenceRecords, RecordWithoutIdsIsPassedOver)
{
    // The walk never yields such a record; a hand-made one must not break the
    // checks, not even for the empty text.
    const DeviceInventory inventory = {Record({}, L"1.0"), Record({Bootloader}, L"")};
    EXPECT_FALSE(FirstMatchingRecordHasDriver(inventory, Bootloader));
    EXPECT_FALSE(AnyMatchingRecordHasDriver(inventory, Bootloader));
    EXPECT_FALSE(FirstMatchingRecordHasDriver(inventory, L""));
    EXPECT_FALSE(AnyMatchingRecordHasDriver(inventory, L""));
}

// The checks on the devices present in the test prefix.
class PresenceChecks : public testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(scope.RemoveAll()); }

    void AddDevice(const std::wstring& instancePath, const Ids& ids) { ASSERT_TRUE(scope.Register(instancePath, ids)); }

    static void AddDriver(const std::wstring& instancePath, int driverNumber, const std::wstring& version = L"1.0.0.1")
    {
        ASSERT_TRUE(SetFakeDeviceDriver(instancePath, TestDriverKey(driverNumber), version));
    }

    FakeDeviceScope scope;
};

TEST_F(PresenceChecks, MatchRuleOnPresentDevices)
{
    const struct {
        const wchar_t* name;
        Ids ids; // {} stands for the text itself
        bool matches;
    } cases[] = {
        {L"EXACT", {}, true},
        {L"AFTER", {TestHardwareId(L"MATCH_AFTER") + L"1&REV_2200"}, true},
        {L"BEFORE", {L"HID\\" + TestHardwareId(L"MATCH_BEFORE")}, true},
        {L"LOWER", {Lower(TestHardwareId(L"MATCH_LOWER"))}, false},
        {L"SECOND", {L"USB\\VID_F0E1&PID_7E57&DEVTEST_OTHER", TestHardwareId(L"MATCH_SECOND")}, false},
    };
    int driverNumber = 0;
    for (const auto& testCase : cases) {
        const std::wstring text = TestHardwareId(std::wstring(L"MATCH_") + testCase.name);
        const std::wstring path = TestInstancePath(std::wstring(L"MATCH_") + testCase.name);
        AddDevice(path, testCase.ids.empty() ? Ids{text} : testCase.ids);
        AddDriver(path, driverNumber++);
    }
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testing::Message() << testCase.name);
        const std::wstring text = TestHardwareId(std::wstring(L"MATCH_") + testCase.name);
        EXPECT_EQ(FirstMatchingDeviceHasDriver(text), testCase.matches);
        EXPECT_EQ(AnyMatchingDeviceHasDriver(text), testCase.matches);
        // Each device is there with its driver: its own first ID finds it.
        const std::wstring firstId = testCase.ids.empty() ? text : testCase.ids.front();
        EXPECT_TRUE(FirstMatchingDeviceHasDriver(firstId));
        EXPECT_TRUE(AnyMatchingDeviceHasDriver(firstId));
    }
}

TEST_F(PresenceChecks, FirstMatchWithoutDriverHidesALaterOneOnlyFromFirst)
{
    // Wine lists the devices by key name: _1 comes before _2 whatever the
    // order of registration.
    const std::wstring text = TestHardwareId(L"FIRSTANY");
    const std::wstring withoutDriver = TestInstancePath(L"FIRSTANY_1");
    const std::wstring withDriver = TestInstancePath(L"FIRSTANY_2");
    AddDevice(withDriver, {text + L"&2"});
    AddDriver(withDriver, 0);
    AddDevice(withoutDriver, {text + L"&1"});

    const DeviceInventory inventory = EnumeratePresentDevices();
    const int first = RecordIndexById(inventory, text + L"&1");
    const int second = RecordIndexById(inventory, text + L"&2");
    ASSERT_GE(first, 0);
    ASSERT_GT(second, first) << "the device without driver must come first";
    ASSERT_EQ(inventory[first].driverVersion, L"");
    ASSERT_EQ(inventory[second].driverVersion, L"1.0.0.1");

    EXPECT_FALSE(FirstMatchingDeviceHasDriver(text));
    EXPECT_TRUE(AnyMatchingDeviceHasDriver(text));

    // Once the first one has its driver, both agree.
    AddDriver(withoutDriver, 1);
    EXPECT_TRUE(FirstMatchingDeviceHasDriver(text));
    EXPECT_TRUE(AnyMatchingDeviceHasDriver(text));
}

TEST_F(PresenceChecks, MatchingDeviceWithoutDriverGivesFalseUntilItGetsOne)
{
    const std::wstring text = TestHardwareId(L"NODRIVER");
    const std::wstring path = TestInstancePath(L"NODRIVER");
    AddDevice(path, {text + L"&REV_0001"});
    AddDevice(TestInstancePath(L"NODRIVER_OTHER"), {L"USB\\VID_F0E1&PID_7E57&DEVTEST_ELSE", text});
    AddDriver(TestInstancePath(L"NODRIVER_OTHER"), 0);
    ASSERT_GE(RecordIndexById(EnumeratePresentDevices(), text + L"&REV_0001"), 0);

    EXPECT_FALSE(FirstMatchingDeviceHasDriver(text));
    EXPECT_FALSE(AnyMatchingDeviceHasDriver(text));

    AddDriver(path, 1);
    EXPECT_TRUE(FirstMatchingDeviceHasDriver(text));
    EXPECT_TRUE(AnyMatchingDeviceHasDriver(text));
}

TEST_F(PresenceChecks, NoMatchingDeviceGivesFalse)
{
    const std::wstring text = TestHardwareId(L"NEVERREGISTERED");
    ASSERT_EQ(RecordIndexById(EnumeratePresentDevices(), text), -1);
    EXPECT_FALSE(FirstMatchingDeviceHasDriver(text));
    EXPECT_FALSE(AnyMatchingDeviceHasDriver(text));
}

TEST_F(PresenceChecks, EachCallSeesTheDevicesOfItsMoment)
{
    const std::wstring text = TestHardwareId(L"ARRIVES");
    const std::wstring path = TestInstancePath(L"ARRIVES");
    EXPECT_FALSE(FirstMatchingDeviceHasDriver(text));
    EXPECT_FALSE(AnyMatchingDeviceHasDriver(text));

    AddDevice(path, {text});
    AddDriver(path, 0);
    EXPECT_TRUE(FirstMatchingDeviceHasDriver(text));
    EXPECT_TRUE(AnyMatchingDeviceHasDriver(text));

    ASSERT_TRUE(RemoveFakeDevice(path));
    EXPECT_FALSE(FirstMatchingDeviceHasDriver(text));
    EXPECT_FALSE(AnyMatchingDeviceHasDriver(text));
}

TEST_F(PresenceChecks, BootloaderDeviceIsFoundByTheFixedId)
{
    const std::wstring path = L"USB\\VID_0483&PID_DF11\\DEVTEST_BOOTLOADER";
    EXPECT_FALSE(FirstMatchingDeviceHasDriver(Bootloader)) << "a bootloader device is left from an earlier run";
    AddDevice(path, {L"USB\\VID_0483&PID_DF11&REV_2200", L"USB\\VID_0483&PID_DF11"});
    EXPECT_FALSE(FirstMatchingDeviceHasDriver(Bootloader));
    EXPECT_FALSE(AnyMatchingDeviceHasDriver(Bootloader));
    AddDriver(path, 0, L"2.12.36.4");
    EXPECT_TRUE(FirstMatchingDeviceHasDriver(Bootloader));
    EXPECT_TRUE(AnyMatchingDeviceHasDriver(Bootloader));
}

} // namespace
