#include "DllSearch.h"
#include "UniqueModule.h"

#include <gtest/gtest.h>

namespace {

// Built into this program's own folder (tests/app/CMakeLists.txt).
constexpr const wchar_t* plantedDll = L"DllSearchProbe.dll";

// Changes the search order of the whole process: its own suite, so that it
// runs in a process of its own.
TEST(DllSearch, DllBesideTheProgramLoadsByNameOnlyBeforeTheRestriction)
{
    UniqueModule before(LoadLibraryW(plantedDll));
    ASSERT_TRUE(before.IsValid()) << "error " << GetLastError();
    EXPECT_NE(GetProcAddress(before.Get(), "DllSearchProbeAnswer"), nullptr);
    before.Reset();
    // Still loaded, it would be handed back by name whatever the search order.
    ASSERT_EQ(GetModuleHandleW(plantedDll), nullptr);
    // Not loaded yet: its load below goes through the search.
    ASSERT_EQ(GetModuleHandleW(L"winhttp.dll"), nullptr);

    ASSERT_TRUE(RestrictDllSearchToSystem32());
    SetLastError(0xdeadbeef);
    const UniqueModule after(LoadLibraryW(plantedDll));
    EXPECT_FALSE(after.IsValid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    const UniqueModule systemDll(LoadLibraryW(L"winhttp.dll"));
    EXPECT_TRUE(systemDll.IsValid()) << "error " << GetLastError();
}

} // namespace
