#include "compare/reparse.h"

#include "frontend/console_output.h"
#include "frontend/messages.h"

namespace {

constexpr LONG REPARSE_TOO_LONG = -1;
constexpr LONG MINIMUM_COMPARISON_BUFFER = 24;

bool BytesEqual(const BYTE* a, const BYTE* b, LONG length) {
    for (LONG i = 0; i < length; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace

LONG QueryReparseSize(const FileEntry* entry, void* buffer, DWORD capacity) {
    DWORD returned = 0;
    if (DeviceIoControl(entry->handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer, capacity,
                        &returned, nullptr)) {
        return static_cast<LONG>(returned);
    }
    switch (GetLastError()) {
        case ERROR_MORE_DATA: return REPARSE_TOO_LONG;
        case ERROR_NOT_A_REPARSE_POINT: return 0;
        default: Fail(TEXT_FILE_HEAD, entry->name, TEXT_CANNOT_READ_TAIL, nullptr);
    }
}

bool CompareReparseData(FileEntry* head) {
    alignas(8) BYTE reference[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    const LONG length = QueryReparseSize(head, reference, sizeof reference);
    // The buffer holds the largest reparse data the system stores, so data that
    // does not fit cannot be read whole; comparing a length of -1 would read
    // past both buffers.
    if (length == REPARSE_TOO_LONG) {
        Fail(TEXT_FILE_HEAD, head->name, TEXT_CANNOT_READ_TAIL, nullptr);
    }
    const LONG capacity = length > MINIMUM_COMPARISON_BUFFER ? length : MINIMUM_COMPARISON_BUFFER;
    alignas(8) BYTE other[capacity];
    for (const FileEntry* entry = head->next; entry != head; entry = entry->next) {
        if (QueryReparseSize(entry, other, static_cast<DWORD>(capacity)) != length) return false;
        if (!BytesEqual(reference, other, length)) return false;
    }
    return true;
}
