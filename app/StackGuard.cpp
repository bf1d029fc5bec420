// The canary that -fstack-protector-strong checks, for the product itself.
// GCC's own runtime for it (libssp) seeds the canary through
// CryptAcquireContext, which maps eight more DLLs before main (user32, gdi32,
// crypt32 and rsaenh among them) and adds some 20 ms to every start under
// Wine. RtlGenRandom, from the ADVAPI32 already imported, maps nothing. With
// both symbols defined here, libssp is not linked at all.

#include <windows.h>

#include <ntsecapi.h>

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

// Runs with the other constructors, before main; it carries no canary of its
// own, as the canary changes under it.
__attribute__((constructor, no_stack_protector)) void SeedStackGuard()
{
    std::uintptr_t seed = 0;
    if (!RtlGenRandom(&seed, sizeof(seed)) || seed == 0) {
        // libssp's fallback: the bytes 0, '\n' and 0xff end a string copy
        // before it reaches the return address.
        seed = 0xff0a000000000000U;
    }
    __stack_chk_guard = seed;
}

} // namespace
