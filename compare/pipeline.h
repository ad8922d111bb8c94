// The comparison engine: opening, sizing, mapping and comparing the files.
#pragma once

#include "common/types.h"

// Answers whether all files of the ring hold the same data. Every error ends
// the process through Fail; an unavailable console only means no progress.
CompareResult CompareFiles(FileEntry* head, bool showProgress, bool compareReparse);

// Opens every file of the ring for reading, or fails naming the first that
// cannot be opened.
void OpenFiles(FileEntry* head, bool openReparsePoints);

// Replaces every open file handle by a read-only mapping object of the file.
void CreateMappings(FileEntry* head);

// Compares the mapped files chunk by chunk, starting with `reference` as the
// file every other is compared against. `console` is null when no progress is
// shown.
CompareResult CompareContents(HANDLE console, uint64_t size, ProgressAnchor anchor,
                              FileEntry* reference);

// Turns an in-page error in a mapped view into "Error reading files."; every
// other exception takes the system's default course.
LONG WINAPI InPageErrorFilter(EXCEPTION_POINTERS* info);
