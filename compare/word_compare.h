// The inner loop of the content comparison.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Compares `words` 64-bit words in ascending order and stops at the first
// unequal pair. A read of a page that cannot be brought in faults right here.
inline bool WordsEqual(const uint64_t* a, const uint64_t* b, size_t words) {
    for (size_t i = 0; i < words; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}
