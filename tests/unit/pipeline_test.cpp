// The comparison engine: opening, sizing, mapping and the chunk walk.
#include <gtest/gtest.h>

#include <functional>

#include "compare/pipeline.h"
#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

using namespace sim;
using namespace texts;
using Strings = std::vector<std::string>;
using Names = std::vector<std::u16string>;

namespace {

constexpr uint64_t GiB = 1ull << 30;

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    // The program's stdout or stderr text, and its exit code.
    std::pair<std::string, UINT> Duvak(const std::u16string& arguments) {
        const Outcome outcome = RunProgram(u"DUVAK " + arguments);
        EXPECT_TRUE(outcome.exitCode.has_value());
        return {W().out.bytes + W().err.bytes, outcome.exitCode.value_or(99)};
    }
    void AddSameFiles(std::initializer_list<std::u16string> names, uint64_t size) {
        for (const auto& name : names) AddGeneratedFile(name, size, 7);
    }
};

TEST_F(Pipeline, NamesTheFirstFileInRingOrderThatCannotBeOpened) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::string message;
    } cases[] = {
        {"second missing", [] { AddFile(u"a", "x"); AddFile(u"c", "x"); }, "b"},
        {"first a directory, second missing",
         [] { AddFile(u"a", "").directory = true; AddFile(u"c", "x"); }, "a"},
        {"third held open for writing elsewhere",
         [] { AddFile(u"a", "x"); AddFile(u"b", "x"); AddFile(u"c", "x");
              HoldOpen(u"c", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE); }, "c"},
        {"second not accessible", [] { AddFile(u"a", "x"); AddFile(u"b", "x").accessDenied = true;
                                       AddFile(u"c", "x"); }, "b"},
        {"third missing, first two of different sizes",
         [] { AddFile(u"a", "x"); AddFile(u"b", "yy"); }, "c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        EXPECT_EQ(Duvak(u"a b c"), std::make_pair(CannotOpen(c.message), 2u));
        EXPECT_TRUE(W().out.bytes.empty());
        EXPECT_TRUE(Calls(Api::GetFileSizeEx).empty());
    }
}

TEST_F(Pipeline, OpensEveryFileForSequentialReadingBeforeAnySizeQuery) {
    // Quiet: the console is not opened.
    for (const auto& [options, flags] :
         {std::pair{u"/Q ", FILE_FLAG_SEQUENTIAL_SCAN},
          {u"/Q /R ", FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT}}) {
        Reset();
        AddSameFiles({u"a", u"b", u"c"}, 10);
        EXPECT_EQ(Duvak(std::u16string(options) + u"a b c"), std::make_pair(std::string(), 0u));
        EXPECT_EQ(Objects(Api::CreateFileW), (Names{u"a", u"b", u"c"}));
        const Numbers sharedReading = {GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, flags, 0};
        EXPECT_EQ(Args(Api::CreateFileW), std::vector<Numbers>(3, sharedReading));
        EXPECT_LT(LastIndexOf(Api::CreateFileW), IndexOf(Api::GetFileSizeEx));
    }
}

TEST_F(Pipeline, SizeWalkStopsAtTheFirstMismatchOrFailure) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::pair<std::string, UINT> verdict;
        Names queried;
    } cases[] = {
        {"head's size unknown", [] { AddFile(u"a", "x").sizeFails = true; AddFile(u"b", "x");
                                     AddFile(u"c", "x"); },
         {CannotRead("a"), 2}, {u"a"}},
        {"second's size unknown", [] { AddFile(u"a", "x"); AddFile(u"b", "x").sizeFails = true;
                                       AddFile(u"c", "x"); },
         {CannotRead("b"), 2}, {u"a", u"b"}},
        {"second differs, third's query would fail",
         [] { AddFile(u"a", "x"); AddFile(u"b", "xy"); AddFile(u"c", "x").sizeFails = true; },
         {SIZES, 1}, {u"a", u"b"}},
        {"third differs", [] { AddFile(u"a", "x"); AddFile(u"b", "x"); AddFile(u"c", ""); },
         {SIZES, 1}, {u"a", u"b", u"c"}},
        {"sizes equal in their low 32 bits",
         [] { AddZeroFile(u"a", 4 * GiB + 1); AddFile(u"b", "x"); AddFile(u"c", "x"); },
         {SIZES, 1}, {u"a", u"b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        EXPECT_EQ(Duvak(u"a b c"), c.verdict);
        EXPECT_EQ(Objects(Api::GetFileSizeEx), c.queried);
        EXPECT_TRUE(Calls(Api::CreateFileMappingW).empty());
    }
}

TEST_F(Pipeline, EmptyFilesAreTheSameWithoutAnyMapping) {
    AddFile(u"a", "");
    AddFile(u"b", "");
    AddFile(u"c", "");
    EXPECT_EQ(Duvak(u"a b c"), std::make_pair(SAME, 0u));
    EXPECT_TRUE(Calls(Api::CreateFileMappingW).empty());
    EXPECT_TRUE(Calls(Api::MapViewOfFile).empty());
}

TEST_F(Pipeline, MapsEachFileReadOnlyAndThenClosesItsHandle) {
    AddSameFiles({u"a", u"b"}, 100);
    EXPECT_EQ(Duvak(u"a b"), std::make_pair(SAME, 0u));
    Strings mappingCalls;
    for (const Call& call : W().log) {
        if (call.api == Api::CreateFileMappingW || (call.api == Api::CloseHandle && call.kind == Object::File)) {
            mappingCalls.push_back(Name(call.api) + (" " + Utf8(call.object)));
        }
    }
    EXPECT_EQ(mappingCalls, (Strings{"CreateFileMappingW a", "CloseHandle a", "CreateFileMappingW b",
                                     "CloseHandle b"}));
    EXPECT_EQ(Args(Api::CreateFileMappingW), std::vector<Numbers>(2, Numbers{0, PAGE_READONLY, 0, 0, 0}));

    Reset();
    AddSameFiles({u"a", u"b", u"c"}, 100);
    W().files[u"b"].mappingFails = true;
    EXPECT_EQ(Duvak(u"a b c"), std::make_pair(CannotRead("b"), 2u));
}

TEST_F(Pipeline, CutsTheFilesIntoGranulesAndFindsADifferenceInTheLastByte) {
    const uint64_t G = 4096;
    const struct {
        uint64_t size;
        std::vector<Numbers> views;  // file a's views: offset high, offset low, length
    } cases[] = {
        {G, {{0, 0, 4096}}},
        {G + 1, {{0, 0, 4096}, {0, 4096, 1}}},
        {1, {{0, 0, 1}}},
        {3 * G + 13, {{0, 0, 4096}, {0, 4096, 4096}, {0, 8192, 4096}, {0, 12288, 13}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        for (bool differ : {false, true}) {
            Reset();
            W().granularity = G;
            AddSameFiles({u"a", u"b"}, c.size);
            if (differ) W().files[u"b"].ChangeByte(c.size - 1);
            EXPECT_EQ(Duvak(u"a b"), std::make_pair(differ ? CONTENTS : SAME, differ ? 1u : 0u));
            std::vector<Numbers> expected;
            for (const Numbers& view : c.views) expected.push_back({FILE_MAP_READ, view[0], view[1], view[2]});
            EXPECT_EQ(Calls(Api::MapViewOfFile).size(), 2 * expected.size());
            EXPECT_EQ(Args(Api::MapViewOfFile, u"a"), expected);
        }
    }
}

TEST_F(Pipeline, TheFileComparedLastLeadsTheNextChunk) {
    W().granularity = 4096;
    AddSameFiles({u"a", u"b", u"c"}, 4 * 4096 - 3);
    EXPECT_EQ(Duvak(u"a b c"), std::make_pair(SAME, 0u));
    const Strings events = ViewEvents();
    const Strings expected = {"+a0", "+b0", "-b0", "+c0", "-c0", "-a0",
                              "+c1", "+a1", "-a1", "+b1", "-b1", "-c1",
                              "+b2", "+c2", "-c2", "+a2", "-a2", "-b2",
                              "+a3", "+b3", "-b3", "+c3", "-c3"};
    ASSERT_GE(events.size(), expected.size());
    EXPECT_EQ(Strings(events.begin(), events.begin() + expected.size()), expected);
    EXPECT_EQ(W().maxViewsMapped, 2);

    Reset();
    W().granularity = 4096;
    AddSameFiles({u"a", u"b"}, 3 * 4096);
    EXPECT_EQ(Duvak(u"a b"), std::make_pair(SAME, 0u));
    Strings maps;
    for (const auto& event : ViewEvents()) {
        if (event[0] == '+') maps.push_back(event.substr(1));
    }
    EXPECT_EQ(maps, (Strings{"a0", "b0", "b1", "a1", "a2", "b2"}));
}

TEST_F(Pipeline, FindsADifferenceInTheSecondChunkWhicheverFileHoldsIt) {
    for (const auto& [holder, chunk1] : {std::pair{u"a", Strings{"+c1", "+a1"}},
                                         {u"b", Strings{"+c1", "+a1", "-a1", "+b1"}},
                                         {u"c", Strings{"+c1", "+a1"}}}) {
        SCOPED_TRACE(Utf8(holder));
        Reset();
        W().granularity = 4096;
        AddSameFiles({u"a", u"b", u"c"}, 3 * 4096);
        W().files[holder].ChangeByte(4096 + 2000);
        EXPECT_EQ(Duvak(u"a b c"), std::make_pair(CONTENTS, 1u));
        const Strings events = ViewEvents();
        EXPECT_EQ(Strings(events.begin() + 6, events.end()), chunk1);
    }
}

TEST_F(Pipeline, AViewThatCannotBeMappedNamesItsFile) {
    // In chunk 1 of a b c, c is the reference and a is compared first.
    for (const auto& [file, offset] : {std::pair{u"b", 0}, {u"c", 4096}, {u"a", 4096}}) {
        SCOPED_TRACE(Utf8(file));
        Reset();
        W().granularity = 4096;
        AddSameFiles({u"a", u"b", u"c"}, 3 * 4096);
        W().files[file].viewFailsAt = {static_cast<uint64_t>(offset)};
        EXPECT_EQ(Duvak(u"a b c"), std::make_pair(CannotRead(Utf8(file)), 2u));
        EXPECT_TRUE(W().out.bytes.empty());
    }
}

TEST_F(Pipeline, SplitsOffsetsPast4GiBIntoHighAndLowHalves) {
    // Zero-filled views keep reading the 4 GiB before the last chunk cheap.
    W().granularity = 2 * GiB;
    AddZeroFile(u"a", 4 * GiB + 8);
    AddZeroFile(u"b", 4 * GiB + 8).patches[4 * GiB + 7] = 1;
    EXPECT_EQ(Duvak(u"a b"), std::make_pair(CONTENTS, 1u));
    EXPECT_EQ(Args(Api::MapViewOfFile, u"a"), (std::vector<Numbers>{{FILE_MAP_READ, 0, 0, 2 * GiB},
                                                                   {FILE_MAP_READ, 0, 2 * GiB, 2 * GiB},
                                                                   {FILE_MAP_READ, 1, 0, 8}}));
    EXPECT_EQ(Args(Api::MapViewOfFile, u"b"), Args(Api::MapViewOfFile, u"a"));
}

TEST_F(Pipeline, OnlyAnInPageErrorIsTurnedIntoAReadError) {
    for (const char16_t* file : {u"c", u"b"}) {
        Reset();
        W().granularity = 4096;
        AddSameFiles({u"a", u"b", u"c"}, 3 * 4096);
        W().files[file].inPageErrorAt = {4096 + 100};
        EXPECT_EQ(Duvak(u"a b c"), std::make_pair(READ_ERROR, 2u));
        EXPECT_TRUE(W().out.bytes.empty());
    }

    Reset();
    W().granularity = 4096;
    AddSameFiles({u"a", u"b"}, 3 * 4096);
    W().files[u"b"].accessViolationAt = {4096};
    const Outcome crash = RunProgram(u"DUVAK a b");
    EXPECT_EQ(crash.crashCode, 0xC0000005u);
    EXPECT_FALSE(crash.exitCode.has_value());
    ASSERT_EQ(Calls(Api::Filter).size(), 1u);
    EXPECT_EQ(Calls(Api::Filter)[0].result, EXCEPTION_CONTINUE_SEARCH);
    EXPECT_TRUE(W().err.bytes.empty());

    for (DWORD code : {0xC0000005u, 0xC0000006u}) {
        Reset();
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = code;
        EXCEPTION_POINTERS pointers = {&record, nullptr};
        LONG answer = 7;
        const Outcome outcome = sim::Run([&] { answer = InPageErrorFilter(&pointers); });
        if (code == EXCEPTION_IN_PAGE_ERROR) {
            EXPECT_EQ(outcome.exitCode, 2u);
            EXPECT_EQ(W().err.bytes, READ_ERROR);
        } else {
            EXPECT_TRUE(outcome.returned);
            EXPECT_EQ(answer, 0);
        }
    }
}

TEST_F(Pipeline, TheSameFileNamedTwiceHoldsTheSameData) {
    W().granularity = 4096;
    AddGeneratedFile(u"a", 5 * 4096 + 3);
    EXPECT_EQ(Duvak(u"a a"), std::make_pair(SAME, 0u));
}

}  // namespace
