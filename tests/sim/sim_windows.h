// A simulated Windows for the native tests: it defines the platform functions
// that the program calls (see platform/windows_api.h) over in-memory files, a
// console screen buffer, standard handles, a performance counter and a call
// log, and it can make any of them fail the way the real one can.
//
// A scenario runs the program (or one of its procedures) until it returns or
// calls ExitProcess; ExitProcess and faults inside mapped views jump back to
// the runner, so a failing run ends the scenario exactly as it ends a process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/types.h"
#include "platform/windows_api.h"

namespace sim {

constexpr DWORD PAGE_SIZE = 4096;

// A file on the simulated disk. Its contents are either `data`, or, when
// `generatedSize` is set, a pattern computed from the offset (so that sizes
// past 4 GiB cost nothing), with `patches` laid over it.
struct File {
    std::vector<uint8_t> data;
    std::optional<uint64_t> generatedSize;
    uint8_t generatorSeed = 0;
    std::map<uint64_t, uint8_t> patches;

    bool directory = false;
    bool accessDenied = false;  // CreateFileW fails with ERROR_ACCESS_DENIED
    bool sizeFails = false;     // GetFileSizeEx fails
    bool mappingFails = false;  // CreateFileMappingW fails
    std::vector<uint64_t> viewFailsAt;    // MapViewOfFile fails for these offsets
    std::vector<uint64_t> inPageErrorAt;  // reading this byte's page raises an in-page error
    std::vector<uint64_t> accessViolationAt;  // reading this byte's page is an access violation
    bool zeros = false;  // generated contents are all zero bytes (cheap views of any size)

    // Reparse data: absent means "not a reparse point"; reparseError, when set,
    // is what DeviceIoControl fails with instead.
    std::optional<std::vector<uint8_t>> reparseData;
    std::optional<DWORD> reparseError;

    uint64_t Size() const { return generatedSize ? *generatedSize : data.size(); }
    uint8_t ByteAt(uint64_t offset) const;
    // Lays a patch that makes the byte at `offset` differ from what it was.
    void ChangeByte(uint64_t offset) { patches[offset] = static_cast<uint8_t>(ByteAt(offset) ^ 0x5A); }
};

enum class StdHandle { Usable, Null, Invalid };

struct Stream {
    StdHandle kind = StdHandle::Usable;
    int failFromWrite = 0;  // the k-th WriteFile (1-based) and all later ones fail; 0: never
    int writeCount = 0;
    std::string bytes;                // everything written successfully
    std::vector<std::string> writes;  // one entry per successful WriteFile
};

struct Console {
    bool present = true;
    bool infoFails = false;
    SHORT width = 80, height = 25;
    COORD cursor = {4, 3};
    std::vector<char16_t> cells;  // width * height, filled with spaces on reset
    std::vector<std::pair<COORD, std::u16string>> writes;
    int openHandles = 0;
    std::u16string Row(SHORT y) const;
};

// What the log records: every platform function the program calls, and the
// two events of an unhandled exception (the fault, the filter's answer).
enum class Api {
    GetCommandLineW, ExitProcess, SetUnhandledExceptionFilter, GetStdHandle, WriteFile,
    CharToOemBuffW, wsprintfW, LocalAlloc, CreateFileW, GetFileSizeEx, CloseHandle,
    DeviceIoControl, GetLastError, GetSystemInfo, CreateFileMappingW, MapViewOfFile,
    UnmapViewOfFile, GetConsoleScreenBufferInfo, WriteConsoleOutputCharacterW,
    QueryPerformanceCounter, QueryPerformanceFrequency, Exception, Filter,
};
const char* Name(Api api);

// What a handle argument stands for.
enum class Object { None, File, Mapping, Console, Stream, Unknown };

using Numbers = std::vector<uint64_t>;

struct Call {
    Api api;
    Numbers args = {};      // the arguments in order but the name or handle below, and
                            // an optional pointer as 1 (given) or 0
    std::string text = {};  // the bytes written, or the text formatted or shown (UTF-8)
    std::u16string object = {};  // the file a name or handle stands for; CONOUT$, stdout or stderr
    Object kind = Object::None;  // of the handle argument, if the call takes one
    int64_t result = 0;  // the return value; a handle or pointer as 1 (usable) or 0
    DWORD error = 0;     // the last error the call set
};

// How one scenario ended.
struct Outcome {
    bool returned = false;          // the procedure returned normally
    std::optional<UINT> exitCode;   // ExitProcess was called
    std::optional<DWORD> crashCode; // an exception went unhandled (default course)
    std::optional<std::string> stopped;  // the run mapped more views than decide it: why
};

struct World {
    std::u16string commandLine = u"DUVAK.exe";
    std::map<std::u16string, File> files;
    DWORD granularity = 65536;

    Stream out, err;
    Console console;

    int localAllocFailAt = 0;  // the k-th LocalAlloc (1-based) fails; 0: never
    std::vector<SIZE_T> allocations;

    std::vector<LONGLONG> counterReadings;  // returned by successive QueryPerformanceCounter calls
    std::vector<bool> counterFails;         // per call; missing entries succeed
    LONGLONG frequency = 10'000'000;
    bool frequencyFails = false;

    // Every failable operation counts; the failAtCall-th one fails the way
    // that operation fails (0: never). failableCalls counts them in a run.
    int failAtCall = 0;
    int failableCalls = 0;
    std::optional<size_t> failedCall;  // the index in the log of the call made to fail
    int64_t inPageAtMappedPage = 0;  // the k-th page mapped in a run (1-based) faults; 0: none
    int64_t pagesMapped = 0;

    // The views that decide a run: one more stops it, with a message, where a
    // fault would have it read on past its difference (through a terabyte,
    // for hours). The default is far above what any run of small files maps.
    int64_t viewLimit = 65536;
    int64_t viewsInRun = 0;

    std::vector<Call> log;
    LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr;
    int viewsMapped = 0;
    int maxViewsMapped = 0;
    DWORD lastError = 0;
    int counterCalls = 0;

    // Called after each call is logged, before the call does anything, so a
    // test can look at the machine at that moment (the console, say).
    std::function<void(const Call&)> onCall;
};

// The one simulated machine; Reset() gives it a fresh default state.
World& W();
void Reset();

// Files and their contents.
File& AddFile(const std::u16string& name, const std::string& contents);
File& AddFile(const std::u16string& name, std::vector<uint8_t> contents);
File& AddGeneratedFile(const std::u16string& name, uint64_t size, uint8_t seed = 0);
// A generated file of zero bytes (plus patches): its views cost next to
// nothing to map and are cheap to read even when gigabytes long.
File& AddZeroFile(const std::u16string& name, uint64_t size);

// A ring of file entries in the given order, as the command line builds it,
// for calling the procedures directly. Freed by Reset().
FileEntry* MakeRing(const std::vector<std::u16string>& names);

// Runs `procedure` as a process would: until it returns, exits or crashes.
Outcome Run(const std::function<void()>& procedure);
// Runs the whole program with the given command line.
Outcome RunProgram(const std::u16string& commandLine);

// Another process opens the file and keeps it open for the rest of the
// scenario, with the access and sharing given.
void HoldOpen(const std::u16string& name, DWORD access, DWORD share);

// The calls of one kind in the log, in order, and the object each was about.
std::vector<Call> Calls(Api api);
std::vector<std::u16string> Objects(Api api);
// The arguments of the calls of one kind, of all or of those about one object.
std::vector<Numbers> Args(Api api, const std::optional<std::u16string>& object = std::nullopt);
// The index in the log of the first call of `api` at or after `from`, or of
// the last one. Where there is none they throw, which fails the test.
size_t IndexOf(Api api, size_t from = 0);
size_t LastIndexOf(Api api);
// The views mapped and unmapped, in order, as "+a0" / "-a0": the sign, the
// file name and the chunk index (the offset in allocation granules).
std::vector<std::string> ViewEvents();

std::string Utf8(const std::u16string& text);

}  // namespace sim
