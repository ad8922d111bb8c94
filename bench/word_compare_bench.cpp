// Throughput of the comparison loop (WordsEqual) on equal buffers, beside the
// C library's memcmp and the fastest plain 64-bit word loops written for this
// machine, so that the gap of each is known. Every case compares 64 KiB at a
// time, one view of DUVAK's, either on one pair that stays in the cache (hot)
// or walking a 1 GiB pair, far larger than the last-level cache (cold).
//
// Bytes processed count both buffers: the bytes read, as in bench/run.sh's
// file-level table. After the usual output a summary gives each loop's rate
// as a fraction of memcmp's and of the best plain word loop's.
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "compare/word_compare.h"

namespace {

constexpr size_t kChunkBytes = size_t{64} << 10;
constexpr size_t kChunkWords = kChunkBytes / 8;
constexpr size_t kColdBytes = size_t{1} << 30;

struct Pair {
    uint64_t* a;
    uint64_t* b;
    size_t words;
};

// Pseudo-random contents, so that no page is the shared zero page and no
// loop can guess the data; the second buffer is a copy of the first.
Pair MakePair(size_t bytes) {
    Pair pair;
    pair.words = bytes / 8;
    pair.a = static_cast<uint64_t*>(std::aligned_alloc(4096, bytes));
    pair.b = static_cast<uint64_t*>(std::aligned_alloc(4096, bytes));
    if (pair.a == nullptr || pair.b == nullptr) {
        std::fprintf(stderr, "cannot allocate 2 x %zu bytes\n", bytes);
        std::exit(2);
    }
    uint64_t x = 0x9E3779B97F4A7C15u;
    for (size_t i = 0; i < pair.words; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        pair.a[i] = x;
    }
    std::memcpy(pair.b, pair.a, bytes);
    return pair;
}

// Made on first use, so that running only the hot cases costs no 2 GiB.
const Pair& Hot() {
    static const Pair pair = MakePair(kChunkBytes);
    return pair;
}
const Pair& Cold() {
    static const Pair pair = MakePair(kColdBytes);
    return pair;
}

// The loops under test. Each answers whether `words` words are equal.
struct Words {
    static bool Equal(const uint64_t* a, const uint64_t* b, size_t words) {
        return WordsEqual(a, b, words);
    }
};

struct Memcmp {
    static bool Equal(const uint64_t* a, const uint64_t* b, size_t words) {
        return std::memcmp(a, b, words * 8) == 0;
    }
};

// The plain loops are kept to 64-bit scalar operations (the target is built
// with -fno-tree-vectorize) so they show what word-at-a-time code can reach.
// They may read up to one block past the first difference, which is harmless
// inside one view.

// Four words per branch.
struct PlainUnrolled4 {
    static bool Equal(const uint64_t* a, const uint64_t* b, size_t words) {
        size_t i = 0;
        for (; i + 4 <= words; i += 4) {
            if (((a[i] ^ b[i]) | (a[i + 1] ^ b[i + 1]) | (a[i + 2] ^ b[i + 2]) |
                 (a[i + 3] ^ b[i + 3])) != 0) {
                return false;
            }
        }
        for (; i < words; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
};

// XORs OR-accumulated over a block of `Block` words with one branch per
// block, in two independent accumulators so the ORs do not form one chain.
// WordsEqual now uses this scheme with 32 words; the copy here stays as the
// fixed yardstick, so that a later change to WordsEqual is measured against
// it rather than against itself.
template <size_t Block>
struct PlainBlockXor {
    static bool Equal(const uint64_t* a, const uint64_t* b, size_t words) {
        size_t i = 0;
        for (; i + Block <= words; i += Block) {
            uint64_t even = 0, odd = 0;
#pragma GCC unroll 16
            for (size_t k = 0; k < Block; k += 2) {
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
};

// For reference only, not a plain word loop: the same block scheme with the
// 128-bit SSE2 registers every x86-64 processor has.
struct VectorSse2Block {
    static bool Equal(const uint64_t* a, const uint64_t* b, size_t words) {
        size_t i = 0;
        for (; i + 8 <= words; i += 8) {
            const auto* va = reinterpret_cast<const __m128i*>(a + i);
            const auto* vb = reinterpret_cast<const __m128i*>(b + i);
            const __m128i d0 = _mm_xor_si128(_mm_loadu_si128(va), _mm_loadu_si128(vb));
            const __m128i d1 = _mm_xor_si128(_mm_loadu_si128(va + 1), _mm_loadu_si128(vb + 1));
            const __m128i d2 = _mm_xor_si128(_mm_loadu_si128(va + 2), _mm_loadu_si128(vb + 2));
            const __m128i d3 = _mm_xor_si128(_mm_loadu_si128(va + 3), _mm_loadu_si128(vb + 3));
            const __m128i any = _mm_or_si128(_mm_or_si128(d0, d1), _mm_or_si128(d2, d3));
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF) {
                return false;
            }
        }
        for (; i < words; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
};

template <class Loop>
void CompareHot(benchmark::State& state) {
    const Pair& pair = Hot();
    bool allEqual = true;
    for (auto _ : state) {
        const uint64_t* a = pair.a;
        const uint64_t* b = pair.b;
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        bool equal = Loop::Equal(a, b, kChunkWords);
        benchmark::DoNotOptimize(equal);
        allEqual &= equal;
    }
    if (!allEqual) state.SkipWithError("equal buffers compared unequal");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kChunkBytes);
}

// Walks the 1 GiB pair one chunk per iteration and wraps around: by the time
// a chunk comes round again, 2 GiB have been read through the cache since.
template <class Loop>
void CompareCold(benchmark::State& state) {
    const Pair& pair = Cold();
    size_t offset = 0;
    bool allEqual = true;
    for (auto _ : state) {
        const uint64_t* a = pair.a + offset;
        const uint64_t* b = pair.b + offset;
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        bool equal = Loop::Equal(a, b, kChunkWords);
        benchmark::DoNotOptimize(equal);
        allEqual &= equal;
        offset += kChunkWords;
        if (offset == pair.words) offset = 0;
    }
    if (!allEqual) state.SkipWithError("equal buffers compared unequal");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kChunkBytes);
}

struct Variant {
    const char* name;
    void (*hot)(benchmark::State&);
    void (*cold)(benchmark::State&);
    bool plain;  // a 64-bit scalar word loop, a candidate for "best plain"
};

template <class Loop>
Variant Make(const char* name, bool plain) {
    return {name, &CompareHot<Loop>, &CompareCold<Loop>, plain};
}

const std::vector<Variant>& Variants() {
    static const std::vector<Variant> variants = {
        Make<Words>("WordsEqual", false),
        Make<Memcmp>("memcmp", false),
        Make<PlainUnrolled4>("PlainUnrolled4", true),
        Make<PlainBlockXor<8>>("PlainBlockXor8", true),
        Make<PlainBlockXor<32>>("PlainBlockXor32", true),
        Make<VectorSse2Block>("VectorSse2Block", false),
    };
    return variants;
}

// The console output as usual, and the rates kept for the summary: the
// median when repetitions are asked for, else the single run.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a log stays plain text.
    SummaryReporter() : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (Failed(run)) continue;
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!single && !median) continue;
            const auto counter = run.counters.find("bytes_per_second");
            if (counter != run.counters.end()) rates_[run.run_name.function_name] = counter->second;
        }
    }

    // A run that failed or was skipped: Google Benchmark 1.8 (Debian 13)
    // replaced 1.7's error_occurred (Debian 12) with skipped.
    static bool Failed(const auto& run) {
        if constexpr (requires { run.error_occurred; }) {
            return run.error_occurred;
        } else {
            return static_cast<bool>(run.skipped);  // NotSkipped is 0
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* group : {"hot_64KiB", "cold_1GiB"}) {
            const std::string prefix = std::string(group) + "/";
            const double memcmpRate = Rate(prefix + "memcmp");
            double bestPlain = 0;
            std::string bestName;
            for (const Variant& v : Variants()) {
                const double rate = Rate(prefix + v.name);
                if (v.plain && rate > bestPlain) {
                    bestPlain = rate;
                    bestName = v.name;
                }
            }
            std::printf("\n%s (best plain word loop: %s)\n", group,
                        bestName.empty() ? "none run" : bestName.c_str());
            std::printf("  %-16s %9s %11s %15s\n", "loop", "GB/s", "vs memcmp", "vs best plain");
            for (const Variant& v : Variants()) {
                const double rate = Rate(prefix + v.name);
                if (rate == 0) continue;
                std::printf("  %-16s %9.2f %10.1f%% %14.1f%%\n", v.name, rate / 1e9,
                            memcmpRate > 0 ? 100 * rate / memcmpRate : 0.0,
                            bestPlain > 0 ? 100 * rate / bestPlain : 0.0);
            }
        }
        std::fflush(stdout);
    }

private:
    double Rate(const std::string& name) const {
        const auto found = rates_.find(name);
        return found == rates_.end() ? 0 : found->second;
    }

    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Variant& v : Variants()) {
        benchmark::RegisterBenchmark((std::string("hot_64KiB/") + v.name).c_str(), v.hot);
    }
    for (const Variant& v : Variants()) {
        benchmark::RegisterBenchmark((std::string("cold_1GiB/") + v.name).c_str(), v.cold);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
