#include "SerialPortList.h"

#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const wchar_t* const SerialCommPath = L"Hardware\\DeviceMap\\SerialComm";

using Bytes = std::vector<std::uint8_t>;

// The UTF-16 bytes of a text, with a terminator unless told otherwise.
Bytes Utf16(const std::wstring& text, bool terminated = true)
{
    Bytes bytes;
    for (const wchar_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (terminated) {
        bytes.insert(bytes.end(), {0, 0});
    }
    return bytes;
}

struct RawValue {
    std::wstring name;
    Bytes data;
};

// The values under the serial port key are the test's own: the bench takes
// the host's ports out of the prefix, and every test removes what it added.
class SerialPortList : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialCommPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.Put()),
                  ERROR_SUCCESS);
        ASSERT_EQ(ValueCount(), 0U) << "the key should hold no ports but those a test adds";
    }

    void TearDown() override
    {
        RemoveAdded();
        EXPECT_EQ(ValueCount(), 0U);
    }

    // Stores the bytes as they are, terminator or not, under type REG_SZ.
    void Add(const RawValue& value)
    {
        ASSERT_EQ(RegSetValueExW(key.Get(), value.name.c_str(), 0, REG_SZ, value.data.data(),
                                 static_cast<DWORD>(value.data.size())),
                  ERROR_SUCCESS);
        added.push_back(value.name);
    }

    void RemoveAdded()
    {
        for (const std::wstring& name : added) {
            EXPECT_EQ(RegDeleteValueW(key.Get(), name.c_str()), ERROR_SUCCESS);
        }
        added.clear();
    }

    // The value names in the order the registry enumerates them.
    [[nodiscard]] std::vector<std::wstring> EnumeratedNames() const
    {
        std::vector<std::wstring> names;
        std::vector<wchar_t> name(16384);
        for (DWORD index = 0;; ++index) {
            auto capacity = static_cast<DWORD>(name.size());
            if (RegEnumValueW(key.Get(), index, name.data(), &capacity, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            names.emplace_back(name.data(), capacity);
        }
        return names;
    }

    [[nodiscard]] DWORD ValueCount() const
    {
        DWORD values = 0;
        if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS) {
            return ~0U;
        }
        return values;
    }

    UniqueRegistryKey key;
    std::vector<std::wstring> added;
};

TEST_F(SerialPortList, AppendsTheTextOfEveryValueInRegistryOrder)
{
    struct Value {
        RawValue raw;
        std::wstring entry;
    };
    struct Case {
        const char* title = nullptr;
        std::vector<Value> values;
        PortNameList before;
    };
    const std::wstring longestName(259, L'n');
    const std::wstring textOf260Units = L"COM" + std::wstring(257, L'7');
    const Case cases[] = {
        {"no values", {}, {}},
        {"no values, list kept", {}, {L"COM1", L""}},
        // Added neither in name order nor in data order, so that an order
        // other than the registry's shows.
        {"three values",
         {{{L"\\Device\\Serial1", Utf16(L"COM4")}, L"COM4"},
          {{L"\\Device\\Serial2", Utf16(L"COM9")}, L"COM9"},
          {{L"\\Device\\Serial0", Utf16(L"COM7")}, L"COM7"}},
         {}},
        {"text after a NUL", {{{L"a", Utf16(std::wstring(L"COM3\0COM9", 9))}, L"COM3"}}, {}},
        {"NUL first", {{{L"a", Utf16(std::wstring(L"\0COM3", 5))}, L""}}, {}},
        {"empty data", {{{L"a", Bytes{}}, L""}}, {}},
        // The longer value before leaves its text in the buffer; none of it
        // may show behind the unterminated one.
        {"no terminator",
         {{{L"a", Utf16(L"COM1234567")}, L"COM1234567"}, {{L"b", Utf16(L"COM12", false)}, L"COM12"}},
         {}},
        // Each call is given the full buffer again, not what the last one used.
        {"longer value after a shorter one",
         {{{L"a", Utf16(L"COM1")}, L"COM1"}, {{L"b", Utf16(L"COM100000")}, L"COM100000"}},
         {}},
        {"text kept as it is", {{{L"a", Utf16(L" com3\t COM 4 ")}, L" com3\t COM 4 "}}, {}},
        {"equal data twice", {{{L"a", Utf16(L"COM3")}, L"COM3"}, {{L"b", Utf16(L"COM3")}, L"COM3"}}, {}},
        {"odd byte count",
         {{{L"a", Utf16(L"COM9876")}, L"COM9876"}, {{L"b", Bytes{'C', 0, 'O', 0, 'M', 0, '5', 0, '7'}}, L"COM5"}},
         {}},
        {"list that holds entries", {{{L"a", Utf16(L"COM8")}, L"COM8"}}, {L"COM8", L"x", L""}},
        {"data of exactly 520 bytes", {{{L"a", Utf16(textOf260Units, false)}, textOf260Units}}, {}},
        {"name of 259 characters", {{{longestName, Utf16(L"COM11")}, L"COM11"}}, {}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.title);
        for (const Value& value : testCase.values) {
            Add(value.raw);
        }
        PortNameList expected = testCase.before;
        for (const std::wstring& name : EnumeratedNames()) {
            for (const Value& value : testCase.values) {
                if (value.raw.name == name) {
                    expected.push_back(value.entry);
                }
            }
        }
        ASSERT_EQ(expected.size(), testCase.before.size() + testCase.values.size());

        PortNameList list = testCase.before;
        EXPECT_EQ(ReadSerialPortNames(list), testCase.values.size());
        EXPECT_EQ(list, expected);
        RemoveAdded();
    }
}

TEST_F(SerialPortList, ValueThatDoesNotFitIsSkippedAndTheWalkGoesOn)
{
    struct Case {
        const char* title = nullptr;
        RawValue value;
    };
    const Case cases[] = {
        {"data of 522 bytes", {L"b", Utf16(L"COM" + std::wstring(258, L'8'), false)}},
        {"data of 521 bytes", {L"b", Bytes(521, 'C')}},
        {"data of 4000 bytes", {L"b", Utf16(L"COM3" + std::wstring(1995, L'\0'))}},
        {"name of 260 characters", {L"b" + std::wstring(259, L'n'), Utf16(L"COM3")}},
        {"name of 1000 characters", {L"b" + std::wstring(999, L'n'), Utf16(L"COM3")}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.title);
        // Named so that every registry lists the one that does not fit second.
        Add({L"a", Utf16(L"COM1")});
        Add(testCase.value);
        Add({L"c", Utf16(L"COM2")});

        // What the enumeration reports with the reader's buffer sizes.
        std::vector<LSTATUS> results;
        for (DWORD index = 0; index < 4; ++index) {
            wchar_t name[MAX_PATH];
            wchar_t data[MAX_PATH];
            DWORD nameCapacity = MAX_PATH;
            DWORD dataBytes = sizeof(data);
            results.push_back(RegEnumValueW(key.Get(), index, name, &nameCapacity, nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(data), &dataBytes));
        }
        ASSERT_EQ(results, (std::vector<LSTATUS>{ERROR_SUCCESS, ERROR_MORE_DATA, ERROR_SUCCESS, ERROR_NO_MORE_ITEMS}));

        PortNameList list{L"COM0"};
        EXPECT_EQ(ReadSerialPortNames(list), 2U);
        EXPECT_EQ(list, (PortNameList{L"COM0", L"COM1", L"COM2"}));
        RemoveAdded();
    }
}

TEST_F(SerialPortList, KeyThatCannotBeOpenedGivesZeroAndLeavesTheListAlone)
{
    key.Reset();
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, SerialCommPath), ERROR_SUCCESS);
    PortNameList list{L"COM4", L"COM3"};
    const std::uint32_t count = ReadSerialPortNames(list);
    // The key is rebuilt as the system keeps it: volatile, gone with the
    // wineserver.
    const LSTATUS recreated = RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialCommPath, 0, nullptr, REG_OPTION_VOLATILE,
                                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.Put(), nullptr);
    ASSERT_EQ(recreated, ERROR_SUCCESS);
    EXPECT_EQ(count, 0U);
    EXPECT_EQ(list, (PortNameList{L"COM4", L"COM3"}));
}

} // namespace
