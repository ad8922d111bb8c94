#include "frontend/console_output.h"

#include <stdarg.h>

#include "common/types.h"

HANDLE StdOutHandle = INVALID_HANDLE_VALUE;

BOOL WriteText(LPCWSTR text, HANDLE handle) {
    DWORD length = 0;
    while (text[length] != 0) ++length;
    // The conversion buffer lives in this frame and is exactly as long as the
    // text (one spare byte keeps an empty text from declaring an empty array).
    char buffer[length + 1];
    CharToOemBuffW(text, buffer, length);
    DWORD written;
    return WriteFile(handle, buffer, length, &written, nullptr);
}

// Writes the pieces in order and stops at the first failed write.
static BOOL WritePieces(HANDLE handle, LPCWSTR piece, va_list more) {
    for (; piece != nullptr; piece = va_arg(more, LPCWSTR)) {
        if (!WriteText(piece, handle)) return FALSE;
    }
    return TRUE;
}

void Print(LPCWSTR piece, ...) {
    if (StdOutHandle == INVALID_HANDLE_VALUE) {
        HANDLE found = GetStdHandle(STD_OUTPUT_HANDLE);
        StdOutHandle = found == INVALID_HANDLE_VALUE ? nullptr : found;
    }
    if (StdOutHandle == nullptr) return;
    va_list more;
    va_start(more, piece);
    // After one failed write standard output stays silent for the rest of the run.
    if (!WritePieces(StdOutHandle, piece, more)) StdOutHandle = nullptr;
    va_end(more);
}

void Fail(LPCWSTR piece, ...) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
        va_list more;
        va_start(more, piece);
        WritePieces(handle, piece, more);
        va_end(more);
    }
    ExitProcess(EXIT_CODE_ERROR);
}
