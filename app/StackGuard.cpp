// The canary that -fstack-protector-strong checks, for the product itself.
// GCC's own runtime for it (libssp) seeds the canary through
// CryptAcquireContext, which maps eight more DLLs before main (user32, gdi32,
// crypt32 and rsaenh among them) and adds some 20 ms to every start under
// Wine. ADVAPI32's RtlGenRandom maps nothing under Wine, but Windows forwards
// it to CRYPTBASE.dll, which the loader then looks for beside the executable
// first, before main can restrict the search. So the seed comes from KERNEL32
// alone, as the MSVC runtime seeds its own cookie: clocks, counters, process
// and thread ids and the addresses that ASLR moves. With both symbols defined
// here, libssp is not linked at all.

#include <windows.h>

#include <cstdint>

extern "C" {

// Compared by every protected function on its way out.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
std::uintptr_t __stack_chk_guard = 0;

// A protected function found its canary overwritten: nothing on the stack
// can be trusted any more, so the process ends at once, with no handler or
// exit routine run, and with the code /GS gives in the same case.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
[[noreturn]] void __stack_chk_fail()
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}
}

namespace {

// splitmix64's finaliser: every bit of the result depends on every bit of
// the input, so sources that differ in a few low bits (a process id, a
// counter) still give canaries that differ everywhere.
constexpr std::uint64_t Mix(std::uint64_t value)
{
    value = (value ^ (value >> 30U)) * 0xbf58476d1ce4e5b9U;
    value = (value ^ (value >> 27U)) * 0x94d049bb133111ebU;
    return value ^ (value >> 31U);
}

// Runs with the other constructors, before main; it carries no canary of its
// own, as the canary changes under it.
__attribute__((constructor, no_stack_protector)) void SeedStackGuard()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::uint64_t sources[] = {
        (std::uint64_t{now.dwHighDateTime} << 32U) | now.dwLowDateTime,
        static_cast<std::uint64_t>(counter.QuadPart),
        (std::uint64_t{GetCurrentProcessId()} << 32U) | GetCurrentThreadId(),
        GetTickCount64(),
        // Where ASLR put this thread's stack and this image.
        reinterpret_cast<std::uintptr_t>(&now),
        reinterpret_cast<std::uintptr_t>(&__stack_chk_guard),
    };
    std::uint64_t seed = 0;
    for (const std::uint64_t source : sources) {
        seed = Mix(seed ^ source);
    }
    if (seed == 0) {
        // libssp's fallback: the bytes 0, '\n' and 0xff end a string copy
        // before it reaches the return address.
        seed = 0xff0a000000000000U;
    }
    __stack_chk_guard = seed;
}

} // namespace
