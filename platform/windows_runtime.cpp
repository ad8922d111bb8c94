// What the compiler may call on its own in a program without a C runtime:
// GCC turns block copies and clears into memcpy and memset, and may use
// memmove and memcmp. Built into DUVAK.exe only; the native build has its
// C library for these. The stack protector's guard and failure routine live
// here too, because there is no runtime library to supply them.
#include <stddef.h>

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

void* memcpy(void* destination, const void* source, size_t count) {
    void* result = destination;
    asm volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(count) : : "memory");
    return result;
}

void* memset(void* destination, int value, size_t count) {
    void* result = destination;
    asm volatile("rep stosb" : "+D"(destination), "+c"(count) : "a"(value) : "memory");
    return result;
}

void* memmove(void* destination, const void* source, size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    auto* from = static_cast<const unsigned char*>(source);
    if (to <= from || to >= from + count) return memcpy(destination, source, count);
    // Overlapping with the destination above the source: copy downwards.
    unsigned char* last = to + count - 1;
    const unsigned char* sourceLast = from + count - 1;
    asm volatile("std\n\trep movsb\n\tcld"
                 : "+D"(last), "+S"(sourceLast), "+c"(count)
                 :
                 : "memory");
    return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < count; ++i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

}  // extern "C"
