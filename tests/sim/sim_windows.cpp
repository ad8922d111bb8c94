#include "tests/sim/sim_windows.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>

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
    Object kind;
    std::u16string file;
    bool open = true;
    DWORD access = 0, share = 0;  // of a file handle
    uint64_t size = 0;            // of a mapping
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

// Every call starts by logging itself; the log's last entry is the call
// under way until it returns.
void Log(Call call) {
    world.log.push_back(std::move(call));
    if (world.onCall) world.onCall(world.log.back());
}

// A call's entry, naming what its handle argument stands for.
Call On(Api api, HANDLE handle, Numbers args = {}, std::string text = {}) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    Call call{api, std::move(args), std::move(text), {}, Object::Unknown};
    if (value == STDOUT_HANDLE || value == STDERR_HANDLE) {
        call.kind = Object::Stream;
        call.object = value == STDOUT_HANDLE ? u"stdout" : u"stderr";
    } else if (auto it = handles.find(value); it != handles.end()) {
        call.kind = it->second.kind;
        call.object = it->second.file;
    }
    return call;
}

// Notes the return value of the call under way and returns it.
template <class T>
T Return(T value) {
    if constexpr (std::is_pointer_v<T>) {
        world.log.back().result = value != nullptr && value != INVALID_HANDLE_VALUE;
    } else {
        world.log.back().result = static_cast<int64_t>(value);
    }
    return value;
}

// The call under way fails with `error` as its last error.
template <class T>
T Failed(DWORD error, T value) {
    world.lastError = error;
    world.log.back().error = error;
    return Return(value);
}

// Counts one failable operation and tells whether it is the one to fail.
bool InjectedFailure() {
    if (++world.failableCalls != world.failAtCall) return false;
    world.failedCall = world.log.size() - 1;
    return true;
}

OpenObject* Lookup(HANDLE handle) {
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end() || !it->second.open) return nullptr;
    return &it->second;
}

// The open handles of each file that access its data, counted by the bits of
// their share mode (read 1, write 2, delete 4) and of the same accesses.
// Windows' rule: a mapping keeps its file open but none of its sharing, so
// once the file's handles are closed any open goes through, whatever its
// access and share mode; only replacing the data of a mapped file fails.
struct Sharing {
    int opens = 0;
    int use[3] = {};
    int shared[3] = {};
};
std::map<std::u16string, Sharing> sharing;

unsigned DataAccess(DWORD access) {
    constexpr DWORD GENERIC_EXECUTE = 0x20000000, GENERIC_ALL = 0x10000000;
    constexpr DWORD READ_DATA = 0x0001, WRITE_DATA = 0x0002, APPEND_DATA = 0x0004,
                    EXECUTE = 0x0020, DELETE = 0x00010000;
    return ((access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | READ_DATA | EXECUTE)) ? 1 : 0) |
           ((access & (GENERIC_WRITE | GENERIC_ALL | WRITE_DATA | APPEND_DATA)) ? 2 : 0) |
           ((access & (GENERIC_ALL | DELETE)) ? 4 : 0);
}

void CountOpen(const OpenObject& object, int step) {
    if (object.kind != Object::File || DataAccess(object.access) == 0) return;
    Sharing& file = sharing[object.file];
    file.opens += step;
    for (int bit = 0; bit < 3; ++bit) {
        file.use[bit] += step * static_cast<int>(DataAccess(object.access) >> bit & 1);
        file.shared[bit] += step * static_cast<int>(object.share >> bit & 1);
    }
}

HANDLE NewHandle(OpenObject object) {
    const uintptr_t base = object.kind == Object::Mapping   ? MAPPING_HANDLE_BASE
                           : object.kind == Object::Console ? CONSOLE_HANDLE << 8
                                                            : FILE_HANDLE_BASE;
    const uintptr_t value = base + nextHandle++;
    CountOpen(object, 1);
    handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

// A handle to movable memory, as LocalAlloc with LMEM_MOVEABLE returns it:
// it lies in a reservation that can be neither read nor written.
HLOCAL MoveableHandle() {
    static void* const table = mmap(nullptr, 1 << 16, PROT_NONE,
                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    static size_t next = 0;
    return static_cast<uint8_t*>(table) + 8 + (next++ * 16) % ((1 << 16) - 16);
}

[[noreturn]] void EndScenario() { siglongjmp(exitJump, 1); }

// Ends a run that maps a view past those that decide it, and says so: how
// many views a whole read of its mapped files would take.
[[noreturn]] void StopRun() {
    uint64_t whole = 0;
    for (const auto& [value, object] : handles) {
        if (object.kind == Object::Mapping && object.open) {
            whole += (object.size + world.granularity - 1) / world.granularity;
        }
    }
    current->stopped = "stopped: the run maps view " + std::to_string(world.viewsInRun) +
                       " where " + std::to_string(world.viewLimit) +
                       " decide (a whole read of its files maps " + std::to_string(whole) + ")";
    std::fprintf(stderr, "simulated Windows: %s\n", current->stopped->c_str());
    EndScenario();
}

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
    Log({Api::Exception, {code}});
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = code;
    record.ExceptionAddress = address;
    EXCEPTION_POINTERS pointers = {&record, nullptr};
    if (world.filter != nullptr) {
        const LONG answer = world.filter(&pointers);
        Log({Api::Filter});
        Return(answer);
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
    sharing.clear();
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
    world.viewsInRun = 0;
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

void HoldOpen(const std::u16string& name, DWORD access, DWORD share) {
    NewHandle({Object::File, name, true, access, share});
}

const char* Name(Api api) {
    static const char* const names[] = {
        "GetCommandLineW", "ExitProcess", "SetUnhandledExceptionFilter", "GetStdHandle",
        "WriteFile", "CharToOemBuffW", "wsprintfW", "LocalAlloc", "CreateFileW", "GetFileSizeEx",
        "CloseHandle", "DeviceIoControl", "GetLastError", "GetSystemInfo", "CreateFileMappingW",
        "MapViewOfFile", "UnmapViewOfFile", "GetConsoleScreenBufferInfo",
        "WriteConsoleOutputCharacterW", "QueryPerformanceCounter", "QueryPerformanceFrequency",
        "exception", "filter"};
    static_assert(std::size(names) == static_cast<size_t>(Api::Filter) + 1);
    return names[static_cast<size_t>(api)];
}

std::vector<Call> Calls(Api api) {
    std::vector<Call> result;
    std::copy_if(world.log.begin(), world.log.end(), std::back_inserter(result),
                 [api](const Call& call) { return call.api == api; });
    return result;
}

std::vector<std::u16string> Objects(Api api) {
    std::vector<std::u16string> result;
    for (const Call& call : Calls(api)) result.push_back(call.object);
    return result;
}

std::vector<Numbers> Args(Api api, const std::optional<std::u16string>& object) {
    std::vector<Numbers> result;
    for (const Call& call : Calls(api)) {
        if (!object || call.object == *object) result.push_back(call.args);
    }
    return result;
}

// A missing call throws: any index handed back for it would let an ordering
// check against it pass or fail by accident, and the test must fail.
size_t IndexOf(Api api, size_t from) {
    for (size_t i = from; i < world.log.size(); ++i) {
        if (world.log[i].api == api) return i;
    }
    throw std::logic_error(std::string("no call to ") + Name(api) + " in the log at or after " +
                           std::to_string(from));
}

size_t LastIndexOf(Api api) {
    for (size_t i = world.log.size(); i-- > 0;) {
        if (world.log[i].api == api) return i;
    }
    throw std::logic_error(std::string("no call to ") + Name(api) + " in the log");
}

std::vector<std::string> ViewEvents() {
    std::vector<std::string> result;
    for (const Call& call : world.log) {
        if (call.api == Api::MapViewOfFile && call.result != 0) {
            const uint64_t offset = call.args[1] << 32 | call.args[2];
            result.push_back("+" + Utf8(call.object) + std::to_string(offset / world.granularity));
        } else if (call.api == Api::UnmapViewOfFile && call.result != 0) {
            result.push_back("-" + Utf8(call.object) + std::to_string(call.args[0] / world.granularity));
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
    Log({Api::GetCommandLineW});
    return Return(world.commandLine.data());
}

void WINAPI ExitProcess(UINT exitCode) {
    Log({Api::ExitProcess, {exitCode}});
    if (!running) std::abort();
    current->exitCode = exitCode;
    EndScenario();
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    Log({Api::SetUnhandledExceptionFilter, {filter != nullptr}});
    LPTOP_LEVEL_EXCEPTION_FILTER previous = world.filter;
    world.filter = filter;
    world.log.back().result = previous != nullptr;
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
    Log({Api::GetStdHandle, {which}});
    if (stream == nullptr || stream->kind == StdHandle::Invalid) return Return(INVALID_HANDLE_VALUE);
    if (stream->kind == StdHandle::Null) return Return(HANDLE(nullptr));
    return Return(reinterpret_cast<HANDLE>(stream == &world.out ? STDOUT_HANDLE : STDERR_HANDLE));
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      struct _OVERLAPPED* overlapped) {
    const auto value = reinterpret_cast<uintptr_t>(file);
    Stream* stream = value == STDOUT_HANDLE ? &world.out : value == STDERR_HANDLE ? &world.err : nullptr;
    std::string bytes(static_cast<const char*>(buffer), bytesToWrite);
    Log(On(Api::WriteFile, file, {bytesToWrite, overlapped != nullptr}, bytes));
    if (stream == nullptr || bytesWritten == nullptr) return Failed(6, FALSE);  // ERROR_INVALID_HANDLE
    ++stream->writeCount;
    if ((stream->failFromWrite != 0 && stream->writeCount >= stream->failFromWrite) ||
        InjectedFailure()) {
        return Failed(112, FALSE);  // ERROR_DISK_FULL
    }
    stream->bytes += bytes;
    stream->writes.push_back(bytes);
    *bytesWritten = bytesToWrite;
    return Return(TRUE);
}

BOOL WINAPI CharToOemBuffW(LPCWSTR source, LPSTR destination, DWORD length) {
    Log({Api::CharToOemBuffW, {length}});
    const std::string converted = Narrow(source, length);
    std::memcpy(destination, converted.data(), length);
    return Return(TRUE);
}

// The formats the program uses: flags '0', a width, the I64 size prefix, and
// the conversions u, d and s.
int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
    Log({Api::wsprintfW, {}, Utf8(format)});
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
    world.log.back().text += " -> " + Utf8(out);
    std::memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(char16_t));
    return Return(static_cast<int>(out.size()));
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    constexpr UINT LMEM_MOVEABLE = 0x0002, LMEM_ZEROINIT = 0x0040, LMEM_VALID_FLAGS = 0x0F72;
    Log({Api::LocalAlloc, {flags, bytes}});
    world.allocations.push_back(bytes);
    if (static_cast<int>(world.allocations.size()) == world.localAllocFailAt || InjectedFailure()) {
        return Failed(8, HLOCAL(nullptr));  // ERROR_NOT_ENOUGH_MEMORY
    }
    // Only fixed memory is returned as its address (zeroed if asked for);
    // LMEM_MOVEABLE returns a handle, which must be locked to get one.
    if (flags & ~LMEM_VALID_FLAGS) return Failed(87, HLOCAL(nullptr));  // ERROR_INVALID_PARAMETER
    if (flags & LMEM_MOVEABLE) return Return(MoveableHandle());
    void* block = std::malloc(bytes);
    std::memset(block, (flags & LMEM_ZEROINIT) ? 0 : 0xCD, bytes);
    allocated.push_back(block);
    return Return(block);
}

// Whether a mapping or a view of the file is left.
bool Mapped(const std::u16string& name) {
    for (const auto& [value, object] : handles) {
        if (object.open && object.kind == Object::Mapping && object.file == name) return true;
    }
    for (const auto& [base, view] : views) {
        if (view.file == name) return true;
    }
    return false;
}

// What the simulation does not model: the program under test never asks for
// it, and a made-up answer could pass for Windows' own.
[[noreturn]] void NotSimulated(const char* what) {
    throw std::logic_error(std::string("not simulated: ") + what);
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, struct _SECURITY_ATTRIBUTES* security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    const std::u16string fileName(name);
    Log({Api::CreateFileW,
         {access, share, security != nullptr, disposition, flags, templateFile != nullptr}, {}, fileName});
    const bool injected = InjectedFailure();
    if (fileName == u"CONOUT$") {
        if (!world.console.present || injected) return Failed(6, INVALID_HANDLE_VALUE);
        ++world.console.openHandles;
        return Return(NewHandle({Object::Console, fileName}));
    }
    // An existing file is opened, or replaced by an empty one (CREATE_ALWAYS,
    // which also makes a missing file); other dispositions are not modelled.
    constexpr DWORD CREATE_ALWAYS = 2;
    if (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS) NotSimulated("disposition");
    auto it = world.files.find(fileName);
    if (it == world.files.end() && disposition == CREATE_ALWAYS && !injected) {
        world.files[fileName] = File();
        return Return(NewHandle({Object::File, fileName, true, access, share}));
    }
    if (it == world.files.end()) return Failed(2, INVALID_HANDLE_VALUE);  // ERROR_FILE_NOT_FOUND
    if (it->second.directory || it->second.accessDenied || injected) {
        return Failed(5, INVALID_HANDLE_VALUE);  // ERROR_ACCESS_DENIED
    }
    // An open for reading, writing or deleting conflicts with the file's open
    // objects, in this process or any other, when its access is not shared by
    // every one of them, or its share mode leaves out an access one of them has.
    const Sharing& open = sharing[fileName];
    for (int bit = 0; DataAccess(access) != 0 && bit < 3; ++bit) {
        if (((DataAccess(access) >> bit & 1) && open.shared[bit] < open.opens) ||
            (open.use[bit] > 0 && !(share >> bit & 1))) {
            return Failed(32, INVALID_HANDLE_VALUE);  // ERROR_SHARING_VIOLATION
        }
    }
    if (disposition == CREATE_ALWAYS) {
        if (Mapped(fileName)) return Failed(1224, INVALID_HANDLE_VALUE);  // ERROR_USER_MAPPED_FILE
        it->second = File();
        // Succeeds, telling that the file was there (ERROR_ALREADY_EXISTS).
        world.lastError = world.log.back().error = 183;
    }
    return Return(NewHandle({Object::File, fileName, true, access, share}));
}

BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    Log(On(Api::GetFileSizeEx, file));
    OpenObject* object = Lookup(file);
    if (object == nullptr || object->kind != Object::File) return Failed(6, FALSE);
    const File& data = world.files.at(object->file);
    if (data.sizeFails || InjectedFailure()) return Failed(1117, FALSE);  // ERROR_IO_DEVICE
    size->QuadPart = static_cast<LONGLONG>(data.Size());
    return Return(TRUE);
}

BOOL WINAPI CloseHandle(HANDLE object) {
    Log(On(Api::CloseHandle, object));
    OpenObject* open = Lookup(object);
    if (open == nullptr) return Failed(6, FALSE);
    open->open = false;
    CountOpen(*open, -1);
    if (open->kind == Object::Console) --world.console.openHandles;
    return Return(TRUE);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            struct _OVERLAPPED* overlapped) {
    Log(On(Api::DeviceIoControl, device,
           {controlCode, inBuffer != nullptr, inBufferSize, outBufferSize, overlapped != nullptr}));
    OpenObject* object = Lookup(device);
    if (object == nullptr || object->kind != Object::File ||
        controlCode != FSCTL_GET_REPARSE_POINT || bytesReturned == nullptr) {
        return Failed(6, FALSE);
    }
    // Touch the whole output buffer, as a driver may: a capacity larger than
    // the caller's buffer shows up under the address sanitizer.
    std::memset(outBuffer, 0xCD, outBufferSize);
    const File& file = world.files.at(object->file);
    if (InjectedFailure()) return Failed(1117, FALSE);
    if (file.reparseError) return Failed(*file.reparseError, FALSE);
    if (!file.reparseData) return Failed(ERROR_NOT_A_REPARSE_POINT, FALSE);
    // The buffer must hold the reparse header, 8 bytes for a tag with the
    // Microsoft bit and 24 (with the GUID) for any other, or the call fails
    // with ERROR_INSUFFICIENT_BUFFER; holding the header but not all the
    // data, it is filled to its end and the call fails with ERROR_MORE_DATA.
    const std::vector<uint8_t>& data = *file.reparseData;
    const bool microsoftTag = data.size() >= 4 && (data[3] & 0x80) != 0;
    const DWORD header = microsoftTag ? 8 : 24;
    if (outBufferSize < header) return Failed(122, FALSE);
    *bytesReturned = static_cast<DWORD>(std::min<size_t>(data.size(), outBufferSize));
    std::memcpy(outBuffer, data.data(), *bytesReturned);
    return data.size() > outBufferSize ? Failed(ERROR_MORE_DATA, FALSE) : Return(TRUE);
}

DWORD WINAPI GetLastError(void) {
    Log({Api::GetLastError});
    return Return(world.lastError);
}

void WINAPI GetSystemInfo(SYSTEM_INFO* info) {
    Log({Api::GetSystemInfo});
    std::memset(info, 0, sizeof *info);
    info->dwPageSize = PAGE_SIZE;
    info->dwAllocationGranularity = world.granularity;
    info->dwNumberOfProcessors = 2;
}

HANDLE WINAPI CreateFileMappingW(HANDLE file, struct _SECURITY_ATTRIBUTES* security, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name) {
    Log(On(Api::CreateFileMappingW, file,
           {security != nullptr, protect, maximumSizeHigh, maximumSizeLow, name != nullptr}));
    OpenObject* object = Lookup(file);
    if (object == nullptr || object->kind != Object::File) return Failed(6, HANDLE(nullptr));
    if (protect != PAGE_READONLY) NotSimulated("a mapping other than PAGE_READONLY");
    // Mapping a file to read needs a handle that may read it.
    if ((DataAccess(object->access) & 1) == 0) return Failed(5, HANDLE(nullptr));
    const File& data = world.files.at(object->file);
    // A maximum size of 0 maps the whole file, and an empty file cannot be
    // mapped so (ERROR_FILE_INVALID); a read-only mapping cannot grow the file.
    const uint64_t maximum = static_cast<uint64_t>(maximumSizeHigh) << 32 | maximumSizeLow;
    if (maximum == 0 && data.Size() == 0) return Failed(1006, HANDLE(nullptr));
    if (maximum > data.Size()) return Failed(8, HANDLE(nullptr));  // ERROR_NOT_ENOUGH_MEMORY
    if (data.mappingFails || InjectedFailure()) return Failed(8, HANDLE(nullptr));
    return Return(NewHandle({Object::Mapping, object->file, true, 0, 0,
                             maximum != 0 ? maximum : data.Size()}));
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytesToMap) {
    const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    Log(On(Api::MapViewOfFile, mapping, {access, offsetHigh, offsetLow, bytesToMap}));
    OpenObject* object = Lookup(mapping);
    if (object == nullptr || object->kind != Object::Mapping) return Failed(6, LPVOID(nullptr));
    // A read-only mapping gives views to read, and copy-on-write views whose
    // writes stay in the view; a view to write the file or to run its code
    // is refused with ERROR_ACCESS_DENIED (some versions say 87).
    constexpr DWORD FILE_MAP_COPY = 0x1, FILE_MAP_WRITE = 0x2, FILE_MAP_EXECUTE = 0x20;
    if (access & (FILE_MAP_WRITE | FILE_MAP_EXECUTE)) return Failed(5, LPVOID(nullptr));
    if ((access & (FILE_MAP_READ | FILE_MAP_COPY)) == 0) NotSimulated("a view without read access");
    const File& file = world.files.at(object->file);
    // A view starts on an allocation granule (ERROR_MAPPED_ALIGNMENT) and lies
    // inside the mapping (ERROR_ACCESS_DENIED); a length of 0 runs to its end.
    if (offset % world.granularity != 0) return Failed(1132, LPVOID(nullptr));
    if (offset >= object->size || bytesToMap > object->size - offset) return Failed(5, LPVOID(nullptr));
    if (bytesToMap == 0) bytesToMap = object->size - offset;
    const bool refused = std::find(file.viewFailsAt.begin(), file.viewFailsAt.end(), offset) !=
                         file.viewFailsAt.end();
    if (refused || InjectedFailure()) return Failed(8, LPVOID(nullptr));  // ERROR_NOT_ENOUGH_MEMORY
    if (++world.viewsInRun > world.viewLimit) StopRun();
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
    // A view to read is read-only; a copy-on-write one keeps its writes.
    mprotect(bytes, pages * PAGE_SIZE, (access & FILE_MAP_COPY) ? PROT_READ | PROT_WRITE : PROT_READ);
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
    return Return(base);
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
    // The view's file and offset stand for its address in the log.
    auto it = views.find(baseAddress);
    if (it == views.end()) {
        Log({Api::UnmapViewOfFile, {}, {}, {}, Object::Unknown});
        return Failed(487, FALSE);  // ERROR_INVALID_ADDRESS
    }
    Log({Api::UnmapViewOfFile, {it->second.offset}, {}, it->second.file, Object::Mapping});
    munmap(const_cast<void*>(baseAddress), it->second.mappedBytes);
    views.erase(it);
    --world.viewsMapped;
    return Return(TRUE);
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    Log(On(Api::GetConsoleScreenBufferInfo, console));
    OpenObject* object = Lookup(console);
    if (object == nullptr || object->kind != Object::Console || world.console.infoFails ||
        InjectedFailure()) {
        return Failed(6, FALSE);
    }
    std::memset(info, 0, sizeof *info);
    info->dwSize = {world.console.width, world.console.height};
    info->dwCursorPosition = world.console.cursor;
    info->srWindow = {0, 0, static_cast<SHORT>(world.console.width - 1),
                      static_cast<SHORT>(world.console.height - 1)};
    info->dwMaximumWindowSize = info->dwSize;
    return Return(TRUE);
}

BOOL WINAPI WriteConsoleOutputCharacterW(HANDLE console, LPCWSTR characters, DWORD length,
                                         COORD position, LPDWORD written) {
    const std::u16string text(characters, length);
    Log(On(Api::WriteConsoleOutputCharacterW, console,
           {length, static_cast<uint64_t>(position.X), static_cast<uint64_t>(position.Y)}, Utf8(text)));
    OpenObject* object = Lookup(console);
    if (object == nullptr || object->kind != Object::Console || written == nullptr) return Failed(6, FALSE);
    // The first cell must lie in the screen buffer; the characters wrap to
    // the next row and stop at the end of the buffer.
    const Console& screen = world.console;
    if (position.X < 0 || position.Y < 0 || position.X >= screen.width || position.Y >= screen.height) {
        *written = 0;
        return Failed(87, FALSE);  // ERROR_INVALID_PARAMETER
    }
    world.console.writes.push_back({position, text});
    size_t cell = static_cast<size_t>(position.Y) * world.console.width + position.X;
    DWORD count = 0;
    for (; count < length && cell < world.console.cells.size(); ++count) world.console.cells[cell++] = text[count];
    *written = count;
    return Return(TRUE);
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    const int call = world.counterCalls++;
    Log({Api::QueryPerformanceCounter});
    if ((call < static_cast<int>(world.counterFails.size()) && world.counterFails[call]) ||
        InjectedFailure()) {
        return Return(FALSE);
    }
    count->QuadPart = call < static_cast<int>(world.counterReadings.size())
                          ? world.counterReadings[call]
                          : 1000 + call;
    return Return(TRUE);
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    Log({Api::QueryPerformanceFrequency});
    if (world.frequencyFails || InjectedFailure()) return Return(FALSE);
    frequency->QuadPart = world.frequency;
    return Return(TRUE);
}

}  // extern "C"

// The native build uses the C library's stack protector, whose guard is
// seeded before the program runs.
extern "C" void SeedStackGuard(void) {}
