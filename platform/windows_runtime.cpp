// What the compiler calls on its own in DUVAK.exe, which has no C runtime to
// supply it. The program's objects (nm -u, at -O2 with the real flags) refer
// to exactly three such helpers:
// - __stack_chk_guard and __stack_chk_fail, from -fstack-protector-strong:
//   the guard value every protected frame stores and checks, and the routine
//   called when a check fails. They live here.
// - ___chkstk_ms, the stack probe that frames larger than a page call first.
//   It comes from the static libgcc on the link line, not from here.
// Nothing else is defined here on purpose: the block helpers (memcpy, memset
// and their kin) are not called today, and a future call to one must fail the
// link with an undefined reference rather than reach a user's run (the link
// takes nothing from the import libraries by auto-import either). Built into
// DUVAK.exe only; the native build has its C library. The guard's seeding,
// which the entry point calls first, lives here beside the guard.
#include "platform/windows_api.h"

extern "C" {

// A fixed value until the entry point seeds it, so that the few frames
// before the seeding are still checked against something non-zero.
uintptr_t __stack_chk_guard = 0x2B992DDFA232A5C3ull;

// A smashed frame ends the process at once with the system's own report for
// it (fast fail with a stack cookie code): no handler, no exit routine runs.
[[noreturn]] void __stack_chk_fail(void) {
    asm volatile("int $0x29" : : "c"(2) : "memory");  // FAST_FAIL_STACK_COOKIE_CHECK_FAILURE
    __builtin_unreachable();
}

__attribute__((no_stack_protector)) void SeedStackGuard(void) {
    LARGE_INTEGER counter;
    FILETIME now;
    QueryPerformanceCounter(&counter);
    GetSystemTimeAsFileTime(&now);
    uint64_t seed = static_cast<uint64_t>(counter.QuadPart);
    seed ^= (static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) * 0x9E3779B97F4A7C15ull;
    seed ^= (static_cast<uint64_t>(GetCurrentProcessId()) << 32 | GetCurrentThreadId()) * 0xC2B2AE3D27D4EB4Full;
    seed ^= reinterpret_cast<uintptr_t>(&counter);  // the stack's address differs with ASLR
    seed ^= seed >> 31;
    // A zero low byte stops string overruns from copying the guard's value.
    seed &= ~static_cast<uint64_t>(0xFF);
    __stack_chk_guard = seed != 0 ? seed : 0x2B992DDFA232A500ull;
}

}  // extern "C"
