// The entry point: one comparison from the command line to the exit code.
#include "common/types.h"
#include "compare/pipeline.h"
#include "frontend/command_line.h"
#include "frontend/console_output.h"
#include "frontend/messages.h"
#include "frontend/timing.h"

extern "C" [[noreturn]] void Start() {
    SeedStackGuard();
    FileEntry* head;
    OptionFlags flags;
    ParseCommandLine(&head, &flags);

    // The readings stand just around the pipeline, so the span covers opening,
    // sizing, mapping and comparing, but neither parsing nor printing.
    LARGE_INTEGER start = {}, stop = {};
    BOOL countsTaken = FALSE;
    if (flags & OPT_TIMING) countsTaken = QueryPerformanceCounter(&start);
    const CompareResult result =
        CompareFiles(head, (flags & OPT_QUIET) == 0, (flags & OPT_REPARSE) != 0);
    if (countsTaken) countsTaken = QueryPerformanceCounter(&stop);

    if ((flags & OPT_QUIET) == 0) {
        const WCHAR* verdict = result == SAME_DATA         ? TEXT_SAME_DATA
                               : result == DIFFERENT_SIZES ? TEXT_DIFFERENT_SIZES
                                                           : TEXT_DIFFERENT_CONTENTS;
        Print(verdict, nullptr);
    }
    if (flags & OPT_TIMING) {
        ReportTiming(countsTaken, static_cast<uint64_t>(start.QuadPart),
                     static_cast<uint64_t>(stop.QuadPart));
    }
    ExitProcess(result == SAME_DATA ? EXIT_CODE_SAME : EXIT_CODE_DIFFERENT);
}
