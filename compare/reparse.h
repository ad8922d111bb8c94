// With switch R: the reparse data of every file must equal the first file's.
#pragma once

#include "common/types.h"

// The size of an entry's reparse data read into `buffer`: the bytes returned,
// 0 when the file is no reparse point, -1 when the data does not fit. Any
// other failure ends the run naming the file.
LONG QueryReparseSize(const FileEntry* entry, void* buffer, DWORD capacity);

// True when every file carries the same reparse data as the head (or none).
bool CompareReparseData(FileEntry* head);
