// Every platform call that can fail is made to fail, one run each, in whole
// scenarios; and every mapped page is made unreadable, one run each. Each run
// must end in the one outcome defined for that failure: its message with exit
// code 2, or the failure absorbed with the verdict's exit code.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

namespace {

using namespace texts;
using sim::Api;

struct Scenario {
    const char* name;
    std::u16string commandLine;
    std::function<void()> setup;
};

std::string Contents(size_t size, char fill) { return std::string(size, fill); }

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"two same, timed", u"DUVAK /T a b",
         [] {
             sim::AddFile(u"a", Contents(3 * 4096 + 123, 'x'));
             sim::AddFile(u"b", Contents(3 * 4096 + 123, 'x'));
         }},
        {"three same, reparse, timed", u"DUVAK /R /T a b c",
         [] {
             for (auto name : {u"a", u"b", u"c"}) {
                 sim::AddFile(name, Contents(2 * 4096 + 9, 'y')).reparseData =
                     std::vector<uint8_t>(40, 7);
             }
         }},
        {"three, last chunk differs, quiet", u"DUVAK /Q /T a b c",
         [] {
             sim::AddFile(u"a", Contents(3 * 4096, 'z'));
             sim::AddFile(u"b", Contents(3 * 4096, 'z'));
             std::string c = Contents(3 * 4096, 'z');
             c[3 * 4096 - 1] = 'Z';
             sim::AddFile(u"c", c);
         }},
        {"different sizes", u"DUVAK a b",
         [] {
             sim::AddFile(u"a", "1234");
             sim::AddFile(u"b", "12345");
         }},
        {"reparse data differs", u"DUVAK /R a b",
         [] {
             sim::AddFile(u"a", "same").reparseData = std::vector<uint8_t>(30, 1);
             sim::AddFile(u"b", "same");
         }},
        {"three same, no console", u"DUVAK a b c",
         [] {
             for (auto name : {u"a", u"b", u"c"}) sim::AddFile(name, Contents(5000, 'q'));
             sim::W().console.present = false;
         }},
    };
    return scenarios;
}

struct Result {
    sim::Outcome outcome;
    std::string out, err;
    std::optional<sim::Call> failed;  // the call made to fail
    int failableCalls;
    int64_t pagesMapped;
    size_t consoleWrites;
    int consoleHandlesLeft;
};

Result RunScenario(const Scenario& scenario, int failAtCall, int64_t inPageAtPage) {
    sim::Reset();
    sim::W().granularity = 4096;
    scenario.setup();
    sim::W().failAtCall = failAtCall;
    sim::W().inPageAtMappedPage = inPageAtPage;
    Result r;
    r.outcome = sim::RunProgram(scenario.commandLine);
    r.out = sim::W().out.bytes;
    r.err = sim::W().err.bytes;
    if (sim::W().failedCall) r.failed = sim::W().log[*sim::W().failedCall];
    r.failableCalls = sim::W().failableCalls;
    r.pagesMapped = sim::W().pagesMapped;
    r.consoleWrites = sim::W().console.writes.size();
    r.consoleHandlesLeft = sim::W().console.openHandles;
    return r;
}

// Standard output after a failure of the counter: the timing line says so.
std::string WithoutTiming(const std::string& out) {
    const size_t at = out.find(TIME_HEAD);
    return at == std::string::npos ? out : out.substr(0, at) + TIME_NOT_AVAILABLE;
}

// Checks one run against what its injected failure must produce, and names
// the outcome for the table.
std::string Judge(const Result& base, const Result& r) {
    EXPECT_FALSE(r.outcome.crashCode) << "crashed";
    EXPECT_FALSE(r.outcome.returned);
    EXPECT_TRUE(r.outcome.exitCode);
    if (!r.outcome.exitCode) return "no exit";
    const UINT code = *r.outcome.exitCode;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    // A failure never turns into the opposite verdict.
    if (code != 2) EXPECT_EQ(code, *base.outcome.exitCode);

    const Api call = r.failed->api;
    const std::string file = sim::Utf8(r.failed->object);
    if (call == Api::LocalAlloc) {
        EXPECT_EQ(code, 2u);
        EXPECT_EQ(r.err, NO_MEMORY);
        return "Not enough memory, 2";
    }
    if (call == Api::CreateFileW && file == "CONOUT$") {
        EXPECT_EQ(code, *base.outcome.exitCode);
        EXPECT_EQ(r.out, base.out);
        EXPECT_EQ(r.consoleWrites, 0u);
        return "no indicator, verdict";
    }
    if (call == Api::CreateFileW) {
        EXPECT_EQ(code, 2u);
        EXPECT_EQ(r.err, CannotOpen(file));
        return "cannot be opened, 2";
    }
    if (call == Api::GetFileSizeEx || call == Api::DeviceIoControl ||
        call == Api::CreateFileMappingW || call == Api::MapViewOfFile) {
        EXPECT_EQ(code, 2u);
        EXPECT_EQ(r.err, CannotRead(file));
        EXPECT_EQ(r.out, "");
        return "cannot be read, 2";
    }
    if (call == Api::GetConsoleScreenBufferInfo) {
        EXPECT_EQ(code, *base.outcome.exitCode);
        EXPECT_EQ(r.out, base.out);
        EXPECT_EQ(r.consoleWrites, 0u);
        EXPECT_EQ(r.consoleHandlesLeft, 0);
        return "no indicator, verdict";
    }
    if (call == Api::WriteFile) {
        // Standard output goes silent from the failed piece on.
        EXPECT_EQ(code, *base.outcome.exitCode);
        EXPECT_LT(r.out.size(), base.out.size());
        EXPECT_EQ(base.out.compare(0, r.out.size(), r.out), 0);
        EXPECT_EQ(r.err, "");
        return "output dropped, verdict code";
    }
    if (call == Api::QueryPerformanceCounter || call == Api::QueryPerformanceFrequency) {
        EXPECT_EQ(code, *base.outcome.exitCode);
        EXPECT_EQ(r.out, WithoutTiming(base.out));
        return "time not available, verdict code";
    }
    ADD_FAILURE() << "no outcome defined for a failure of " << sim::Name(call);
    return "undefined";
}

TEST(FaultSweep, EveryFailableCallFailsOnceWithItsDefinedOutcome) {
    std::map<std::string, std::map<std::string, int>> table;
    int runs = 0;
    for (const Scenario& scenario : Scenarios()) {
        const Result base = RunScenario(scenario, 0, 0);
        ASSERT_TRUE(base.outcome.exitCode) << scenario.name;
        ASSERT_NE(*base.outcome.exitCode, 2u) << scenario.name << ": " << base.err;
        ASSERT_GT(base.failableCalls, 3) << scenario.name;
        for (int k = 1; k <= base.failableCalls; ++k) {
            SCOPED_TRACE(std::string(scenario.name) + ", failing call " + std::to_string(k));
            const Result r = RunScenario(scenario, k, 0);
            ASSERT_TRUE(r.failed) << "the run ended before call " << k;
            ++table[sim::Name(r.failed->api)][Judge(base, r)];
            ++runs;
        }
    }
    std::cout << "\nFault sweep: " << runs << " runs, outcome by failed call\n";
    for (const auto& [call, outcomes] : table) {
        for (const auto& [outcome, count] : outcomes) {
            std::cout << "  " << call << std::string(30 - call.size(), ' ') << count << "  " << outcome << "\n";
        }
    }
    // Every kind of failable call was reached by some scenario.
    for (const char* call : {"LocalAlloc", "CreateFileW", "GetFileSizeEx", "DeviceIoControl",
                             "CreateFileMappingW", "MapViewOfFile", "GetConsoleScreenBufferInfo",
                             "WriteFile", "QueryPerformanceCounter", "QueryPerformanceFrequency"}) {
        EXPECT_TRUE(table.count(call)) << call << " was never made to fail";
    }
}

TEST(FaultSweep, EveryMappedPageUnreadableOnceGivesTheReadError) {
    std::map<std::string, int> table;
    for (const Scenario& scenario : Scenarios()) {
        const Result base = RunScenario(scenario, 0, 0);
        for (int64_t page = 1; page <= base.pagesMapped; ++page) {
            SCOPED_TRACE(std::string(scenario.name) + ", unreadable page " + std::to_string(page));
            const Result r = RunScenario(scenario, 0, page);
            EXPECT_FALSE(r.outcome.crashCode);
            ASSERT_TRUE(r.outcome.exitCode);
            // Identical files read every page; with a difference, a page past it
            // may go unread and the verdict stands.
            if (*r.outcome.exitCode == 2 || *base.outcome.exitCode == 0) {
                EXPECT_EQ(*r.outcome.exitCode, 2u);
                EXPECT_EQ(r.err, READ_ERROR);
                EXPECT_EQ(r.out, "");
                ++table["Error reading files, 2"];
            } else {
                EXPECT_EQ(r.out, base.out);
                EXPECT_EQ(*r.outcome.exitCode, *base.outcome.exitCode);
                ++table["page never read, verdict"];
            }
        }
    }
    std::cout << "\nIn-page sweep, outcome by run\n";
    for (const auto& [outcome, count] : table) std::cout << "  " << count << "  " << outcome << "\n";
    EXPECT_GT(table["Error reading files, 2"], 10);
}

}  // namespace
