// Test tool: starts DUVAK.exe (found beside this program) with an exact
// command line, so the end-to-end tests control every character the program
// sees, including leading spaces, tabs and unbalanced quotes that Wine would
// otherwise re-quote. Usage: launcher.exe HEX MARKER, where HEX is the UTF-8
// bytes of the command line in hexadecimal (an empty argument gives an empty
// line) and MARKER a file the launcher creates just before it creates
// DUVAK.exe's process, and deletes again if that fails: so the marker exists
// exactly when DUVAK.exe was reached, whatever DUVAK.exe then does.
// The standard handles are passed through and the exit code is the child's.
#include <windows.h>

#include <string>

namespace {

// Exit codes of the launcher itself, far from DUVAK's 0, 1 and 2.
constexpr UINT LAUNCH_USAGE = 120;
constexpr UINT LAUNCH_FAILED = 121;

[[noreturn]] void Die(const char* text, UINT code) {
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, lstrlenA(text), &written, nullptr);
    ExitProcess(code);
}

int HexDigit(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return -1;
}

std::wstring DecodeCommandLine(const wchar_t* hex) {
    std::string bytes;
    for (const wchar_t* p = hex; *p != 0; p += 2) {
        const int high = HexDigit(p[0]);
        const int low = p[1] == 0 ? -1 : HexDigit(p[1]);
        if (high < 0 || low < 0) Die("launcher: the argument is not hexadecimal\n", LAUNCH_USAGE);
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    if (bytes.empty()) return std::wstring();
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                          static_cast<int>(bytes.size()), nullptr, 0);
    if (units <= 0) Die("launcher: the command line is not UTF-8\n", LAUNCH_USAGE);
    std::wstring line(units, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                        static_cast<int>(bytes.size()), line.data(), units);
    return line;
}

std::wstring TargetBesideThisProgram() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) Die("launcher: own path unknown\n", LAUNCH_FAILED);
    std::wstring target(path, length);
    target.erase(target.find_last_of(L"\\/") + 1);
    return target + L"DUVAK.exe";
}

HANDLE Inheritable(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return handle;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) Die("usage: launcher.exe HEX-OF-UTF8-COMMAND-LINE MARKER\n", LAUNCH_USAGE);
    const std::wstring target = TargetBesideThisProgram();
    std::wstring line = DecodeCommandLine(argv[1]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = Inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    const HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) Die("launcher: the marker cannot be made\n", LAUNCH_FAILED);
    CloseHandle(marker);
    // CreateProcessW may write into the command line buffer, so it gets a
    // writable copy with its terminating NUL.
    if (!CreateProcessW(target.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        const std::string text = "launcher: DUVAK.exe could not be started: error " +
                                 std::to_string(GetLastError()) + "\n";
        DeleteFileW(argv[2]);
        Die(text.c_str(), LAUNCH_FAILED);
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = LAUNCH_FAILED;
    if (!GetExitCodeProcess(child.hProcess, &code)) code = LAUNCH_FAILED;
    ExitProcess(code);
}
