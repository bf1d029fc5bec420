#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

// From app/StackGuard.cpp, linked into this program in place of libssp.
extern "C" std::uintptr_t __stack_chk_guard; // NOLINT(bugprone-reserved-identifier,readability-identifier-naming)

namespace {

// Writes count bytes into a 16-byte array of its own frame, which the
// canary guards.
__attribute__((noinline)) void FillOwnArray(std::size_t count)
{
    char array[16];
    volatile char* target = array;
    for (std::size_t index = 0; index < count; ++index) {
        target[index] = 'x';
    }
}

TEST(StackGuard, IsSeededBeforeMain)
{
    EXPECT_NE(__stack_chk_guard, 0U);
}

TEST(StackGuard, DiffersFromProcessToProcess)
{
    // The death test's child is a new process of this program, seeded afresh;
    // it hands back the low half of its canary as its exit code.
    const auto own = static_cast<DWORD>(__stack_chk_guard);
    EXPECT_EXIT(
        ExitProcess(static_cast<UINT>(__stack_chk_guard)), [own](int code) { return static_cast<DWORD>(code) != own; },
        "");
}

TEST(StackGuard, OverrunEndsTheProcessWithStackBufferOverrun)
{
    FillOwnArray(16);
    EXPECT_EXIT(
        FillOwnArray(40), [](int code) { return static_cast<DWORD>(code) == STATUS_STACK_BUFFER_OVERRUN; }, "");
}

} // namespace
