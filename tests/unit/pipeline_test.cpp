// The comparison engine: opening, sizing, mapping and the chunk walk.
#include <gtest/gtest.h>

#include <functional>

#include "compare/pipeline.h"
#include "tests/sim/sim_windows.h"

using namespace sim;
using Strings = std::vector<std::string>;

namespace {

constexpr uint64_t GiB = 1ull << 30;
const char SAME[] = "The files have the same data.\n";
const char DIFFERENT_SIZES[] = "The files have different sizes.\n";
const char DIFFERENT_CONTENTS[] = "The files have different contents.\n";

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

size_t IndexOf(const std::string& name, bool last = false) {
    size_t found = SIZE_MAX;
    for (size_t i = 0; i < W().log.size(); ++i) {
        if (W().log[i].name == name && (last || found == SIZE_MAX)) found = i;
    }
    return found;
}

TEST_F(Pipeline, NamesTheFirstFileInRingOrderThatCannotBeOpened) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::string message;
    } cases[] = {
        {"second missing", [] { AddFile(u"a", "x"); AddFile(u"c", "x"); }, "b"},
        {"first a directory, second missing",
         [] { AddFile(u"a", "").directory = true; AddFile(u"c", "x"); }, "a"},
        {"third refused", [] { AddFile(u"a", "x"); AddFile(u"b", "x");
                               AddFile(u"c", "x").refuseOpen = true; }, "c"},
        {"third missing, first two of different sizes",
         [] { AddFile(u"a", "x"); AddFile(u"b", "yy"); }, "c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        EXPECT_EQ(Duvak(u"a b c"),
                  std::make_pair("The file \"" + c.message + "\" cannot be opened.\n", 2u));
        EXPECT_TRUE(W().out.bytes.empty());
        EXPECT_TRUE(Calls("GetFileSizeEx").empty());
    }
}

TEST_F(Pipeline, OpensEveryFileForSequentialReadingBeforeAnySizeQuery) {
    for (const auto& [options, flags] : {std::pair{u"", "0x8000000"}, {u"/R ", "0x8200000"}}) {
        Reset();
        AddSameFiles({u"a", u"b", u"c"}, 10);
        EXPECT_EQ(Duvak(std::u16string(options) + u"a b c"), std::make_pair(std::string(SAME), 0u));
        const std::string tail = std::string(", 0x80000000, 0x1, 3, ") + flags;
        const Strings opens = Calls("CreateFileW");
        EXPECT_EQ(Strings(opens.begin(), opens.begin() + 3),
                  (Strings{"CreateFileW(a" + tail + ")", "CreateFileW(b" + tail + ")",
                           "CreateFileW(c" + tail + ")"}));
        EXPECT_LT(IndexOf("CreateFileW"), IndexOf("GetFileSizeEx"));
    }
}

TEST_F(Pipeline, SizeWalkStopsAtTheFirstMismatchOrFailure) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::pair<std::string, UINT> verdict;
        Strings queried;
    } cases[] = {
        {"head's size unknown", [] { AddFile(u"a", "x").sizeFails = true; AddFile(u"b", "x");
                                     AddFile(u"c", "x"); },
         {"The file \"a\" cannot be read.\n", 2}, {"a"}},
        {"second's size unknown", [] { AddFile(u"a", "x"); AddFile(u"b", "x").sizeFails = true;
                                       AddFile(u"c", "x"); },
         {"The file \"b\" cannot be read.\n", 2}, {"a", "b"}},
        {"second differs, third's query would fail",
         [] { AddFile(u"a", "x"); AddFile(u"b", "xy"); AddFile(u"c", "x").sizeFails = true; },
         {DIFFERENT_SIZES, 1}, {"a", "b"}},
        {"third differs", [] { AddFile(u"a", "x"); AddFile(u"b", "x"); AddFile(u"c", ""); },
         {DIFFERENT_SIZES, 1}, {"a", "b", "c"}},
        {"sizes equal in their low 32 bits",
         [] { AddZeroFile(u"a", 4 * GiB + 1); AddFile(u"b", "x"); AddFile(u"c", "x"); },
         {DIFFERENT_SIZES, 1}, {"a", "b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        EXPECT_EQ(Duvak(u"a b c"), c.verdict);
        Strings expected;
        for (const auto& name : c.queried) expected.push_back("GetFileSizeEx(" + name + ")");
        EXPECT_EQ(Calls("GetFileSizeEx"), expected);
        EXPECT_TRUE(Calls("CreateFileMappingW").empty());
    }
}

TEST_F(Pipeline, EmptyFilesAreTheSameWithoutAnyMapping) {
    AddFile(u"a", "");
    AddFile(u"b", "");
    AddFile(u"c", "");
    EXPECT_EQ(Duvak(u"a b c"), std::make_pair(std::string(SAME), 0u));
    EXPECT_TRUE(Calls("CreateFileMappingW").empty());
    EXPECT_TRUE(Calls("MapViewOfFile").empty());
}

TEST_F(Pipeline, MapsEachFileReadOnlyAndThenClosesItsHandle) {
    AddSameFiles({u"a", u"b"}, 100);
    EXPECT_EQ(Duvak(u"a b"), std::make_pair(std::string(SAME), 0u));
    Strings mappingCalls;
    for (const std::string& call : AllCalls()) {
        if (call.rfind("CreateFileMappingW", 0) == 0 || call.rfind("CloseHandle(a", 0) == 0 ||
            call.rfind("CloseHandle(b", 0) == 0) {
            mappingCalls.push_back(call);
        }
    }
    EXPECT_EQ(mappingCalls, (Strings{"CreateFileMappingW(a, 0x2, 0, 0)", "CloseHandle(a)",
                                     "CreateFileMappingW(b, 0x2, 0, 0)", "CloseHandle(b)"}));

    Reset();
    AddSameFiles({u"a", u"b", u"c"}, 100);
    W().files[u"b"].mappingFails = true;
    EXPECT_EQ(Duvak(u"a b c"), std::make_pair(std::string("The file \"b\" cannot be read.\n"), 2u));
}

TEST_F(Pipeline, CutsTheFilesIntoGranulesAndFindsADifferenceInTheLastByte) {
    const uint64_t G = 4096;
    const struct {
        uint64_t size;
        Strings views;  // file a's views as "offset high, offset low, length"
    } cases[] = {
        {G, {"0, 0, 4096"}},
        {G + 1, {"0, 0, 4096", "0, 4096, 1"}},
        {1, {"0, 0, 1"}},
        {3 * G + 13, {"0, 0, 4096", "0, 4096, 4096", "0, 8192, 4096", "0, 12288, 13"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        for (bool differ : {false, true}) {
            Reset();
            W().granularity = G;
            AddSameFiles({u"a", u"b"}, c.size);
            if (differ) W().files[u"b"].ChangeByte(c.size - 1);
            EXPECT_EQ(Duvak(u"a b"), std::make_pair(std::string(differ ? DIFFERENT_CONTENTS : SAME),
                                                    differ ? 1u : 0u));
            Strings expected;
            for (const auto& view : c.views) expected.push_back("MapViewOfFile(map:a, 0x4, " + view + ")");
            EXPECT_EQ(Calls("MapViewOfFile").size(), 2 * expected.size());
            Strings seen;
            for (const auto& call : Calls("MapViewOfFile")) {
                if (call.rfind("MapViewOfFile(map:a", 0) == 0) seen.push_back(call);
            }
            EXPECT_EQ(seen, expected);
        }
    }
}

TEST_F(Pipeline, TheFileComparedLastLeadsTheNextChunk) {
    W().granularity = 4096;
    AddSameFiles({u"a", u"b", u"c"}, 4 * 4096 - 3);
    EXPECT_EQ(Duvak(u"a b c"), std::make_pair(std::string(SAME), 0u));
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
    EXPECT_EQ(Duvak(u"a b"), std::make_pair(std::string(SAME), 0u));
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
        EXPECT_EQ(Duvak(u"a b c"), std::make_pair(std::string(DIFFERENT_CONTENTS), 1u));
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
        EXPECT_EQ(Duvak(u"a b c"),
                  std::make_pair("The file \"" + Utf8(file) + "\" cannot be read.\n", 2u));
        EXPECT_TRUE(W().out.bytes.empty());
    }
}

TEST_F(Pipeline, SplitsOffsetsPast4GiBIntoHighAndLowHalves) {
    // Zero-filled views keep reading the 4 GiB before the last chunk cheap.
    W().granularity = 2 * GiB;
    AddZeroFile(u"a", 4 * GiB + 8);
    AddZeroFile(u"b", 4 * GiB + 8).patches[4 * GiB + 7] = 1;
    EXPECT_EQ(Duvak(u"a b"), std::make_pair(std::string(DIFFERENT_CONTENTS), 1u));
    EXPECT_EQ(Calls("MapViewOfFile"),
              (Strings{"MapViewOfFile(map:a, 0x4, 0, 0, 2147483648)",
                       "MapViewOfFile(map:b, 0x4, 0, 0, 2147483648)",
                       "MapViewOfFile(map:b, 0x4, 0, 2147483648, 2147483648)",
                       "MapViewOfFile(map:a, 0x4, 0, 2147483648, 2147483648)",
                       "MapViewOfFile(map:a, 0x4, 1, 0, 8)", "MapViewOfFile(map:b, 0x4, 1, 0, 8)"}));
}

TEST_F(Pipeline, OnlyAnInPageErrorIsTurnedIntoAReadError) {
    for (const char16_t* file : {u"c", u"b"}) {
        Reset();
        W().granularity = 4096;
        AddSameFiles({u"a", u"b", u"c"}, 3 * 4096);
        W().files[file].inPageErrorAt = {4096 + 100};
        EXPECT_EQ(Duvak(u"a b c"), std::make_pair(std::string("Error reading files.\n"), 2u));
        EXPECT_TRUE(W().out.bytes.empty());
    }

    Reset();
    W().granularity = 4096;
    AddSameFiles({u"a", u"b"}, 3 * 4096);
    W().files[u"b"].accessViolationAt = {4096};
    const Outcome crash = RunProgram(u"DUVAK a b");
    EXPECT_EQ(crash.crashCode, 0xC0000005u);
    EXPECT_FALSE(crash.exitCode.has_value());
    EXPECT_EQ(Calls("filter"), Strings{"filter(0)"});
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
            EXPECT_EQ(W().err.bytes, "Error reading files.\n");
        } else {
            EXPECT_TRUE(outcome.returned);
            EXPECT_EQ(answer, 0);
        }
    }
}

TEST_F(Pipeline, TheSameFileNamedTwiceHoldsTheSameData) {
    W().granularity = 4096;
    AddGeneratedFile(u"a", 5 * 4096 + 3);
    EXPECT_EQ(Duvak(u"a a"), std::make_pair(std::string(SAME), 0u));
}

}  // namespace
