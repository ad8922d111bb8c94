// The file access time report that switch T adds after the verdict.
#pragma once

#include "platform/windows_api.h"

// The largest tick count whose conversion to hundredths cannot overflow 64
// bits for any frequency: t * 100 + f / 200 stays below 2^64.
inline constexpr uint64_t TIMING_TICK_LIMIT = 183545103533410038ull;

// Prints "File access time: ..." for the span between the two counter
// readings, or that the time is not available when either reading failed,
// the span is too long, or the counter frequency is unknown.
void ReportTiming(BOOL countsTaken, uint64_t start, uint64_t stop);
