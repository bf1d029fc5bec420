#include "DeviceTestSupport.h"
#include "FakeDevices.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Its own device key and setup class, so that removing the last device
// removes the parents too.
const std::wstring DeviceKey = L"USB\\VID_F0E1&PID_7E58";
const std::wstring ClassKey = L"{f0e17e58-0000-4000-8000-de71ce7e5800}";

std::wstring Instance(const std::wstring& name)
{
    return DeviceKey + L"\\" + name;
}

bool MachineKeyExists(const std::wstring& path)
{
    UniqueRegistryKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

bool IsListed(const std::wstring& instancePath)
{
    const std::vector<std::wstring> listed = ListedInstanceIds();
    return std::find(listed.begin(), listed.end(), instancePath) != listed.end();
}

TEST(FakeDevices, MultiStringEndsEachStringAndTheList)
{
    EXPECT_EQ(MultiString({L"A", L"BC"}), std::wstring(L"A\0BC\0\0", 6));
    EXPECT_EQ(MultiString({L"A"}), std::wstring(L"A\0\0", 3));
    EXPECT_EQ(MultiString({}), std::wstring(L"\0", 1));
}

TEST(FakeDevices, RegisteredDeviceIsListedWithItsPropertiesAndRemovedWhole)
{
    const std::wstring path = Instance(L"WHOLE");
    const std::wstring driverKey = ClassKey + L"\\0007";
    FakeDeviceScope scope; // only for a test that stops half-way
    scope.Track(path);
    ASSERT_TRUE(RegisterFakeDevice(path, {L"USB\\VID_F0E1&PID_7E58&REV_0001", L"USB\\VID_F0E1&PID_7E58"}));
    ASSERT_TRUE(SetFakeDeviceDriver(path, driverKey, L"7.7"));
    EXPECT_TRUE(FakeDeviceExists(path));
    EXPECT_TRUE(IsListed(path));

    const RawProperty ids = ReadRawProperty(path, SPDRP_HARDWAREID);
    ASSERT_TRUE(ids.read);
    EXPECT_EQ(ids.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(ids.data, Utf16Bytes(MultiString({L"USB\\VID_F0E1&PID_7E58&REV_0001", L"USB\\VID_F0E1&PID_7E58"})));
    const RawProperty driver = ReadRawProperty(path, SPDRP_DRIVER);
    ASSERT_TRUE(driver.read);
    EXPECT_EQ(driver.data, TerminatedBytes(driverKey));
    EXPECT_EQ(ReadMachineRegistryString(FakeDriverKeyPath(driverKey), L"DriverVersion"), L"7.7");

    EXPECT_TRUE(RemoveFakeDevice(path));
    EXPECT_FALSE(FakeDeviceExists(path));
    EXPECT_FALSE(IsListed(path));
    EXPECT_FALSE(MachineKeyExists(FakeDriverKeyPath(driverKey)));
    // The parents it alone filled are gone too.
    EXPECT_FALSE(MachineKeyExists(FakeDeviceKeyPath(DeviceKey)));
    EXPECT_FALSE(MachineKeyExists(FakeDriverKeyPath(ClassKey)));
}

TEST(FakeDevices, DeviceWithoutIdsHasNoHardwareIdValue)
{
    FakeDeviceScope scope;
    const std::wstring path = Instance(L"NOIDS");
    ASSERT_TRUE(scope.Register(path, {}));
    const RawProperty ids = ReadRawProperty(path, SPDRP_HARDWAREID);
    ASSERT_TRUE(ids.found);
    EXPECT_FALSE(ids.read);
    EXPECT_EQ(ids.error, static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST(FakeDevices, RegisteringAgainStartsFromScratch)
{
    FakeDeviceScope scope;
    const std::wstring path = Instance(L"AGAIN");
    const std::wstring driverKey = ClassKey + L"\\0001";
    ASSERT_TRUE(scope.Register(path, {L"USB\\OLD"}));
    ASSERT_TRUE(SetFakeDeviceDriver(path, driverKey, L"1.0"));
    ASSERT_TRUE(SetFakeDeviceText(path, L"Mfg", L"Old maker"));

    ASSERT_TRUE(scope.Register(path, {L"USB\\NEW"}));
    EXPECT_EQ(ReadRawProperty(path, SPDRP_HARDWAREID).data, Utf16Bytes(MultiString({L"USB\\NEW"})));
    EXPECT_EQ(ReadRawProperty(path, SPDRP_MFG).error, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(ReadRawProperty(path, SPDRP_DRIVER).error, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(MachineKeyExists(FakeDriverKeyPath(driverKey)));
}

TEST(FakeDevices, ScopeRemovesItsDevicesAndDriverKeysWhenItEnds)
{
    const std::wstring first = Instance(L"SCOPE1");
    const std::wstring second = Instance(L"SCOPE2");
    const std::wstring looseDriverKey = ClassKey + L"\\0002";
    {
        FakeDeviceScope scope;
        ASSERT_TRUE(scope.Register(first, {L"USB\\SCOPE1"}));
        ASSERT_TRUE(SetFakeDeviceDriver(first, ClassKey + L"\\0001", L"1.0"));
        ASSERT_TRUE(RegisterFakeDevice(second, {L"USB\\SCOPE2"}));
        scope.Track(second);
        const std::vector<BYTE> version = TerminatedBytes(L"2.0");
        ASSERT_TRUE(
            SetFakeDriverValue(looseDriverKey, L"DriverVersion", REG_SZ, version.data(), DWORD(version.size())));
        scope.TrackDriverKey(looseDriverKey);
        ASSERT_TRUE(IsListed(first));
        ASSERT_TRUE(IsListed(second));
    }
    EXPECT_FALSE(FakeDeviceExists(first));
    EXPECT_FALSE(FakeDeviceExists(second));
    EXPECT_FALSE(MachineKeyExists(FakeDriverKeyPath(ClassKey)));
    EXPECT_FALSE(MachineKeyExists(FakeDeviceKeyPath(DeviceKey)));
}

TEST(FakeDevices, RemovalKeepsParentsThatHoldOthers)
{
    FakeDeviceScope scope;
    ASSERT_TRUE(scope.Register(Instance(L"STAYS"), {L"USB\\STAYS"}));
    ASSERT_TRUE(SetFakeDeviceDriver(Instance(L"STAYS"), ClassKey + L"\\0001", L"1.0"));
    scope.Track(Instance(L"GOES"));
    ASSERT_TRUE(RegisterFakeDevice(Instance(L"GOES"), {L"USB\\GOES"}));
    ASSERT_TRUE(SetFakeDeviceDriver(Instance(L"GOES"), ClassKey + L"\\0002", L"1.0"));

    EXPECT_TRUE(RemoveFakeDevice(Instance(L"GOES")));
    EXPECT_TRUE(FakeDeviceExists(Instance(L"STAYS")));
    EXPECT_TRUE(IsListed(Instance(L"STAYS")));
    EXPECT_TRUE(MachineKeyExists(FakeDriverKeyPath(ClassKey + L"\\0001")));
    EXPECT_FALSE(MachineKeyExists(FakeDriverKeyPath(ClassKey + L"\\0002")));
}

TEST(FakeDevices, RemovingWhatIsNotThere)
{
    EXPECT_TRUE(RemoveFakeDevice(Instance(L"NEVER")));
    EXPECT_TRUE(RemoveFakeDriverKey(ClassKey + L"\\0099"));
    EXPECT_FALSE(RemoveFakeDevice(L""));
    EXPECT_FALSE(RemoveFakeDriverKey(L""));
    EXPECT_FALSE(SetFakeDeviceDriver(Instance(L"NEVER"), ClassKey + L"\\0099", L"1.0"));
    EXPECT_FALSE(MachineKeyExists(FakeDriverKeyPath(ClassKey)));
}

} // namespace
