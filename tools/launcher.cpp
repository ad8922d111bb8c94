// Starts DUVAK.exe (found beside this program) under Wine and records how it
// ended, for tools/duvak and the end-to-end tests.
//
//   launcher.exe MARKER HEX       the command line is HEX, the UTF-8 bytes of
//                                 the whole line in hexadecimal (an empty
//                                 argument gives an empty line): the tests
//                                 control every character DUVAK.exe sees,
//                                 leading spaces, tabs and unbalanced quotes
//                                 that Wine would otherwise re-quote
//   launcher.exe MARKER -- ARGS   DUVAK.exe gets ARGS exactly as Wine wrote
//                                 them into this program's own command line,
//                                 as if Wine had started DUVAK.exe itself
//
// MARKER is a file that tells the caller what no exit status can: Wine's own
// failures end a process with 0 or 1 too (a start dropped by a server that
// was exiting, a server killed mid-run). It is made, empty, just before
// DUVAK.exe's process is created (and deleted again if that fails), and once
// DUVAK.exe has ended it holds its exit code in decimal and a line feed. So:
// no marker, DUVAK.exe never ran; an empty one, it ran but its end was not
// seen; a number, DUVAK.exe itself ended with it.
//
// This program and DUVAK.exe run in a job that ends DUVAK.exe when this
// program ends, however it ends: a runner killed outright leaves no
// comparison running. The standard handles are passed through and the exit
// code is the child's.
#include <windows.h>

#include <string>

namespace {

// Exit codes of the launcher itself, far from DUVAK's 0, 1 and 2.
constexpr UINT LAUNCH_USAGE = 120;
constexpr UINT LAUNCH_FAILED = 121;

[[noreturn]] void Die(const std::string& text, UINT code) {
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
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

// Past one token of the line Wine wrote: its own program path, quoted, or
// the marker's, quoted where it holds a space. Neither can hold a quote.
const wchar_t* PastToken(const wchar_t* p) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (*p == L'"') {
        ++p;
        while (*p != 0 && *p != L'"') ++p;
        return *p == 0 ? p : p + 1;
    }
    while (*p != 0 && *p != L' ' && *p != L'\t') ++p;
    return p;
}

// The arguments after "--", as Wine wrote them: it joins them with one space.
std::wstring PassedArguments() {
    const wchar_t* p = PastToken(PastToken(GetCommandLineW()));
    while (*p == L' ' || *p == L'\t') ++p;
    if (p[0] != L'-' || p[1] != L'-' || (p[2] != 0 && p[2] != L' ')) {
        Die("launcher: the command line holds no --\n", LAUNCH_USAGE);
    }
    return std::wstring(p[2] == 0 ? p + 2 : p + 3);
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

// Puts this program in a job whose last handle, this program's, ends every
// process in it: DUVAK.exe is in it from its creation on.
void EndWithThisProgram() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        Die("launcher: no job for DUVAK.exe: error " + std::to_string(GetLastError()) + "\n",
            LAUNCH_FAILED);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || (argc > 3 && lstrcmpW(argv[2], L"--") != 0)) {
        Die("usage: launcher.exe MARKER HEX-OF-UTF8-COMMAND-LINE | MARKER -- ARGUMENTS\n",
            LAUNCH_USAGE);
    }
    const wchar_t* marker = argv[1];
    const std::wstring target = TargetBesideThisProgram();
    std::wstring line;
    if (lstrcmpW(argv[2], L"--") != 0) {
        line = DecodeCommandLine(argv[2]);
    } else {
        const std::wstring arguments = PassedArguments();
        line = L"\"" + target + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    }
    EndWithThisProgram();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = Inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Die("launcher: the marker cannot be made\n", LAUNCH_FAILED);
    CloseHandle(file);
    // CreateProcessW may write into the command line buffer, so it gets a
    // writable copy with its terminating NUL.
    if (!CreateProcessW(target.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        const DWORD error = GetLastError();
        DeleteFileW(marker);
        Die("launcher: DUVAK.exe could not be started: error " + std::to_string(error) + "\n",
            LAUNCH_FAILED);
    }
    DWORD code = LAUNCH_FAILED;
    if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &code)) {
        Die("launcher: the end of DUVAK.exe was not seen: error " +
                std::to_string(GetLastError()) + "\n", LAUNCH_FAILED);
    }
    const std::string record = std::to_string(code) + "\n";
    DWORD written = 0;
    file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
        CloseHandle(file);
    }
    ExitProcess(code);
}
