#include "tests/sim/sim_windows.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "frontend/console_output.h"

extern "C" void Start();

namespace sim {
namespace {

World world;
sigjmp_buf exitJump;
bool running = false;
Outcome* current = nullptr;

// Handles are small tagged numbers, so the log can name what they stand for.
enum : uintptr_t {
    STDOUT_HANDLE = 0x10,
    STDERR_HANDLE = 0x20,
    CONSOLE_HANDLE = 0x30,
    FILE_HANDLE_BASE = 0x10000,
    MAPPING_HANDLE_BASE = 0x20000,
};

struct OpenObject {
    enum Kind { FileObject, MappingObject, ConsoleObject } kind;
    std::u16string file;
    bool open = true;
};
std::map<uintptr_t, OpenObject> handles;
uintptr_t nextHandle = 1;

struct View {
    std::u16string file;
    uint64_t offset;
    size_t mappedBytes;  // the reservation, guard page included
    std::vector<uint8_t*> poisonedPages;
};
std::map<const void*, View> views;
std::vector<void*> allocated;

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Dec(uint64_t value) { return std::to_string(value); }

void Log(const std::string& name, const std::string& args) {
    world.log.push_back({name, args});
    if (world.onCall) world.onCall(world.log.back());
}

// Counts one failable operation and tells whether it is the one to fail.
bool InjectedFailure(const char* name) {
    if (++world.failableCalls == world.failAtCall) {
        world.failedCall = name;
        world.failedCallArgs = world.log.back().args;
        return true;
    }
    return false;
}

OpenObject* Lookup(HANDLE handle) {
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end() || !it->second.open) return nullptr;
    return &it->second;
}

std::string HandleName(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == STDOUT_HANDLE) return "stdout";
    if (value == STDERR_HANDLE) return "stderr";
    auto it = handles.find(value);
    if (it == handles.end()) return "bad:" + Hex(value);
    switch (it->second.kind) {
        case OpenObject::FileObject: return Utf8(it->second.file);
        case OpenObject::MappingObject: return "map:" + Utf8(it->second.file);
        case OpenObject::ConsoleObject: return "console";
    }
    return "?";
}

HANDLE NewHandle(OpenObject::Kind kind, const std::u16string& file) {
    const uintptr_t base = kind == OpenObject::MappingObject ? MAPPING_HANDLE_BASE
                           : kind == OpenObject::ConsoleObject ? CONSOLE_HANDLE << 8
                                                                : FILE_HANDLE_BASE;
    const uintptr_t value = base + nextHandle++;
    handles[value] = {kind, file, true};
    return reinterpret_cast<HANDLE>(value);
}

[[noreturn]] void EndScenario() { siglongjmp(exitJump, 1); }

// A fault inside a poisoned page of a view is an in-page error; any other
// fault (a read outside every view, say) is an access violation. Either goes
// to the program's unhandled-exception filter as on Windows.
void OnFault(int, siginfo_t* info, void*) {
    auto* address = static_cast<uint8_t*>(info->si_addr);
    DWORD code = 0xC0000005;
    for (const auto& [base, view] : views) {
        for (uint8_t* page : view.poisonedPages) {
            if (address >= page && address < page + PAGE_SIZE) code = EXCEPTION_IN_PAGE_ERROR;
        }
    }
    if (!running) std::abort();
    Log("exception", Hex(code));
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = code;
    record.ExceptionAddress = address;
    EXCEPTION_POINTERS pointers = {&record, nullptr};
    if (world.filter != nullptr) {
        const LONG answer = world.filter(&pointers);
        Log("filter", Dec(static_cast<uint64_t>(static_cast<int64_t>(answer))));
    }
    current->crashCode = code;
    EndScenario();
}

void FreeAll() {
    for (auto& [base, view] : views) munmap(const_cast<void*>(base), view.mappedBytes);
    views.clear();
    for (void* block : allocated) std::free(block);
    allocated.clear();
    handles.clear();
    nextHandle = 1;
}

char OemByte(char16_t unit) {
    if (unit < 0x80) return static_cast<char>(unit);
    // A few code page 437 letters, enough to tell a conversion happened.
    switch (unit) {
        case u'\u00e9': return static_cast<char>(0x82);  // é
        case u'\u00fc': return static_cast<char>(0x81);  // ü
        case u'\u00e4': return static_cast<char>(0x84);  // ä
        case u'\u00f6': return static_cast<char>(0x94);  // ö
        default: return '?';
    }
}

std::string Narrow(LPCWSTR text, size_t length) {
    std::string result;
    for (size_t i = 0; i < length; ++i) result += OemByte(text[i]);
    return result;
}

}  // namespace

uint8_t File::ByteAt(uint64_t offset) const {
    if (auto it = patches.find(offset); it != patches.end()) return it->second;
    if (!generatedSize) return data[offset];
    if (zeros) return 0;
    uint64_t x = offset / 8 * 0x9E3779B97F4A7C15ull + generatorSeed;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> (8 * (offset % 8)));
}

std::u16string Console::Row(SHORT y) const {
    return std::u16string(cells.begin() + y * width, cells.begin() + (y + 1) * width);
}

World& W() { return world; }

FileEntry* MakeRing(const std::vector<std::u16string>& names) {
    FileEntry* head = nullptr;
    FileEntry* last = nullptr;
    for (const std::u16string& name : names) {
        auto* entry = static_cast<FileEntry*>(
            std::calloc(1, sizeof(FileEntry) + sizeof(char16_t) * (name.size() + 1)));
        allocated.push_back(entry);
        std::memcpy(entry->name, name.c_str(), sizeof(char16_t) * (name.size() + 1));
        entry->handle = INVALID_HANDLE_VALUE;
        if (head == nullptr) head = entry;
        if (last != nullptr) last->next = entry;
        last = entry;
    }
    if (last != nullptr) last->next = head;
    return head;
}

void Reset() {
    // The last scenario's blocks and views go when the test program exits,
    // before the leak check runs, not only at the next reset.
    static const bool freedAtExit = std::atexit(FreeAll) == 0;
    (void)freedAtExit;
    FreeAll();
    world = World();
    world.console.cells.assign(world.console.width * world.console.height, u' ');
}

File& AddFile(const std::u16string& name, const std::string& contents) {
    return AddFile(name, std::vector<uint8_t>(contents.begin(), contents.end()));
}

File& AddFile(const std::u16string& name, std::vector<uint8_t> contents) {
    File& file = world.files[name];
    file = File();
    file.data = std::move(contents);
    return file;
}

File& AddGeneratedFile(const std::u16string& name, uint64_t size, uint8_t seed) {
    File& file = world.files[name];
    file = File();
    file.generatedSize = size;
    file.generatorSeed = seed;
    return file;
}

File& AddZeroFile(const std::u16string& name, uint64_t size) {
    File& file = AddGeneratedFile(name, size);
    file.zeros = true;
    return file;
}

Outcome Run(const std::function<void()>& procedure) {
    Outcome outcome;
    current = &outcome;
    StdOutHandle = INVALID_HANDLE_VALUE;  // the program's process-wide slot starts fresh
    struct sigaction action = {}, previousSegv = {}, previousBus = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previousSegv);
    sigaction(SIGBUS, &action, &previousBus);
    running = true;
    if (sigsetjmp(exitJump, 1) == 0) {
        procedure();
        outcome.returned = true;
    }
    running = false;
    sigaction(SIGSEGV, &previousSegv, nullptr);
    sigaction(SIGBUS, &previousBus, nullptr);
    current = nullptr;
    return outcome;
}

Outcome RunProgram(const std::u16string& commandLine) {
    world.commandLine = commandLine;
    return Run([] { Start(); });
}

std::vector<std::string> Calls(const std::string& name) {
    std::vector<std::string> result;
    for (const Call& call : world.log) {
        if (call.name == name) result.push_back(call.Text());
    }
    return result;
}

std::vector<std::string> AllCalls() {
    std::vector<std::string> result;
    for (const Call& call : world.log) result.push_back(call.Text());
    return result;
}

std::vector<std::string> ViewEvents() {
    std::vector<std::string> result;
    for (const auto& [name, args] : world.log) {
        char file[64];
        unsigned long long high = 0, low = 0;
        if (name == "MapViewOfFile" &&
            std::sscanf(args.c_str(), "map:%63[^,], %*x, %llu, %llu", file, &high, &low) == 3) {
            result.push_back("+" + std::string(file) + Dec(((high << 32) | low) / world.granularity));
        } else if (name == "UnmapViewOfFile" &&
                   std::sscanf(args.c_str(), "%63[^@]@%llu", file, &low) == 2) {
            result.push_back("-" + std::string(file) + Dec(low / world.granularity));
        }
    }
    return result;
}

std::string Utf8(const std::u16string& text) {
    std::string result;
    for (char16_t unit : text) {
        if (unit < 0x80) {
            result += static_cast<char>(unit);
        } else if (unit < 0x800) {
            result += static_cast<char>(0xC0 | (unit >> 6));
            result += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            result += static_cast<char>(0xE0 | (unit >> 12));
            result += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return result;
}

}  // namespace sim

using namespace sim;

// ---- The platform functions the program calls ----

extern "C" {

LPWSTR WINAPI GetCommandLineW(void) {
    Log("GetCommandLineW", "");
    return world.commandLine.data();
}

void WINAPI ExitProcess(UINT exitCode) {
    Log("ExitProcess", Dec(exitCode));
    if (!running) std::abort();
    current->exitCode = exitCode;
    EndScenario();
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    Log("SetUnhandledExceptionFilter", filter ? "filter" : "null");
    LPTOP_LEVEL_EXCEPTION_FILTER previous = world.filter;
    world.filter = filter;
    return previous;
}

DWORD WINAPI GetCurrentProcessId(void) { return 0x1234; }
DWORD WINAPI GetCurrentThreadId(void) { return 0x5678; }
void WINAPI GetSystemTimeAsFileTime(FILETIME* time) {
    time->dwLowDateTime = 0x9ABCDEF0;
    time->dwHighDateTime = 0x01DB0000;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    Stream* stream = which == STD_OUTPUT_HANDLE  ? &world.out
                     : which == STD_ERROR_HANDLE ? &world.err
                                                 : nullptr;
    Log("GetStdHandle", which == STD_OUTPUT_HANDLE ? "out" : which == STD_ERROR_HANDLE ? "err" : Hex(which));
    if (stream == nullptr || stream->kind == StdHandle::Invalid) return INVALID_HANDLE_VALUE;
    if (stream->kind == StdHandle::Null) return nullptr;
    return reinterpret_cast<HANDLE>(stream == &world.out ? STDOUT_HANDLE : STDERR_HANDLE);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      struct _OVERLAPPED* overlapped) {
    const auto value = reinterpret_cast<uintptr_t>(file);
    Stream* stream = value == STDOUT_HANDLE ? &world.out : value == STDERR_HANDLE ? &world.err : nullptr;
    std::string bytes(static_cast<const char*>(buffer), bytesToWrite);
    Log("WriteFile", HandleName(file) + ", \"" + bytes + "\"" + (overlapped ? ", overlapped" : ""));
    if (stream == nullptr || bytesWritten == nullptr) {
        world.lastError = 6;  // ERROR_INVALID_HANDLE
        return FALSE;
    }
    ++stream->writeCount;
    if ((stream->failFromWrite != 0 && stream->writeCount >= stream->failFromWrite) ||
        InjectedFailure("WriteFile")) {
        world.lastError = 112;  // ERROR_DISK_FULL
        return FALSE;
    }
    stream->bytes += bytes;
    stream->writes.push_back(bytes);
    *bytesWritten = bytesToWrite;
    return TRUE;
}

BOOL WINAPI CharToOemBuffW(LPCWSTR source, LPSTR destination, DWORD length) {
    Log("CharToOemBuffW", Dec(length));
    const std::string converted = Narrow(source, length);
    std::memcpy(destination, converted.data(), length);
    return TRUE;
}

// The formats the program uses: flags '0', a width, the I64 size prefix, and
// the conversions u, d and s.
int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
    std::u16string formatText(format);
    va_list args;
    va_start(args, format);
    std::u16string out;
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        bool zero = false;
        if (*p == u'0') {
            zero = true;
            ++p;
        }
        int width = 0;
        while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        bool wide = false;
        if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            wide = true;
            p += 3;
        }
        std::u16string field;
        if (*p == u'u' || *p == u'd') {
            char digits[32];
            if (*p == u'u') {
                const unsigned long long v = wide ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
                std::snprintf(digits, sizeof digits, "%llu", v);
            } else {
                const long long v = wide ? va_arg(args, long long) : va_arg(args, int);
                std::snprintf(digits, sizeof digits, "%lld", v);
            }
            for (const char* d = digits; *d; ++d) field += static_cast<char16_t>(*d);
        } else if (*p == u's') {
            field = va_arg(args, const char16_t*);
        } else {
            throw std::logic_error("wsprintfW: unsupported format");
        }
        while (static_cast<int>(field.size()) < width) field.insert(field.begin(), zero ? u'0' : u' ');
        out += field;
    }
    va_end(args);
    Log("wsprintfW", Utf8(formatText) + " -> " + Utf8(out));
    std::memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(char16_t));
    return static_cast<int>(out.size());
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    Log("LocalAlloc", Hex(flags) + ", " + Dec(bytes));
    world.allocations.push_back(bytes);
    if (static_cast<int>(world.allocations.size()) == world.localAllocFailAt ||
        InjectedFailure("LocalAlloc")) {
        return nullptr;
    }
    void* block = std::malloc(bytes);
    allocated.push_back(block);
    return block;
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, struct _SECURITY_ATTRIBUTES* security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    const std::u16string fileName(name);
    Log("CreateFileW", Utf8(fileName) + ", " + Hex(access) + ", " + Hex(share) + ", " +
                           (security ? "security, " : "") + Dec(disposition) + ", " + Hex(flags) +
                           (templateFile ? ", template" : ""));
    const bool injected = InjectedFailure("CreateFileW");
    if (fileName == u"CONOUT$") {
        if (!world.console.present || injected) {
            world.lastError = 6;
            return INVALID_HANDLE_VALUE;
        }
        ++world.console.openHandles;
        return NewHandle(OpenObject::ConsoleObject, fileName);
    }
    auto it = world.files.find(fileName);
    if (it == world.files.end() || it->second.directory || it->second.refuseOpen || injected ||
        disposition != OPEN_EXISTING) {
        world.lastError = it == world.files.end() ? 2 : 5;  // not found, access denied
        return INVALID_HANDLE_VALUE;
    }
    return NewHandle(OpenObject::FileObject, fileName);
}

BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    Log("GetFileSizeEx", HandleName(file));
    OpenObject* object = Lookup(file);
    if (object == nullptr || object->kind != OpenObject::FileObject) {
        world.lastError = 6;
        return FALSE;
    }
    const File& data = world.files.at(object->file);
    if (data.sizeFails || InjectedFailure("GetFileSizeEx")) {
        world.lastError = 1117;  // ERROR_IO_DEVICE
        return FALSE;
    }
    size->QuadPart = static_cast<LONGLONG>(data.Size());
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    Log("CloseHandle", HandleName(object));
    OpenObject* open = Lookup(object);
    if (open == nullptr) return FALSE;
    open->open = false;
    if (open->kind == OpenObject::ConsoleObject) --world.console.openHandles;
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            struct _OVERLAPPED* overlapped) {
    Log("DeviceIoControl", HandleName(device) + ", " + Hex(controlCode) + ", " +
                               (inBuffer ? "in" : "none") + ", " + Dec(inBufferSize) + ", " +
                               Dec(outBufferSize) + (overlapped ? ", overlapped" : ""));
    OpenObject* object = Lookup(device);
    if (object == nullptr || object->kind != OpenObject::FileObject ||
        controlCode != FSCTL_GET_REPARSE_POINT || bytesReturned == nullptr) {
        world.lastError = 6;
        return FALSE;
    }
    // Touch the whole output buffer, as a driver may: a capacity larger than
    // the caller's buffer shows up under the address sanitizer.
    std::memset(outBuffer, 0xCD, outBufferSize);
    const File& file = world.files.at(object->file);
    if (InjectedFailure("DeviceIoControl")) {
        world.lastError = 1117;
        return FALSE;
    }
    if (file.reparseError) {
        world.lastError = *file.reparseError;
        return FALSE;
    }
    if (!file.reparseData) {
        world.lastError = ERROR_NOT_A_REPARSE_POINT;
        return FALSE;
    }
    if (file.reparseData->size() > outBufferSize) {
        world.lastError = ERROR_MORE_DATA;
        return FALSE;
    }
    std::memcpy(outBuffer, file.reparseData->data(), file.reparseData->size());
    *bytesReturned = static_cast<DWORD>(file.reparseData->size());
    return TRUE;
}

DWORD WINAPI GetLastError(void) {
    Log("GetLastError", Dec(world.lastError));
    return world.lastError;
}

void WINAPI GetSystemInfo(SYSTEM_INFO* info) {
    Log("GetSystemInfo", "");
    std::memset(info, 0, sizeof *info);
    info->dwPageSize = PAGE_SIZE;
    info->dwAllocationGranularity = world.granularity;
    info->dwNumberOfProcessors = 2;
}

HANDLE WINAPI CreateFileMappingW(HANDLE file, struct _SECURITY_ATTRIBUTES* security, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name) {
    Log("CreateFileMappingW", HandleName(file) + ", " + (security ? "security, " : "") + Hex(protect) +
                                  ", " + Dec(maximumSizeHigh) + ", " + Dec(maximumSizeLow) +
                                  (name ? ", named" : ""));
    OpenObject* object = Lookup(file);
    if (object == nullptr || object->kind != OpenObject::FileObject || protect != PAGE_READONLY) {
        world.lastError = 6;
        return nullptr;
    }
    const File& data = world.files.at(object->file);
    // As on Windows, an empty file cannot be mapped.
    if (data.mappingFails || data.Size() == 0 || InjectedFailure("CreateFileMappingW")) {
        world.lastError = 1006;  // ERROR_FILE_INVALID
        return nullptr;
    }
    return NewHandle(OpenObject::MappingObject, object->file);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytesToMap) {
    const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    Log("MapViewOfFile", HandleName(mapping) + ", " + Hex(access) + ", " + Dec(offsetHigh) + ", " +
                             Dec(offsetLow) + ", " + Dec(bytesToMap));
    OpenObject* object = Lookup(mapping);
    if (object == nullptr || object->kind != OpenObject::MappingObject || access != FILE_MAP_READ) {
        world.lastError = 6;
        return nullptr;
    }
    const File& file = world.files.at(object->file);
    const bool refused = std::find(file.viewFailsAt.begin(), file.viewFailsAt.end(), offset) !=
                         file.viewFailsAt.end();
    // Views must start on a granule and stay inside the file, as on Windows.
    if (refused || offset % world.granularity != 0 || bytesToMap == 0 ||
        offset + bytesToMap > file.Size() || InjectedFailure("MapViewOfFile")) {
        world.lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
        return nullptr;
    }
    // The view's pages, then one guard page, so that a read past the last
    // mapped page faults just as it would on Windows.
    const size_t pages = (bytesToMap + PAGE_SIZE - 1) / PAGE_SIZE;
    const size_t reserved = (pages + 1) * PAGE_SIZE;
    void* base = mmap(nullptr, reserved, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) throw std::runtime_error("simulated view: out of memory");
    auto* bytes = static_cast<uint8_t*>(base);
    if (file.zeros) {
        // Untouched anonymous pages read as zeros; huge pages keep the faults
        // of a gigabyte-long read few.
        madvise(base, reserved, MADV_HUGEPAGE);
        for (auto it = file.patches.lower_bound(offset);
             it != file.patches.end() && it->first < offset + bytesToMap; ++it) {
            bytes[it->first - offset] = it->second;
        }
    } else if (!file.generatedSize && file.patches.empty()) {
        std::memcpy(bytes, file.data.data() + offset, bytesToMap);
    } else {
        for (size_t i = 0; i < bytesToMap; ++i) bytes[i] = file.ByteAt(offset + i);
    }
    View view{object->file, offset, reserved, {}};
    // Counting every page mapped in a run, the inPageAtMappedPage-th one
    // cannot be read in.
    if (world.inPageAtMappedPage > world.pagesMapped &&
        world.inPageAtMappedPage <= world.pagesMapped + static_cast<int64_t>(pages)) {
        view.poisonedPages.push_back(bytes + (world.inPageAtMappedPage - world.pagesMapped - 1) * PAGE_SIZE);
    }
    world.pagesMapped += static_cast<int64_t>(pages);
    for (uint64_t bad : file.inPageErrorAt) {
        if (bad >= offset && bad < offset + bytesToMap) {
            uint8_t* page = bytes + (bad - offset) / PAGE_SIZE * PAGE_SIZE;
            view.poisonedPages.push_back(page);
        }
    }
    mprotect(bytes, pages * PAGE_SIZE, PROT_READ);  // views are read-only
    for (uint8_t* page : view.poisonedPages) mprotect(page, PAGE_SIZE, PROT_NONE);
    // Inaccessible, but not poisoned: the fault is no in-page error.
    for (uint64_t bad : file.accessViolationAt) {
        if (bad >= offset && bad < offset + bytesToMap) {
            mprotect(bytes + (bad - offset) / PAGE_SIZE * PAGE_SIZE, PAGE_SIZE, PROT_NONE);
        }
    }
    mprotect(bytes + pages * PAGE_SIZE, PAGE_SIZE, PROT_NONE);
    views[base] = std::move(view);
    world.maxViewsMapped = std::max(world.maxViewsMapped, ++world.viewsMapped);
    return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
    auto it = views.find(baseAddress);
    if (it == views.end()) {
        Log("UnmapViewOfFile", "bad");
        return FALSE;
    }
    Log("UnmapViewOfFile", Utf8(it->second.file) + "@" + Dec(it->second.offset));
    munmap(const_cast<void*>(baseAddress), it->second.mappedBytes);
    views.erase(it);
    --world.viewsMapped;
    return TRUE;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    Log("GetConsoleScreenBufferInfo", HandleName(console));
    OpenObject* object = Lookup(console);
    if (object == nullptr || object->kind != OpenObject::ConsoleObject || world.console.infoFails ||
        InjectedFailure("GetConsoleScreenBufferInfo")) {
        world.lastError = 6;
        return FALSE;
    }
    std::memset(info, 0, sizeof *info);
    info->dwSize = {world.console.width, world.console.height};
    info->dwCursorPosition = world.console.cursor;
    info->srWindow = {0, 0, static_cast<SHORT>(world.console.width - 1),
                      static_cast<SHORT>(world.console.height - 1)};
    info->dwMaximumWindowSize = info->dwSize;
    return TRUE;
}

BOOL WINAPI WriteConsoleOutputCharacterW(HANDLE console, LPCWSTR characters, DWORD length,
                                         COORD position, LPDWORD written) {
    const std::u16string text(characters, length);
    Log("WriteConsoleOutputCharacterW", "\"" + Utf8(text) + "\", " + Dec(length) + ", " +
                                            Dec(position.X) + ", " + Dec(position.Y));
    OpenObject* object = Lookup(console);
    if (object == nullptr || object->kind != OpenObject::ConsoleObject || written == nullptr) {
        world.lastError = 6;
        return FALSE;
    }
    world.console.writes.push_back({position, text});
    // Characters wrap to the next row and stop at the end of the buffer.
    size_t cell = static_cast<size_t>(position.Y) * world.console.width + position.X;
    DWORD count = 0;
    for (; count < length && cell < world.console.cells.size(); ++count) world.console.cells[cell++] = text[count];
    *written = count;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    const int call = world.counterCalls++;
    Log("QueryPerformanceCounter", Dec(call));
    if ((call < static_cast<int>(world.counterFails.size()) && world.counterFails[call]) ||
        InjectedFailure("QueryPerformanceCounter")) {
        return FALSE;
    }
    count->QuadPart = call < static_cast<int>(world.counterReadings.size())
                          ? world.counterReadings[call]
                          : 1000 + call;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    Log("QueryPerformanceFrequency", "");
    if (world.frequencyFails || InjectedFailure("QueryPerformanceFrequency")) return FALSE;
    frequency->QuadPart = world.frequency;
    return TRUE;
}

}  // extern "C"

// The native build uses the C library's stack protector, whose guard is
// seeded before the program runs.
extern "C" void SeedStackGuard(void) {}
