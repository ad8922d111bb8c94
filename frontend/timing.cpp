#include "frontend/timing.h"

#include "frontend/console_output.h"
#include "frontend/messages.h"

void ReportTiming(BOOL countsTaken, uint64_t start, uint64_t stop) {
    const uint64_t ticks = stop - start;  // a stop below the start wraps past the limit
    LARGE_INTEGER frequency;
    // The frequency is only asked for once the span is known to be usable; a
    // frequency of 0 is never divided by.
    if (countsTaken && ticks <= TIMING_TICK_LIMIT && QueryPerformanceFrequency(&frequency) &&
        frequency.QuadPart != 0) {
        const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
        const uint64_t hundredths = (ticks * 100 + f / 200) / f;
        WCHAR value[22];
        if (hundredths == 0) {
            Print(TEXT_TIME_HEAD, TEXT_TIME_BELOW_RESOLUTION, TEXT_TIME_TAIL, nullptr);
        } else {
            wsprintfW(value, FORMAT_TIME, hundredths / 100,
                      static_cast<unsigned>(hundredths % 100));
            Print(TEXT_TIME_HEAD, value, TEXT_TIME_TAIL, nullptr);
        }
        return;
    }
    Print(TEXT_TIME_NOT_AVAILABLE, nullptr);
}
