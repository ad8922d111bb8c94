// Test tool: keeps a file open for writing, as an editor or a logger would,
// so the tests can show how DUVAK reports a file another process holds.
// Usage: holder.exe FILE. Writes "held\n" to standard output once the file is
// open, then keeps it open until its standard input ends.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    DWORD written;
    if (argc != 2) {
        static const char usage[] = "usage: holder.exe FILE\n";
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), usage, sizeof usage - 1, &written, nullptr);
        return 120;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        static const char failed[] = "holder: the file cannot be opened for writing\n";
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), failed, sizeof failed - 1, &written, nullptr);
        return 121;
    }
    static const char held[] = "held\n";
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), held, sizeof held - 1, &written, nullptr);
    char buffer[256];
    DWORD got;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got != 0) {
    }
    CloseHandle(file);
    return 0;
}
