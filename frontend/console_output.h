// The two writers through which every message leaves the program.
#pragma once

#include "platform/windows_api.h"

// Standard output's handle: all ones until first looked up, then a usable
// handle, or null once standard output is missing or a write to it failed.
extern HANDLE StdOutHandle;

// Converts one NUL-terminated text to the OEM code page, one byte per UTF-16
// unit, and writes it to the handle with one WriteFile call.
BOOL WriteText(LPCWSTR text, HANDLE handle);

// Each takes the pieces of one message, ended by a null pointer.
void Print(LPCWSTR piece, ...) __attribute__((sentinel));
[[noreturn]] void Fail(LPCWSTR piece, ...) __attribute__((sentinel));
