// Switch T: where the counter is read, and how the span becomes text.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "frontend/timing.h"
#include "tests/sim/sim_windows.h"

namespace {

const std::string NOT_AVAILABLE = "File access time not available.\n";
const std::string SAME = "The files have the same data.\n";
constexpr uint64_t LIMIT = 183545103533410038ull;

std::string Line(const std::string& value) { return "File access time: " + value + " seconds.\n"; }

TEST(ReportTiming, SpanToText) {
    struct {
        BOOL taken;
        uint64_t start, stop;
        LONGLONG frequency;
        bool frequencyFails;
        std::string out;
        bool asksFrequency;
    } const cases[] = {
        {TRUE, 1000, 1000 + 15'000'000, 10'000'000, false, Line("1.50"), true},
        {TRUE, 0, 40'000, 10'000'000, false, Line("< 0.01"), true},
        {TRUE, 0, 100'000, 10'000'000, false, Line("0.01"), true},
        {TRUE, 0, 620'700'000, 10'000'000, false, Line("62.07"), true},
        {TRUE, 7, 7 + 30'000'000, 10'000'000, false, Line("3.00"), true},
        {TRUE, 0, 199'000, 10'000'000, false, Line("0.01"), true},
        {TRUE, 0, 99'499, 10'000'000, false, Line("< 0.01"), true},
        {TRUE, 0, 99'500, 10'000'000, false, Line("0.01"), true},
        {TRUE, 0, 0, 10'000'000, false, Line("< 0.01"), true},
        {TRUE, ~0ull - 15, 16, 100, false, Line("0.32"), true},  // the counter wrapped
        {TRUE, 5, 5 + LIMIT, 1, false, Line("183545103533410038.00"), true},
        {TRUE, 0, LIMIT, INT64_MAX, false, Line("0.01"), true},
        {TRUE, 5, 5 + LIMIT + 1, 1, false, NOT_AVAILABLE, false},
        {TRUE, 100, 99, 10'000'000, false, NOT_AVAILABLE, false},
        {FALSE, 0, 15'000'000, 10'000'000, false, NOT_AVAILABLE, false},
        {TRUE, 0, 15'000'000, 10'000'000, true, NOT_AVAILABLE, true},
        {TRUE, 0, 15'000'000, 0, false, NOT_AVAILABLE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.stop - c.start) + " ticks at " + std::to_string(c.frequency));
        sim::Reset();
        sim::W().frequency = c.frequency;
        sim::W().frequencyFails = c.frequencyFails;
        EXPECT_TRUE(sim::Run([&] { ReportTiming(c.taken, c.start, c.stop); }).returned);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::Calls("QueryPerformanceFrequency").size(), c.asksFrequency ? 1u : 0u);
    }
}

size_t IndexOf(const std::vector<sim::Call>& log, const std::string& name, size_t from = 0) {
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i].name == name) return i;
    }
    return log.size();
}

TEST(Timing, ReadingsStandJustAroundThePipeline) {
    sim::Reset();
    sim::AddGeneratedFile(u"a", 300'000);
    sim::AddGeneratedFile(u"b", 300'000);
    sim::W().counterReadings = {1000, 1000 + 15'000'000};
    EXPECT_EQ(sim::RunProgram(u"DUVAK /T a b").exitCode, 0u);
    EXPECT_EQ(sim::W().out.bytes, SAME + Line("1.50"));

    const std::vector<sim::Call>& log = sim::W().log;
    const size_t first = IndexOf(log, "QueryPerformanceCounter");
    const size_t second = IndexOf(log, "QueryPerformanceCounter", first + 1);
    ASSERT_LT(second, log.size());
    const std::set<std::string> parsing = {"GetCommandLineW", "LocalAlloc"};
    for (size_t i = 0; i < first; ++i) EXPECT_TRUE(parsing.count(log[i].name)) << log[i].Text();
    EXPECT_EQ(log[first + 1].name, "CreateFileW");
    EXPECT_GT(IndexOf(log, "MapViewOfFile", first), first);
    const std::set<std::string> reporting = {"GetStdHandle", "CharToOemBuffW", "WriteFile",
                                             "QueryPerformanceFrequency", "wsprintfW", "ExitProcess"};
    for (size_t i = second + 1; i < log.size(); ++i) {
        EXPECT_TRUE(reporting.count(log[i].name)) << log[i].Text();
    }
    EXPECT_LT(second, IndexOf(log, "WriteFile"));
    EXPECT_GT(IndexOf(log, "QueryPerformanceFrequency"), second);
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
        EXPECT_EQ(sim::W().out.bytes, SAME + NOT_AVAILABLE);
        EXPECT_EQ(sim::Calls("QueryPerformanceCounter").size(), c.readings);
        EXPECT_TRUE(sim::Calls("QueryPerformanceFrequency").empty());
    }
}

TEST(Timing, LineFollowsTheVerdictOrStandsAlone) {
    struct {
        std::u16string line;
        std::string out;
        UINT exit;
        size_t readings;
    } const cases[] = {
        {u"DUVAK /T a b", "The files have different contents.\n" + Line("0.32"), 1, 2},
        {u"DUVAK /Q /T a b", Line("0.32"), 1, 2},
        {u"DUVAK a b", "The files have different contents.\n", 1, 0},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::AddFile(u"a", "xy");
        sim::AddFile(u"b", "xz");
        sim::W().counterReadings = {-16, 16};  // signed readings across the wrap
        sim::W().frequency = 100;
        EXPECT_EQ(sim::RunProgram(c.line).exitCode, c.exit);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::Calls("QueryPerformanceCounter").size(), c.readings);
    }
}

}  // namespace
