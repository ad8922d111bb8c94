// The inner loop of the content comparison.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Compares `words` 64-bit words in ascending order and stops at the first
// block that holds an unequal pair. A read of a page that cannot be brought
// in faults right here.
//
// Blocks of 32 words (256 bytes) are XORed and ORed together with one branch
// per block, two accumulators wide so that the ORs do not form one chain:
// word by word, the branches cost a third of the speed on data in the cache.
// Views start on a page and a page holds whole blocks, so finishing a block
// past a difference never touches a page that the word-by-word loop would
// not have read.
inline bool WordsEqual(const uint64_t* a, const uint64_t* b, size_t words) {
    constexpr size_t BLOCK = 32;
    size_t i = 0;
    for (; i + BLOCK <= words; i += BLOCK) {
        uint64_t even = 0, odd = 0;
#pragma GCC unroll 16
        for (size_t k = 0; k < BLOCK; k += 2) {
            even |= a[i + k] ^ b[i + k];
            odd |= a[i + k + 1] ^ b[i + k + 1];
        }
        if ((even | odd) != 0) return false;
    }
    for (; i < words; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}
