#include "compare/pipeline.h"

#include "compare/progress.h"
#include "compare/reparse.h"
#include "compare/word_compare.h"
#include "frontend/console_output.h"
#include "frontend/messages.h"

namespace {

[[noreturn]] void FailCannotRead(const FileEntry* entry) {
    Fail(TEXT_FILE_HEAD, entry->name, TEXT_CANNOT_READ_TAIL, nullptr);
}

uint64_t QuerySize(const FileEntry* entry) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(entry->handle, &size)) FailCannotRead(entry);
    return static_cast<uint64_t>(size.QuadPart);
}

const uint64_t* MapChunk(const FileEntry* entry, uint64_t offset, SIZE_T length) {
    const void* view = MapViewOfFile(entry->handle, FILE_MAP_READ,
                                     static_cast<DWORD>(offset >> 32),
                                     static_cast<DWORD>(offset), length);
    if (view == nullptr) FailCannotRead(entry);
    return static_cast<const uint64_t*>(view);
}

}  // namespace

void OpenFiles(FileEntry* head, bool openReparsePoints) {
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN |
                        (openReparsePoints ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    FileEntry* entry = head;
    do {
        entry->handle = CreateFileW(entry->name, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
        if (entry->handle == INVALID_HANDLE_VALUE) {
            Fail(TEXT_FILE_HEAD, entry->name, TEXT_CANNOT_OPEN_TAIL, nullptr);
        }
        entry = entry->next;
    } while (entry != head);
}

void CreateMappings(FileEntry* head) {
    FileEntry* entry = head;
    do {
        HANDLE mapping = CreateFileMappingW(entry->handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping == nullptr) FailCannotRead(entry);
        CloseHandle(entry->handle);
        entry->handle = mapping;
        entry = entry->next;
    } while (entry != head);
}

CompareResult CompareFiles(FileEntry* head, bool showProgress, bool compareReparse) {
    // Every file is opened before any size is asked for, and the sizes are all
    // known before any data is read, so which verdict wins never depends on
    // how far the reading got.
    OpenFiles(head, compareReparse);
    const uint64_t size = QuerySize(head);
    for (const FileEntry* entry = head->next; entry != head; entry = entry->next) {
        if (QuerySize(entry) != size) return DIFFERENT_SIZES;
    }
    if (compareReparse && !CompareReparseData(head)) return DIFFERENT_REPARSE_DATA;
    if (size == 0) return SAME_DATA;

    CreateMappings(head);
    ProgressAnchor anchor = {0, 0};
    HANDLE console = showProgress ? OpenProgress(&anchor) : nullptr;
    const CompareResult result = CompareContents(console, size, anchor, head);
    if (console != nullptr) CloseProgress(console, anchor);
    return result;
}

CompareResult CompareContents(HANDLE console, uint64_t size, ProgressAnchor anchor,
                              FileEntry* reference) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const uint64_t granule = system.dwAllocationGranularity;
    const uint64_t chunks = (size - 1) / granule + 1;
    SIZE_T words = granule / 8;

    SetUnhandledExceptionFilter(InPageErrorFilter);

    uint64_t offset = 0;
    SIZE_T length = granule;
    uint64_t remaining = chunks;
    uint64_t accumulator = 0;  // 100 per chunk done, so accumulator / chunks is the percentage
    DWORD shown = 0;
    for (;;) {
        if (console != nullptr) {
            const DWORD percentage = static_cast<DWORD>(accumulator / chunks);
            if (percentage != shown) {
                ShowProgress(console, anchor, percentage);
                shown = percentage;
            }
            accumulator += 100;
        }
        if (remaining == 1) {
            // A partial last word is compared whole: the bytes past the end of
            // a file lie in the same mapped page and read as zeros in every file.
            length = static_cast<SIZE_T>(size - offset);
            words = (length + 7) / 8;
        }
        const uint64_t* referenceView = MapChunk(reference, offset, length);
        FileEntry* comparedLast = reference;
        for (FileEntry* entry = reference->next; entry != reference; entry = entry->next) {
            const uint64_t* view = MapChunk(entry, offset, length);
            if (!WordsEqual(referenceView, view, words)) return DIFFERENT_CONTENTS;
            UnmapViewOfFile(view);
            comparedLast = entry;
        }
        if (--remaining == 0) return SAME_DATA;
        offset += length;
        UnmapViewOfFile(referenceView);
        // The file read last is still warm in the cache, so it leads the next
        // chunk; the reference walks backwards around the ring.
        reference = comparedLast;
    }
}

LONG WINAPI InPageErrorFilter(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) {
        Fail(TEXT_READ_ERROR, nullptr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
