// A program built like DUVAK.exe (same runtime support, same flags) whose one
// job is to overrun a protected frame: it must end at the guard check with the
// stack cookie fast fail instead of returning into the smashed frame.
#include "platform/windows_api.h"

namespace {

volatile DWORD overrun = 64;  // read at run time, so the compiler cannot see the overrun

__attribute__((noinline)) void Smash(const char* text) {
    char buffer[16];
    for (DWORD i = 0; i < overrun; ++i) buffer[i] = text[i % 4];
    asm volatile("" : : "r"(buffer) : "memory");
}

void Say(const char* text, DWORD length) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

}  // namespace

extern "C" [[noreturn]] void SmashStart() {
    SeedStackGuard();
    Say("smashing\n", 9);
    Smash("XXXX");
    Say("returned\n", 9);
    ExitProcess(0);
}
