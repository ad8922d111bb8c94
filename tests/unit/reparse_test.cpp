// With /R: the reparse data of every file must equal the first file's.
#include <gtest/gtest.h>

#include <functional>

#include "compare/pipeline.h"
#include "compare/reparse.h"
#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

using namespace sim;
using namespace texts;
using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

namespace {

// Reparse data whose tag lacks the Microsoft bit: its header is 24 bytes long.
Bytes Data(size_t length, uint8_t last = 0x11, uint8_t first = 0x42) {
    Bytes data(length, 0x42);
    if (length == 0) return data;
    data.front() = first;
    data.back() = last;
    return data;
}

// Ordinary files of equal contents, "a" "b" "c", with reparse data set below.
void AddFiles(size_t count = 3) {
    for (const char16_t* name : {u"a", u"b", u"c"}) {
        if (count-- > 0) AddFile(name, "contents");
    }
}

constexpr LONG FAILS = -2;  // QueryReparseSize never returned

class Reparse : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
};

TEST_F(Reparse, QuerySizeTellsLengthNoneOrTooLong) {
    struct Case {
        std::optional<Bytes> data;
        std::optional<DWORD> error;
        DWORD capacity;
        LONG expected;  // FAILS: the run ends, the file cannot be read
    } cases[] = {
        {Data(40), {}, 16384, 40},
        {{}, {}, 24, 0},               // no reparse point: 4390
        {{}, ERROR_MORE_DATA, 16384, -1},
        {Data(50), {}, 24, -1},        // does not fit the buffer: 234
        {Bytes{0x0C, 0, 0, 0xA0, 0, 0, 0, 0, 1, 2, 3, 4}, {}, 8, -1},  // a Microsoft tag: 234
        {Data(40), {}, 16, FAILS},     // any other tag's header does not fit: 122
    };
    for (const Case& c : cases) {
        Reset();
        File& file = AddFile(u"a", "x");
        file.reparseData = c.data;
        file.reparseError = c.error;
        FileEntry* ring = MakeRing({u"a"});
        alignas(8) BYTE buffer[16384];
        LONG length = FAILS;
        EXPECT_EQ(sim::Run([&] {
            OpenFiles(ring, true);
            length = QueryReparseSize(ring, buffer, c.capacity);
        }).returned, c.expected != FAILS);
        EXPECT_EQ(length, c.expected);
        EXPECT_EQ(W().err.bytes, c.expected == FAILS ? CannotRead("a") : "");
        EXPECT_EQ(Args(Api::DeviceIoControl, u"a"),
                  (std::vector<Numbers>{{FSCTL_GET_REPARSE_POINT, 0, 0, c.capacity, 0}}));
        if (length > 0) EXPECT_EQ(Bytes(buffer, buffer + length), *c.data);
    }
}

TEST_F(Reparse, ComparesEveryFileWithTheFirstUpToTheFirstDifference) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::string out;
        Strings capacities;  // of each DeviceIoControl call, in order
    } cases[] = {
        {"ordinary files", [] { AddFiles(2); }, SAME, {"a 16384", "b 24"}},
        {"equal data", [] { AddFiles(); for (auto n : {u"a", u"b", u"c"}) W().files[n].reparseData = Data(40); },
         SAME, {"a 16384", "b 40", "c 40"}},
        {"different lengths", [] { AddFiles(2); W().files[u"a"].reparseData = Data(40);
                                   W().files[u"b"].reparseData = Data(30); },
         CONTENTS, {"a 16384", "b 40"}},
        {"same length, last byte differs", [] { AddFiles(2); W().files[u"a"].reparseData = Data(40);
                                                W().files[u"b"].reparseData = Data(40, 0x12); },
         CONTENTS, {"a 16384", "b 40"}},
        {"same length, first byte differs", [] { AddFiles(2); W().files[u"a"].reparseData = Data(40);
                                                 W().files[u"b"].reparseData = Data(40, 0x11, 0x43); },
         CONTENTS, {"a 16384", "b 40"}},
        {"link against an ordinary file", [] { AddFiles(2); W().files[u"a"].reparseData = Data(40); },
         CONTENTS, {"a 16384", "b 40"}},
        {"ordinary file against a longer link", [] { AddFiles(2); W().files[u"b"].reparseData = Data(40); },
         CONTENTS, {"a 16384", "b 24"}},
        {"other's data too long for the buffer", [] { AddFiles(2); W().files[u"a"].reparseData = Data(30);
                                                      W().files[u"b"].reparseData = Data(50); },
         CONTENTS, {"a 16384", "b 30"}},
        {"difference in the third", [] { AddFiles(); W().files[u"c"].reparseData = Data(8); },
         CONTENTS, {"a 16384", "b 24", "c 24"}},
        {"second differs, third unreadable", [] { AddFiles(); W().files[u"b"].reparseData = Data(8);
                                                  W().files[u"c"].reparseError = 5; },
         CONTENTS, {"a 16384", "b 24"}},
        {"empty links", [] { AddFile(u"a", "").reparseData = Data(16); AddFile(u"b", "").reparseData = Data(17); },
         CONTENTS, {"a 16384", "b 24"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        const Outcome outcome = RunProgram(W().files.count(u"c") ? u"DUVAK /R a b c" : u"DUVAK /R a b");
        EXPECT_EQ(W().out.bytes, c.out);
        EXPECT_EQ(outcome.exitCode, c.out == SAME ? 0u : 1u);
        Strings capacities;
        for (const Call& call : Calls(Api::DeviceIoControl)) {
            capacities.push_back(Utf8(call.object) + " " + std::to_string(call.args[3]));
        }
        EXPECT_EQ(capacities, c.capacities);
        if (c.out != SAME) EXPECT_TRUE(Calls(Api::CreateFileMappingW).empty());
    }
}

TEST_F(Reparse, AnUnreadableQueryNamesItsFile) {
    struct Case {
        const char16_t* file;
        std::optional<Bytes> data;
        std::optional<DWORD> error;
    } cases[] = {
        // The first file's data must fit: there is no length to compare otherwise.
        {u"a", {}, ERROR_MORE_DATA},
        {u"a", Data(20000), {}},
        {u"a", {}, 5},
        {u"b", {}, 1},
        {u"c", {}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.file));
        Reset();
        AddFiles();
        W().files[c.file].reparseData = c.data;
        W().files[c.file].reparseError = c.error;
        EXPECT_EQ(RunProgram(u"DUVAK /R a b c").exitCode, 2u);
        EXPECT_EQ(W().err.bytes, CannotRead(Utf8(c.file)));
        EXPECT_TRUE(W().out.bytes.empty());
    }
}

TEST_F(Reparse, RunsOnlyWithTheSwitchBetweenTheSizesAndTheMappings) {
    AddFiles();
    W().files[u"c"].reparseData = Data(40);
    EXPECT_EQ(RunProgram(u"DUVAK a b c").exitCode, 0u);
    EXPECT_TRUE(Calls(Api::DeviceIoControl).empty());

    Reset();
    AddFiles();
    for (auto name : {u"a", u"b", u"c"}) W().files[name].reparseData = Data(40);
    EXPECT_EQ(RunProgram(u"DUVAK /R a b c").exitCode, 0u);
    EXPECT_LT(LastIndexOf(Api::GetFileSizeEx), IndexOf(Api::DeviceIoControl));
    EXPECT_LT(LastIndexOf(Api::DeviceIoControl), IndexOf(Api::CreateFileMappingW));

    Reset();
    AddFiles(2);
    W().files[u"b"].data = {'x'};
    EXPECT_EQ(RunProgram(u"DUVAK /R a b").exitCode, 1u);
    EXPECT_EQ(W().out.bytes, SIZES);
    EXPECT_TRUE(Calls(Api::DeviceIoControl).empty());
}

}  // namespace
