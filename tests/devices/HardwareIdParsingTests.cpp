#include "DeviceInventory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using Ids = std::vector<std::wstring>;

// A property buffer that ends exactly where an inaccessible page begins, so
// that reading one unit past its end faults instead of passing unnoticed.
class GuardedBuffer {
public:
    GuardedBuffer()
    {
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        pageSize = system.dwPageSize;
        base =
            static_cast<BYTE*>(VirtualAlloc(nullptr, SIZE_T{pageSize} * 2, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD oldProtection = 0;
        if (base == nullptr || !VirtualProtect(base + pageSize, pageSize, PAGE_NOACCESS, &oldProtection)) {
            return;
        }
        buffer = new (base + pageSize - sizeof(PropertyBuffer)) PropertyBuffer{};
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    GuardedBuffer(GuardedBuffer&&) = delete;
    GuardedBuffer& operator=(GuardedBuffer&&) = delete;
    ~GuardedBuffer()
    {
        if (base != nullptr) {
            VirtualFree(base, 0, MEM_RELEASE);
        }
    }

    [[nodiscard]] bool IsReady() const { return buffer != nullptr; }
    PropertyBuffer& Get() { return *buffer; }

    // Fills every byte with pattern, then copies the units of content to the
    // start.
    void Fill(BYTE pattern, const std::wstring& content)
    {
        std::memset(buffer->data(), pattern, sizeof(PropertyBuffer));
        std::memcpy(buffer->data(), content.data(), content.size() * sizeof(wchar_t));
    }

private:
    DWORD pageSize = 0;
    BYTE* base = nullptr;
    PropertyBuffer* buffer = nullptr;
};

struct ParseCase {
    const char* name;
    BYTE fill;
    std::wstring content; // units written at the start, over the fill
    DWORD type;
    Ids expected;
};

std::wstring Units(const wchar_t* text, std::size_t count)
{
    return {text, count};
}

const std::wstring Full255 = std::wstring(255, L'A');
const std::wstring Full256 = std::wstring(256, L'B');

const std::vector<ParseCase> ParseCases = {
    {"MultiTwoIdsInOrder", 0x00, Units(L"USB\\B\0USB\\A\0\0", 13), REG_MULTI_SZ, {L"USB\\B", L"USB\\A"}},
    {"MultiDuplicatesKept", 0x00, Units(L"X\0X\0\0", 5), REG_MULTI_SZ, {L"X", L"X"}},
    {"MultiStopsAtFirstEmptyString", 0x00, Units(L"A\0\0B\0\0", 6), REG_MULTI_SZ, {L"A"}},
    {"MultiStartingEmpty", 0xff, Units(L"\0A\0\0", 4), REG_MULTI_SZ, {}},
    {"MultiAllZero", 0x00, L"", REG_MULTI_SZ, {}},
    {"MultiAllOnes", 0xff, L"", REG_MULTI_SZ, {}},
    // No closing empty string: the strings that end inside the buffer are
    // taken, the run cut off by its end is not.
    {"MultiUnterminatedTailNotTaken", 0xff, Units(L"A\0BC\0", 5), REG_MULTI_SZ, {L"A", L"BC"}},
    {"MultiOneIdThenOnes", 0xff, Units(L"ID\0", 3), REG_MULTI_SZ, {L"ID"}},
    {"MultiIdEndingInLastUnit", 0xff, Full255 + L'\0', REG_MULTI_SZ, {Full255}},
    {"MultiIdFillingBufferUnterminated", 0x00, Full256, REG_MULTI_SZ, {}},
    {"SingleText", 0xff, Units(L"USB\\X\0", 6), REG_SZ, {L"USB\\X"}},
    {"SingleTextIsOneIdEvenWithMore", 0x00, Units(L"A\0B\0\0", 5), REG_SZ, {L"A"}},
    {"ExpandableTextUnexpanded", 0xff, Units(L"%SystemRoot%\0", 13), REG_EXPAND_SZ, {L"%SystemRoot%"}},
    {"SingleEmptyText", 0xff, Units(L"\0", 1), REG_SZ, {}},
    {"SingleAllZero", 0x00, L"", REG_SZ, {}},
    {"SingleTextEndingInLastUnit", 0xff, Full255 + L'\0', REG_SZ, {Full255}},
    // A single text with no zero at all is taken as the whole buffer, and no
    // further.
    {"SingleTextFillingBuffer", 0x00, Full256, REG_SZ, {Full256}},
    {"SingleAllOnes", 0xff, L"", REG_SZ, {std::wstring(256, static_cast<wchar_t>(0xffff))}},
    {"NumberType", 0x00, Units(L"A\0\0", 3), REG_DWORD, {}},
    {"BinaryType", 0x00, Units(L"A\0\0", 3), REG_BINARY, {}},
    {"NoType", 0x00, Units(L"A\0\0", 3), REG_NONE, {}},
    {"LinkType", 0x00, Units(L"A\0\0", 3), REG_LINK, {}},
    {"QwordType", 0x00, Units(L"A\0\0", 3), REG_QWORD, {}},
    {"ResourceListType", 0x00, Units(L"A\0\0", 3), REG_RESOURCE_LIST, {}},
};

TEST(HardwareIdParsing, CraftedBuffersGiveTheirIdsAndNeverReadPastTheEnd)
{
    GuardedBuffer guarded;
    ASSERT_TRUE(guarded.IsReady());
    for (const ParseCase& testCase : ParseCases) {
        SCOPED_TRACE(testCase.name);
        ASSERT_LE(testCase.content.size(), guarded.Get().size());
        guarded.Fill(testCase.fill, testCase.content);
        EXPECT_EQ(ParseHardwareIds(guarded.Get(), testCase.type), testCase.expected);
    }
}

TEST(HardwareIdParsing, GuardPageCatchesAReadPastTheEnd)
{
    // The check above relies on the page after the buffer faulting.
    GuardedBuffer guarded;
    ASSERT_TRUE(guarded.IsReady());
    const auto* pastEnd = reinterpret_cast<const BYTE*>(guarded.Get().data() + guarded.Get().size());
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(pastEnd, &info, sizeof(info)), 0u);
    EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_NOACCESS));
    EXPECT_EQ(info.BaseAddress, pastEnd);
}

} // namespace
