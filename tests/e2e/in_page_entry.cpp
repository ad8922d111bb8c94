// The entry point of in_page_duvak.exe: DUVAK.exe's own program objects run
// behind one vectored exception handler. Where a page of a mapped file cannot
// be read in, Windows raises EXCEPTION_IN_PAGE_ERROR; Wine raises an access
// violation at the same address instead. The handler, first in the chain,
// rewrites exactly such an access violation into the in-page error Windows
// would have raised and lets the dispatch go on, so that everything after it
// is Wine's and the program's own: the walk up DUVAK's frames with its unwind
// data, the unhandled-exception filter it installed, and its exit.
#include <windows.h>

extern "C" [[noreturn]] void Start();

namespace {

// The NTSTATUS of the failed read that Windows hands over as the third parameter.
constexpr ULONG_PTR DEVICE_DATA_ERROR = 0xC000009C;
// The first parameter of an access violation: what the access was.
constexpr ULONG_PTR READ_ACCESS = 0;

LONG WINAPI InPageErrorFromViewFault(EXCEPTION_POINTERS* info) {
    EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2 ||
        record->ExceptionInformation[0] != READ_ACCESS) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // Only a read of a committed page of a view, which is what a failed read
    // of the file looks like: a stray pointer, a write into a view and a touch
    // of a reserved page stay access violations.
    MEMORY_BASIC_INFORMATION region;
    const void* address = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
    if (VirtualQuery(address, &region, sizeof region) != sizeof region ||
        region.Type != MEM_MAPPED || region.State != MEM_COMMIT) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // [0], read or write, and [1], the address, mean the same in both records.
    record->ExceptionCode = EXCEPTION_IN_PAGE_ERROR;
    record->NumberParameters = 3;
    record->ExceptionInformation[2] = DEVICE_DATA_ERROR;
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

extern "C" [[noreturn]] void InPageStart() {
    AddVectoredExceptionHandler(1, InPageErrorFromViewFault);
    Start();
}
