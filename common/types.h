// The records and values that the command line, the comparison engine and
// the console writers hand to one another.
#pragma once

#include "platform/windows_api.h"

// One file named on the command line. The entries form a circular, singly
// linked ring in command-line order, known by its head (the first file named).
// Each entry is one heap block sized for its name, which is stored inline.
struct FileEntry {
    FileEntry* next;
    HANDLE handle;  // first the open file, later its read-only mapping object
    WCHAR name[];   // without double quotes, NUL-terminated
};

// The switches given, as bits.
typedef uint32_t OptionFlags;
enum : OptionFlags {
    OPT_QUIET = 1,    // Q: no verdict line, no progress
    OPT_TIMING = 2,   // T: report the file access time
    OPT_REPARSE = 4,  // R: open reparse points themselves, compare reparse data
};

enum CompareResult : uint32_t {
    SAME_DATA = 0,
    DIFFERENT_SIZES = 1,
    DIFFERENT_CONTENTS = 2,
    DIFFERENT_REPARSE_DATA = 3,
};

enum : UINT {
    EXIT_CODE_SAME = 0,       // all files identical; also after the help text
    EXIT_CODE_DIFFERENT = 1,  // any difference
    EXIT_CODE_ERROR = 2,      // a failure stopped the run
};

// The console cell where the progress text stands.
typedef COORD ProgressAnchor;
