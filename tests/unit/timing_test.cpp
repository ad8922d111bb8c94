// Switch T: where the counter is read, and how the span becomes text.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "frontend/timing.h"
#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

namespace {

using namespace texts;
using sim::Api;
using sim::IndexOf;
constexpr uint64_t LIMIT = 183545103533410038ull;

TEST(ReportTiming, SpanToText) {
    struct {
        BOOL taken;
        uint64_t start, stop;
        LONGLONG frequency;
        bool frequencyFails;
        std::string out;
        bool asksFrequency;
    } const cases[] = {
        {TRUE, 1000, 1000 + 15'000'000, 10'000'000, false, TimeLine("1.50"), true},
        {TRUE, 0, 40'000, 10'000'000, false, TimeLine("< 0.01"), true},
        {TRUE, 0, 100'000, 10'000'000, false, TimeLine("0.01"), true},
        {TRUE, 0, 620'700'000, 10'000'000, false, TimeLine("62.07"), true},
        {TRUE, 7, 7 + 30'000'000, 10'000'000, false, TimeLine("3.00"), true},
        {TRUE, 0, 199'000, 10'000'000, false, TimeLine("0.01"), true},
        {TRUE, 0, 99'499, 10'000'000, false, TimeLine("< 0.01"), true},
        {TRUE, 0, 99'500, 10'000'000, false, TimeLine("0.01"), true},
        {TRUE, 0, 0, 10'000'000, false, TimeLine("< 0.01"), true},
        {TRUE, ~0ull - 15, 16, 100, false, TimeLine("0.32"), true},  // the counter wrapped
        {TRUE, 5, 5 + LIMIT, 1, false, TimeLine("183545103533410038.00"), true},
        {TRUE, 0, LIMIT, INT64_MAX, false, TimeLine("0.01"), true},
        {TRUE, 5, 5 + LIMIT + 1, 1, false, TIME_NOT_AVAILABLE, false},
        {TRUE, 100, 99, 10'000'000, false, TIME_NOT_AVAILABLE, false},
        {FALSE, 0, 15'000'000, 10'000'000, false, TIME_NOT_AVAILABLE, false},
        {TRUE, 0, 15'000'000, 10'000'000, true, TIME_NOT_AVAILABLE, true},
        {TRUE, 0, 15'000'000, 0, false, TIME_NOT_AVAILABLE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.stop - c.start) + " ticks at " + std::to_string(c.frequency));
        sim::Reset();
        sim::W().frequency = c.frequency;
        sim::W().frequencyFails = c.frequencyFails;
        EXPECT_TRUE(sim::Run([&] { ReportTiming(c.taken, c.start, c.stop); }).returned);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::Calls(Api::QueryPerformanceFrequency).size(), c.asksFrequency ? 1u : 0u);
    }
}

TEST(Timing, ReadingsStandJustAroundThePipeline) {
    sim::Reset();
    sim::AddGeneratedFile(u"a", 300'000);
    sim::AddGeneratedFile(u"b", 300'000);
    sim::W().counterReadings = {1000, 1000 + 15'000'000};
    EXPECT_EQ(sim::RunProgram(u"DUVAK /T a b").exitCode, 0u);
    EXPECT_EQ(sim::W().out.bytes, SAME + TimeLine("1.50"));

    const std::vector<sim::Call>& log = sim::W().log;
    const size_t first = IndexOf(Api::QueryPerformanceCounter);
    const size_t second = IndexOf(Api::QueryPerformanceCounter, first + 1);
    const std::set<Api> parsing = {Api::GetCommandLineW, Api::LocalAlloc};
    for (size_t i = 0; i < first; ++i) EXPECT_TRUE(parsing.count(log[i].api)) << sim::Name(log[i].api);
    EXPECT_EQ(log[first + 1].api, Api::CreateFileW);
    const size_t view = IndexOf(Api::MapViewOfFile);
    EXPECT_LT(first, view);
    EXPECT_LT(view, second);
    const std::set<Api> reporting = {Api::GetStdHandle, Api::CharToOemBuffW, Api::WriteFile,
                                     Api::QueryPerformanceFrequency, Api::wsprintfW, Api::ExitProcess};
    for (size_t i = second + 1; i < log.size(); ++i) {
        EXPECT_TRUE(reporting.count(log[i].api)) << sim::Name(log[i].api);
    }
    EXPECT_LT(second, IndexOf(Api::WriteFile));
    EXPECT_GT(IndexOf(Api::QueryPerformanceFrequency), second);
}

TEST(Timing, CounterFailures) {
    struct {
        std::vector<bool> fails;
        size_t readings;
    } const cases[] = {{{true}, 1}, {{false, true}, 2}};
    for (const auto& c : cases) {
        sim::Reset();
        sim::AddFile(u"a", "x");
        sim::AddFile(u"b", "x");
        sim::W().counterFails = c.fails;
        EXPECT_EQ(sim::RunProgram(u"DUVAK /t a b").exitCode, 0u);
        EXPECT_EQ(sim::W().out.bytes, SAME + TIME_NOT_AVAILABLE);
        EXPECT_EQ(sim::Calls(Api::QueryPerformanceCounter).size(), c.readings);
        EXPECT_TRUE(sim::Calls(Api::QueryPerformanceFrequency).empty());
    }
}

TEST(Timing, LineFollowsTheVerdictOrStandsAlone) {
    struct {
        std::u16string line;
        std::string out;
        UINT exit;
        size_t readings;
    } const cases[] = {
        {u"DUVAK /T a b", CONTENTS + TimeLine("0.32"), 1, 2},
        {u"DUVAK /Q /T a b", TimeLine("0.32"), 1, 2},
        {u"DUVAK a b", CONTENTS, 1, 0},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::AddFile(u"a", "xy");
        sim::AddFile(u"b", "xz");
        sim::W().counterReadings = {-16, 16};  // signed readings across the wrap
        sim::W().frequency = 100;
        EXPECT_EQ(sim::RunProgram(c.line).exitCode, c.exit);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::Calls(Api::QueryPerformanceCounter).size(), c.readings);
    }
}

}  // namespace
