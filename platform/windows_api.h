// The program's one view of the operating system: the Windows types, constants
// and functions it uses, under their Windows names, declared here in place of
// windows.h.
//
// In the Windows build these declarations bind to the import libraries of
// KERNEL32.dll and USER32.dll, so every call is the real API through its import
// slot. In the native test build the same functions are defined by the
// simulated Windows under tests/. Text is UTF-16 as char16_t, because wchar_t
// is 32 bits wide on Linux; with C linkage the symbol names are the same
// either way.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define DUVAK_IMPORT __declspec(dllimport)
#define WINAPI __stdcall
#define WINAPIV __cdecl
#else
#define DUVAK_IMPORT
#define WINAPI
#define WINAPIV
#endif

extern "C" {

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int16_t SHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t SIZE_T;
typedef char16_t WCHAR;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _COORD {
    SHORT X;
    SHORT Y;
} COORD;

typedef struct _SMALL_RECT {
    SHORT Left;
    SHORT Top;
    SHORT Right;
    SHORT Bottom;
} SMALL_RECT;

typedef struct _CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
} CONSOLE_SCREEN_BUFFER_INFO;

typedef struct _SYSTEM_INFO {
    union {
        DWORD dwOemId;
        struct {
            WORD wProcessorArchitecture;
            WORD wReserved;
        } s;
    } u;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO;

#define EXCEPTION_MAXIMUM_PARAMETERS 15

typedef struct _EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD;

struct _CONTEXT;  // only ever passed through by pointer

typedef struct _EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    struct _CONTEXT* ContextRecord;
} EXCEPTION_POINTERS;

typedef LONG(WINAPI* LPTOP_LEVEL_EXCEPTION_FILTER)(EXCEPTION_POINTERS* info);

struct _SECURITY_ATTRIBUTES;  // never given: always a null pointer
struct _OVERLAPPED;           // never given: all I/O here is synchronous

// Standard handles.
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

// Files.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

// File mapping.
#define PAGE_READONLY 0x02u
#define FILE_MAP_READ 0x0004u

// Memory.
#define LMEM_FIXED 0x0000u

// Reparse points.
#define FSCTL_GET_REPARSE_POINT 0x000900A8u
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE 16384u
#define ERROR_MORE_DATA 234u
#define ERROR_NOT_A_REPARSE_POINT 4390u

// Exceptions.
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u
#define EXCEPTION_CONTINUE_SEARCH 0

// Process and command line.
DUVAK_IMPORT LPWSTR WINAPI GetCommandLineW(void);
DUVAK_IMPORT __attribute__((noreturn)) void WINAPI ExitProcess(UINT exitCode);
DUVAK_IMPORT LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);
DUVAK_IMPORT DWORD WINAPI GetCurrentProcessId(void);
DUVAK_IMPORT DWORD WINAPI GetCurrentThreadId(void);
DUVAK_IMPORT void WINAPI GetSystemTimeAsFileTime(FILETIME* time);

// Standard handles and text output.
DUVAK_IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
DUVAK_IMPORT BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite,
                                   LPDWORD bytesWritten, struct _OVERLAPPED* overlapped);
DUVAK_IMPORT BOOL WINAPI CharToOemBuffW(LPCWSTR source, LPSTR destination, DWORD length);

// Formatting.
DUVAK_IMPORT int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...);

// Memory.
DUVAK_IMPORT HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);

// Files.
DUVAK_IMPORT HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                       struct _SECURITY_ATTRIBUTES* security,
                                       DWORD disposition, DWORD flags, HANDLE templateFile);
DUVAK_IMPORT BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
DUVAK_IMPORT BOOL WINAPI CloseHandle(HANDLE object);
DUVAK_IMPORT BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer,
                                         DWORD inBufferSize, LPVOID outBuffer,
                                         DWORD outBufferSize, LPDWORD bytesReturned,
                                         struct _OVERLAPPED* overlapped);
DUVAK_IMPORT DWORD WINAPI GetLastError(void);

// File mapping.
DUVAK_IMPORT void WINAPI GetSystemInfo(SYSTEM_INFO* info);
DUVAK_IMPORT HANDLE WINAPI CreateFileMappingW(HANDLE file, struct _SECURITY_ATTRIBUTES* security,
                                              DWORD protect, DWORD maximumSizeHigh,
                                              DWORD maximumSizeLow, LPCWSTR name);
DUVAK_IMPORT LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                                         DWORD offsetLow, SIZE_T bytesToMap);
DUVAK_IMPORT BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress);

// Console screen buffer.
DUVAK_IMPORT BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console,
                                                    CONSOLE_SCREEN_BUFFER_INFO* info);
DUVAK_IMPORT BOOL WINAPI WriteConsoleOutputCharacterW(HANDLE console, LPCWSTR characters,
                                                      DWORD length, COORD position,
                                                      LPDWORD written);

// High-resolution timing.
DUVAK_IMPORT BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
DUVAK_IMPORT BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// Seeds the stack protector's guard from sources that differ between runs.
// Called first thing at the entry point, before any protected frame returns.
void SeedStackGuard(void);

}  // extern "C"
