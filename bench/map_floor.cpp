// The platform floor DUVAK.exe is measured against: the Windows calls DUVAK
// makes for N files, in the same order, in a loop with nothing else in it.
// Whatever DUVAK.exe takes beyond this program is its own overhead.
//
//   map_floor [-user32] [-memcmp | -maponly] file1 file2 [file3 ...]
//
// Prints one verdict line on standard output and exits 0 identical,
// 1 different, 2 error, like DUVAK. Its own peak working set goes to standard
// error as "peak_working_set_bytes=N" so a benchmark can read the memory of
// the Windows process itself. With -memcmp each chunk is compared by the C
// runtime's memcmp instead of word by word, to show what a vector comparison
// would change at the file level. With -maponly the views are mapped and
// unmapped but never read (no page is faulted in, the verdict is "same
// data"): the cost of the mapping calls alone. With -user32 it first loads
// USER32.dll, which DUVAK.exe imports and this program does not.
#define WIN32_LEAN_AND_MEAN
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "compare/word_compare.h"

namespace {

int Fail(const wchar_t* what, const wchar_t* name) {
    fwprintf(stderr, L"map_floor: %ls %ls (error %lu)\n", what, name, GetLastError());
    return 2;
}

void ReportPeak() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        fprintf(stderr, "peak_working_set_bytes=%llu\n",
                static_cast<unsigned long long>(counters.PeakWorkingSetSize));
    }
}

int Verdict(const char* text, int code) {
    puts(text);
    fflush(stdout);
    ReportPeak();
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    enum { WORDS, MEMCMP, MAP_ONLY } mode = WORDS;
    int first = 1;
    for (; first < argc && argv[first][0] == L'-'; ++first) {
        if (wcscmp(argv[first], L"-memcmp") == 0) {
            mode = MEMCMP;
        } else if (wcscmp(argv[first], L"-maponly") == 0) {
            mode = MAP_ONLY;
        } else if (wcscmp(argv[first], L"-user32") == 0) {
            // What importing USER32.dll, as DUVAK.exe does, adds to start-up.
            if (LoadLibraryW(L"user32.dll") == nullptr) return Fail(L"cannot load", L"user32.dll");
        } else {
            break;
        }
    }
    const int count = argc - first;
    if (count < 2) {
        fputs("usage: map_floor [-user32] [-memcmp | -maponly] file1 file2 [file3 ...]\n", stderr);
        return 2;
    }
    wchar_t** names = argv + first;
    HANDLE* handles = static_cast<HANDLE*>(HeapAlloc(GetProcessHeap(), 0, sizeof(HANDLE) * count));
    if (handles == nullptr) return 2;

    // Every file is opened before any size is asked for, as DUVAK does.
    for (int i = 0; i < count; ++i) {
        handles[i] = CreateFileW(names[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handles[i] == INVALID_HANDLE_VALUE) return Fail(L"cannot open", names[i]);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handles[0], &size)) return Fail(L"cannot size", names[0]);
    for (int i = 1; i < count; ++i) {
        LARGE_INTEGER other;
        if (!GetFileSizeEx(handles[i], &other)) return Fail(L"cannot size", names[i]);
        if (other.QuadPart != size.QuadPart) return Verdict("different sizes", 1);
    }
    if (size.QuadPart == 0) return Verdict("same data", 0);

    for (int i = 0; i < count; ++i) {
        HANDLE mapping = CreateFileMappingW(handles[i], nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping == nullptr) return Fail(L"cannot map", names[i]);
        CloseHandle(handles[i]);
        handles[i] = mapping;
    }

    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const unsigned long long total = static_cast<unsigned long long>(size.QuadPart);
    const unsigned long long granule = system.dwAllocationGranularity;
    for (unsigned long long offset = 0; offset < total; offset += granule) {
        const SIZE_T length = static_cast<SIZE_T>(total - offset < granule ? total - offset : granule);
        const DWORD high = static_cast<DWORD>(offset >> 32), low = static_cast<DWORD>(offset);
        const void* reference = MapViewOfFile(handles[0], FILE_MAP_READ, high, low, length);
        if (reference == nullptr) return Fail(L"cannot view", names[0]);
        for (int i = 1; i < count; ++i) {
            const void* view = MapViewOfFile(handles[i], FILE_MAP_READ, high, low, length);
            if (view == nullptr) return Fail(L"cannot view", names[i]);
            // The bytes past the end of a file read as zeros in every view, so
            // a partial last word is compared whole, as DUVAK does.
            const bool equal =
                mode == MAP_ONLY ? true
                : mode == MEMCMP ? memcmp(reference, view, length) == 0
                                 : WordsEqual(static_cast<const uint64_t*>(reference),
                                              static_cast<const uint64_t*>(view),
                                              (length + 7) / 8);
            UnmapViewOfFile(view);
            if (!equal) return Verdict("different contents", 1);
        }
        UnmapViewOfFile(reference);
    }
    return Verdict("same data", 0);
}
