#include "compare/progress.h"

namespace {

constexpr WCHAR TEXT_PROGRESS[] = u" 0% compared.";
constexpr WCHAR TEXT_PROGRESS_BLANK[] = u"             ";
constexpr WCHAR FORMAT_PERCENTAGE[] = u"%2u";
constexpr DWORD PROGRESS_CELLS = sizeof(TEXT_PROGRESS) / sizeof(WCHAR) - 1;
static_assert(sizeof(TEXT_PROGRESS_BLANK) == sizeof(TEXT_PROGRESS));

}  // namespace

HANDLE OpenProgress(ProgressAnchor* anchor) {
    // The console device itself, not standard output: the text shows even when
    // standard output is redirected, and never reaches the redirected file.
    HANDLE console = CreateFileW(u"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return nullptr;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) {
        CloseHandle(console);
        return nullptr;
    }
    *anchor = info.dwCursorPosition;
    DWORD written;
    WriteConsoleOutputCharacterW(console, TEXT_PROGRESS, PROGRESS_CELLS, *anchor, &written);
    return console;
}

void ShowProgress(HANDLE console, ProgressAnchor anchor, DWORD percentage) {
    WCHAR cells[8];
    wsprintfW(cells, FORMAT_PERCENTAGE, percentage);
    DWORD written;
    WriteConsoleOutputCharacterW(console, cells, 2, anchor, &written);
}

void CloseProgress(HANDLE console, ProgressAnchor anchor) {
    // The cursor never moved, so the verdict printed next starts over these cells.
    DWORD written;
    WriteConsoleOutputCharacterW(console, TEXT_PROGRESS_BLANK, PROGRESS_CELLS, anchor, &written);
    CloseHandle(console);
}
