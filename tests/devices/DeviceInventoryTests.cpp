#include "DeviceInventory.h"
#include "DeviceTestSupport.h"
#include "FakeDevices.h"

#include <gtest/gtest.h>

#include <setupapi.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using Ids = std::vector<std::wstring>;

const std::wstring ClassRoot = L"SYSTEM\\CurrentControlSet\\Control\\Class";

// One way of storing "DriverVersion" and the text it must give.
struct DriverVersionCase {
    const char* name;
    DWORD type;
    Bytes data;
    std::wstring expected;
};

Bytes WithExtraByte(Bytes bytes)
{
    bytes.push_back('x');
    return bytes;
}

Bytes Number(DWORD value)
{
    const auto* first = reinterpret_cast<const BYTE*>(&value);
    return {first, first + sizeof(value)};
}

const std::wstring Text1039 = PatternText(1039);
const std::wstring Text1040 = PatternText(1040);

// Each malformed case holds data that reads as a text of its own when one of
// the checks is left out (e.g. the number 0x31 is "1" and a terminator).
const std::vector<DriverVersionCase> DriverVersionCases = {
    {"PlainText", REG_SZ, TerminatedBytes(L"10.0.19041.1"), L"10.0.19041.1"},
    {"ExpandableTextUnexpanded", REG_EXPAND_SZ, TerminatedBytes(L"%SystemRoot%\\5.6"), L"%SystemRoot%\\5.6"},
    {"TextUpToEmbeddedZero", REG_SZ, TerminatedBytes(std::wstring(L"1.0\0junk", 8)), L"1.0"},
    {"Number", REG_DWORD, Number(0x31), L""},
    {"MultiString", REG_MULTI_SZ, TerminatedBytes(std::wstring(L"1.0\0", 4)), L""},
    {"Binary", REG_BINARY, TerminatedBytes(L"1.0"), L""},
    {"OddSize", REG_SZ, WithExtraByte(TerminatedBytes(L"1.0")), L""},
    {"OddSizeOfOneByte", REG_SZ, Bytes{'7'}, L""},
    {"Unterminated", REG_SZ, Utf16Bytes(L"1.0"), L""},
    {"ZeroBytes", REG_SZ, Bytes{}, L""},
    {"OnlyTerminator", REG_SZ, TerminatedBytes(L""), L""},
    {"Exactly2080BytesTerminated", REG_SZ, TerminatedBytes(Text1039), Text1039},
    {"Exactly2080BytesExpandable", REG_EXPAND_SZ, TerminatedBytes(Text1039), Text1039},
    {"Exactly2080BytesUnterminated", REG_SZ, Utf16Bytes(Text1040), L""},
    {"2082BytesTerminated", REG_SZ, TerminatedBytes(Text1040), L""},
    {"8000BytesTerminated", REG_SZ, TerminatedBytes(PatternText(3999)), L""},
};

TEST(MachineRegistryString, DriverVersionValuesAsStored)
{
    FakeDeviceScope scope;
    for (std::size_t index = 0; index < DriverVersionCases.size(); ++index) {
        const DriverVersionCase& testCase = DriverVersionCases[index];
        SCOPED_TRACE(testCase.name);
        const std::wstring driverKey = TestDriverKey(100 + static_cast<int>(index));
        scope.TrackDriverKey(driverKey);
        ASSERT_TRUE(SetFakeDriverValue(driverKey, L"DriverVersion", testCase.type, testCase.data.data(),
                                       static_cast<DWORD>(testCase.data.size())));
        EXPECT_EQ(ReadMachineRegistryString(BuildDriverClassKeyPath(driverKey), L"DriverVersion"), testCase.expected);
    }
    EXPECT_TRUE(scope.RemoveAll());
}

TEST(MachineRegistryString, MissingKeyOrValueGivesEmptyText)
{
    FakeDeviceScope scope;
    const std::wstring driverKey = TestDriverKey(150);
    scope.TrackDriverKey(driverKey);
    const Bytes version = TerminatedBytes(L"2.0");
    ASSERT_TRUE(SetFakeDriverValue(driverKey, L"DriverVersion", REG_SZ, version.data(), DWORD(version.size())));
    const std::wstring path = BuildDriverClassKeyPath(driverKey);
    ASSERT_EQ(ReadMachineRegistryString(path, L"DriverVersion"), L"2.0");

    EXPECT_EQ(ReadMachineRegistryString(path, L"DriverDate"), L"");
    EXPECT_EQ(ReadMachineRegistryString(path, L"DriverVersion2"), L"");
    EXPECT_EQ(ReadMachineRegistryString(path + L"\\Missing", L"DriverVersion"), L"");
    EXPECT_EQ(ReadMachineRegistryString(BuildDriverClassKeyPath(TestDriverKey(151)), L"DriverVersion"), L"");
    // The key is looked up under HKEY_LOCAL_MACHINE only.
    EXPECT_EQ(ReadMachineRegistryString(L"HKEY_LOCAL_MACHINE\\" + path, L"DriverVersion"), L"");

    ASSERT_TRUE(scope.RemoveAll());
    EXPECT_EQ(ReadMachineRegistryString(path, L"DriverVersion"), L"");
}

TEST(MachineRegistryString, ClassKeyPathIsTheFixedTextAndTheKeyUnchanged)
{
    const std::wstring fixed = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
    ASSERT_EQ(fixed.size(), 39u);
    const struct {
        std::wstring driverKey;
        std::wstring expected;
    } cases[] = {
        {L"", fixed},
        {L"{36fc9e60-c465-11cf-8056-444553540000}\\0042", fixed + L"{36fc9e60-c465-11cf-8056-444553540000}\\0042"},
        {L"\\0001", fixed + L"\\0001"},
        {L"a b\\", fixed + L"a b\\"},
        {std::wstring(L"x\0y", 3), fixed + std::wstring(L"x\0y", 3)},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(BuildDriverClassKeyPath(testCase.driverKey), testCase.expected);
    }
}

// Devices registered for one test and removed after it, found again in the
// inventory by their description.
class InventoryWalk : public testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(scope.RemoveAll()); }

    // A device with its description, and its hardware-ID value written as
    // given; no HardwareID value at all when data is empty and type REG_NONE.
    void AddDevice(const std::wstring& name, DWORD idType, const Bytes& idData)
    {
        const std::wstring path = TestInstancePath(name);
        ASSERT_TRUE(scope.Register(path, {}));
        ASSERT_TRUE(SetFakeDeviceText(path, L"DeviceDesc", TestDescription(name)));
        if (idType != REG_NONE || !idData.empty()) {
            ASSERT_TRUE(SetFakeDeviceValue(path, L"HardwareID", idType, idData.data(), DWORD(idData.size())));
        }
    }

    void AddDeviceWithIds(const std::wstring& name, const Ids& ids)
    {
        AddDevice(name, REG_MULTI_SZ, Utf16Bytes(MultiString(ids)));
    }

    static void AddDriver(const std::wstring& name, const std::wstring& driverKey, const std::wstring& version)
    {
        ASSERT_TRUE(SetFakeDeviceDriver(TestInstancePath(name), driverKey, version));
    }

    FakeDeviceScope scope;
};

TEST_F(InventoryWalk, KeptDevicesGiveTheirHardwareIdsInOrder)
{
    const std::wstring id254 =
        TestHardwareId(L"FULL512_") + std::wstring(254 - TestHardwareId(L"FULL512_").size(), L'F');
    const struct {
        std::wstring name;
        DWORD type;
        Bytes data;
        Ids expected;
    } cases[] = {
        {L"TWOIDS",
         REG_MULTI_SZ,
         Utf16Bytes(MultiString({TestHardwareId(L"TWOIDS"), L"USB\\VID_F0E1"})),
         {TestHardwareId(L"TWOIDS"), L"USB\\VID_F0E1"}},
        {L"DUPLICATES", REG_MULTI_SZ, Utf16Bytes(MultiString({L"USB\\DUP", L"USB\\DUP"})), {L"USB\\DUP", L"USB\\DUP"}},
        {L"EMPTYINSIDE", REG_MULTI_SZ, Utf16Bytes(MultiString({L"USB\\FIRST", L"", L"USB\\LATER"})), {L"USB\\FIRST"}},
        {L"SINGLETEXT", REG_SZ, TerminatedBytes(TestHardwareId(L"SINGLETEXT")), {TestHardwareId(L"SINGLETEXT")}},
        {L"EXPANDABLE", REG_EXPAND_SZ, TerminatedBytes(L"%SystemRoot%\\ID"), {L"%SystemRoot%\\ID"}},
        // 254 characters, their zero and the closing zero fill 512 bytes.
        {L"FULL512", REG_MULTI_SZ, Utf16Bytes(MultiString({id254})), {id254}},
    };
    for (const auto& testCase : cases) {
        AddDevice(testCase.name, testCase.type, testCase.data);
    }
    ASSERT_EQ(Utf16Bytes(MultiString({id254})).size(), 512u);

    const DeviceInventory inventory = EnumeratePresentDevices();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto records = RecordsNamed(inventory, testCase.name);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records.front()->hardwareIds, testCase.expected);
    }
}

TEST_F(InventoryWalk, DevicesWithoutUsableHardwareIdAreLeftOut)
{
    // 255 characters, their zero and the closing zero: 514 bytes.
    const std::wstring id255 =
        TestHardwareId(L"TOOLARGE_") + std::wstring(255 - TestHardwareId(L"TOOLARGE_").size(), L'L');
    const Bytes tooLarge = Utf16Bytes(MultiString({id255}));
    ASSERT_EQ(tooLarge.size(), 514u);
    const struct {
        std::wstring name;
        DWORD type;
        Bytes data;
        DWORD readError; // 0: the property read succeeds
    } cases[] = {
        {L"NOVALUE", REG_NONE, {}, ERROR_INVALID_DATA},
        {L"EMPTYTEXT", REG_SZ, TerminatedBytes(L""), 0},
        {L"ZEROBYTES", REG_SZ, {}, 0},
        {L"EMPTYMULTI", REG_MULTI_SZ, TerminatedBytes(L""), 0},
        {L"STARTSEMPTY", REG_MULTI_SZ, Utf16Bytes(MultiString({L"", TestHardwareId(L"STARTSEMPTY")})), 0},
        {L"TOOLARGE", REG_MULTI_SZ, tooLarge, ERROR_INSUFFICIENT_BUFFER},
        {L"MUCHTOOLARGE", REG_SZ, TerminatedBytes(PatternText(2000)), ERROR_INSUFFICIENT_BUFFER},
        // Would read as IDs if the type were not looked at.
        {L"NUMBER", REG_DWORD, Number(0x41), 0},
        {L"BINARY", REG_BINARY, Utf16Bytes(MultiString({TestHardwareId(L"BINARY")})), 0},
        {L"NONE", REG_NONE, Utf16Bytes(MultiString({TestHardwareId(L"NONE")})), 0},
    };
    int driverNumber = 0;
    for (const auto& testCase : cases) {
        AddDevice(testCase.name, testCase.type, testCase.data);
        // Left out whatever else it has.
        AddDriver(testCase.name, TestDriverKey(driverNumber++), L"1.0");
        ASSERT_TRUE(SetFakeDeviceText(TestInstancePath(testCase.name), L"Mfg", L"Maker"));
    }
    AddDeviceWithIds(L"CONTROL", {TestHardwareId(L"CONTROL")});

    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const RawProperty ids = ReadRawProperty(TestInstancePath(testCase.name), SPDRP_HARDWAREID);
        ASSERT_TRUE(ids.found) << "the Setup API must list the device";
        EXPECT_EQ(ids.read, testCase.readError == 0);
        EXPECT_EQ(ids.error, testCase.readError);
    }
    const DeviceInventory inventory = EnumeratePresentDevices();
    ASSERT_EQ(RecordsNamed(inventory, L"CONTROL").size(), 1u);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_TRUE(RecordsNamed(inventory, testCase.name).empty());
    }
    for (const DeviceRecord& record : inventory) {
        EXPECT_FALSE(record.hardwareIds.empty());
        for (const std::wstring& id : record.hardwareIds) {
            EXPECT_FALSE(id.empty());
        }
    }
}

TEST_F(InventoryWalk, DriverVersionIsReadFromTheDriversClassKey)
{
    for (std::size_t index = 0; index < DriverVersionCases.size(); ++index) {
        const DriverVersionCase& testCase = DriverVersionCases[index];
        const std::wstring name = L"VERSION" + std::to_wstring(index);
        const std::wstring driverKey = TestDriverKey(static_cast<int>(index));
        AddDeviceWithIds(name, {TestHardwareId(name)});
        AddDriver(name, driverKey, L"placeholder");
        ASSERT_TRUE(SetFakeDriverValue(driverKey, L"DriverVersion", testCase.type, testCase.data.data(),
                                       DWORD(testCase.data.size())));
    }
    // A driver key naming no class key, and a class key without the value.
    AddDeviceWithIds(L"NOCLASSKEY", {TestHardwareId(L"NOCLASSKEY")});
    ASSERT_TRUE(SetFakeDeviceText(TestInstancePath(L"NOCLASSKEY"), L"Driver", TestDriverKey(90)));
    scope.TrackDriverKey(TestDriverKey(90));
    AddDeviceWithIds(L"NOVALUE", {TestHardwareId(L"NOVALUE")});
    ASSERT_TRUE(SetFakeDeviceText(TestInstancePath(L"NOVALUE"), L"Driver", TestDriverKey(91)));
    scope.TrackDriverKey(TestDriverKey(91));
    const Bytes date = TerminatedBytes(L"1-1-2020");
    ASSERT_TRUE(SetFakeDriverValue(TestDriverKey(91), L"DriverDate", REG_SZ, date.data(), DWORD(date.size())));

    const DeviceInventory inventory = EnumeratePresentDevices();
    for (std::size_t index = 0; index < DriverVersionCases.size(); ++index) {
        SCOPED_TRACE(DriverVersionCases[index].name);
        const auto records = RecordsNamed(inventory, L"VERSION" + std::to_wstring(index));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records.front()->driverVersion, DriverVersionCases[index].expected);
    }
    for (const wchar_t* name : {L"NOCLASSKEY", L"NOVALUE"}) {
        const auto records = RecordsNamed(inventory, name);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records.front()->driverVersion, L"");
    }
}

TEST_F(InventoryWalk, DeviceWithoutDriverKeyOpensNoClassKey)
{
    // A walk that went on with an empty driver key would open the Class key
    // itself; a version stored there shows whether it did.
    const ScopedMachineValue trap(ClassRoot, L"DriverVersion", REG_SZ, TerminatedBytes(L"6.6.6-from-class-root"));
    ASSERT_TRUE(trap.IsSet());
    ASSERT_EQ(ReadMachineRegistryString(BuildDriverClassKeyPath(L""), L"DriverVersion"), L"6.6.6-from-class-root");

    AddDeviceWithIds(L"NODRIVER", {TestHardwareId(L"NODRIVER")});
    AddDeviceWithIds(L"DRIVERTOOLONG", {TestHardwareId(L"DRIVERTOOLONG")});
    ASSERT_TRUE(SetFakeDeviceText(TestInstancePath(L"DRIVERTOOLONG"), L"Driver", std::wstring(300, L'K')));
    AddDeviceWithIds(L"WITHDRIVER", {TestHardwareId(L"WITHDRIVER")});
    AddDriver(L"WITHDRIVER", TestDriverKey(0), L"4.2");

    const RawProperty missing = ReadRawProperty(TestInstancePath(L"NODRIVER"), SPDRP_DRIVER);
    ASSERT_TRUE(missing.found);
    EXPECT_FALSE(missing.read);
    EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_INVALID_DATA));
    const RawProperty tooLong = ReadRawProperty(TestInstancePath(L"DRIVERTOOLONG"), SPDRP_DRIVER);
    ASSERT_TRUE(tooLong.found);
    EXPECT_FALSE(tooLong.read);
    EXPECT_EQ(tooLong.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    const DeviceInventory inventory = EnumeratePresentDevices();
    for (const wchar_t* name : {L"NODRIVER", L"DRIVERTOOLONG"}) {
        SCOPED_TRACE(testing::Message() << name);
        const auto records = RecordsNamed(inventory, name);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records.front()->hardwareIds, Ids{TestHardwareId(name)});
        EXPECT_EQ(records.front()->driverVersion, L"");
    }
    const auto withDriver = RecordsNamed(inventory, L"WITHDRIVER");
    ASSERT_EQ(withDriver.size(), 1u);
    EXPECT_EQ(withDriver.front()->driverVersion, L"4.2");
}

TEST_F(InventoryWalk, DescriptionManufacturerAndNodeStatus)
{
    AddDeviceWithIds(L"FULL", {TestHardwareId(L"FULL"), L"USB\\VID_F0E1&PID_7E57"});
    AddDriver(L"FULL", TestDriverKey(0), L"1.2.3.4");
    ASSERT_TRUE(SetFakeDeviceText(TestInstancePath(L"FULL"), L"Mfg", L"Kestrune Devices"));

    // Description and manufacturer that cannot be read leave the device in.
    AddDeviceWithIds(L"ODDTEXTS", {TestHardwareId(L"ODDTEXTS")});
    const Bytes longDescription = TerminatedBytes(PatternText(256));
    ASSERT_TRUE(SetFakeDeviceValue(TestInstancePath(L"ODDTEXTS"), L"DeviceDesc", REG_SZ, longDescription.data(),
                                   DWORD(longDescription.size())));
    const Bytes maker = TerminatedBytes(std::wstring(L"Maker\0tail", 10));
    ASSERT_TRUE(SetFakeDeviceValue(TestInstancePath(L"ODDTEXTS"), L"Mfg", REG_SZ, maker.data(), DWORD(maker.size())));
    AddDeviceWithIds(L"NOMAKER", {TestHardwareId(L"NOMAKER")});

    const DeviceInventory inventory = EnumeratePresentDevices();
    const auto full = RecordsNamed(inventory, L"FULL");
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full.front()->hardwareIds, (Ids{TestHardwareId(L"FULL"), L"USB\\VID_F0E1&PID_7E57"}));
    EXPECT_EQ(full.front()->description, TestDescription(L"FULL"));
    EXPECT_EQ(full.front()->manufacturer, L"Kestrune Devices");
    EXPECT_EQ(full.front()->driverVersion, L"1.2.3.4");
    // What the system reports for the device's node (Wine reports nothing, and
    // both stay 0).
    const NodeStatus node = QueryNodeStatus(TestInstancePath(L"FULL"));
    ASSERT_TRUE(node.found);
    EXPECT_EQ(full.front()->status, node.status);
    EXPECT_EQ(full.front()->problem, node.problem);

    const int oddIndex = RecordIndexById(inventory, TestHardwareId(L"ODDTEXTS"));
    ASSERT_GE(oddIndex, 0);
    EXPECT_EQ(inventory[oddIndex].description, L"");
    EXPECT_EQ(inventory[oddIndex].manufacturer, L"Maker");
    EXPECT_EQ(inventory[oddIndex].driverVersion, L"");

    const auto noMaker = RecordsNamed(inventory, L"NOMAKER");
    ASSERT_EQ(noMaker.size(), 1u);
    EXPECT_EQ(noMaker.front()->manufacturer, L"");
}

TEST_F(InventoryWalk, RecordsKeepTheEnumerationOrder)
{
    // Registered out of name order, with IDs that sort the other way round,
    // and a left-out device between them.
    AddDeviceWithIds(L"ORDER_C", {TestHardwareId(L"ORDER_1")});
    AddDeviceWithIds(L"ORDER_A", {TestHardwareId(L"ORDER_3")});
    AddDevice(L"ORDER_B", REG_SZ, TerminatedBytes(L""));
    AddDeviceWithIds(L"ORDER_B2", {TestHardwareId(L"ORDER_2")});

    const std::vector<std::wstring> listed = ListedInstanceIds();
    std::vector<std::wstring> expectedIds;
    for (const std::wstring& instanceId : listed) {
        for (const auto& [name, id] : {std::pair{L"ORDER_A", L"ORDER_3"}, std::pair{L"ORDER_B2", L"ORDER_2"},
                                       std::pair{L"ORDER_C", L"ORDER_1"}}) {
            if (instanceId == TestInstancePath(name)) {
                expectedIds.push_back(TestHardwareId(id));
            }
        }
    }
    ASSERT_EQ(expectedIds.size(), 3u);
    // Wine lists by key name, so neither the registration order nor the ID
    // order is the one to keep.
    EXPECT_EQ(expectedIds, (Ids{TestHardwareId(L"ORDER_3"), TestHardwareId(L"ORDER_2"), TestHardwareId(L"ORDER_1")}));

    const DeviceInventory inventory = EnumeratePresentDevices();
    Ids seen;
    for (const DeviceRecord& record : inventory) {
        if (!record.hardwareIds.empty() && record.hardwareIds.front().find(L"DEVTEST_ORDER_") != std::wstring::npos) {
            seen.push_back(record.hardwareIds.front());
        }
    }
    EXPECT_EQ(seen, expectedIds);
    EXPECT_TRUE(RecordsNamed(inventory, L"ORDER_B").empty());
}

TEST_F(InventoryWalk, WineDevicesAreListedAlongsideOurs)
{
    // Wine's own devices are always there, each with its first ID; the test
    // devices add exactly one record each.
    const DeviceInventory before = EnumeratePresentDevices();
    ASSERT_FALSE(before.empty());
    AddDeviceWithIds(L"EXTRA1", {TestHardwareId(L"EXTRA1")});
    AddDeviceWithIds(L"EXTRA2", {TestHardwareId(L"EXTRA2")});
    const DeviceInventory after = EnumeratePresentDevices();
    EXPECT_EQ(after.size(), before.size() + 2);
    ASSERT_TRUE(scope.RemoveAll());
    EXPECT_EQ(EnumeratePresentDevices().size(), before.size());
}

} // namespace
