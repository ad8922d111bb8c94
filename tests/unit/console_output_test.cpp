// The writers: OEM conversion, the standard output slot, and standard error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/console_output.h"
#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

namespace {

using Writes = std::vector<std::string>;
using sim::Api;
using sim::Args;
using sim::Calls;

TEST(WriteText, OneOemBytePerUnitInOneWrite) {
    sim::Reset();
    BOOL first = FALSE, empty = FALSE;
    sim::Run([&] {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        first = WriteText(u"caf\u00e9 \u00fc!", out);
        empty = WriteText(u"", out);
    });
    EXPECT_TRUE(first);
    EXPECT_TRUE(empty);
    EXPECT_EQ(sim::W().out.writes, (Writes{"caf\x82 \x81!", ""}));
    EXPECT_EQ(Args(Api::CharToOemBuffW), (std::vector<sim::Numbers>{{7}, {0}}));

    sim::Reset();
    sim::W().out.failFromWrite = 1;
    sim::Run([&] { first = WriteText(u"x", GetStdHandle(STD_OUTPUT_HANDLE)); });
    EXPECT_FALSE(first);
}

TEST(Print, LooksUpStandardOutputOnceAndWritesEachPiece) {
    sim::Reset();
    sim::Run([] {
        Print(u"ab", u"", u"c\u00e9", nullptr);
        Print(u"d", nullptr);
    });
    EXPECT_EQ(sim::W().out.writes, (Writes{"ab", "", "c\x82", "d"}));
    EXPECT_EQ(Args(Api::GetStdHandle), std::vector<sim::Numbers>{{STD_OUTPUT_HANDLE}});
}

TEST(Print, MissingStandardOutputDisablesAllOutput) {
    for (sim::StdHandle kind : {sim::StdHandle::Null, sim::StdHandle::Invalid}) {
        sim::Reset();
        sim::W().out.kind = kind;
        sim::Run([] {
            Print(u"a", nullptr);
            Print(u"b", u"c", nullptr);
        });
        EXPECT_TRUE(Calls(Api::WriteFile).empty());
        EXPECT_EQ(Calls(Api::GetStdHandle).size(), 1u);
        EXPECT_EQ(StdOutHandle, nullptr);
    }
}

TEST(Print, FailedWriteSilencesTheRestOfTheRun) {
    sim::Reset();
    sim::W().out.failFromWrite = 2;
    sim::Run([] {
        Print(u"a", u"b", u"c", nullptr);
        Print(u"d", nullptr);
    });
    EXPECT_EQ(sim::W().out.bytes, "a");
    EXPECT_EQ(Calls(Api::WriteFile).size(), 2u);
    EXPECT_EQ(StdOutHandle, nullptr);

    // The timing line is three pieces; its second write fails.
    sim::Reset();
    sim::AddFile(u"a", "xy");
    sim::AddFile(u"b", "xy");
    sim::W().out.failFromWrite = 3;
    EXPECT_EQ(sim::RunProgram(u"DUVAK /T a b").exitCode, 0u);
    EXPECT_EQ(sim::W().out.bytes, texts::SAME + texts::TIME_HEAD);
    EXPECT_EQ(Calls(Api::WriteFile).size(), 3u);
}

TEST(Fail, WritesPiecesToStandardErrorAndExitsWithTwo) {
    struct {
        sim::StdHandle kind;
        int failFromWrite;
        Writes written;
    } const cases[] = {
        {sim::StdHandle::Usable, 0, {"The file \"", "\x82", "\" cannot be opened.\n"}},
        {sim::StdHandle::Usable, 2, {"The file \""}},
        {sim::StdHandle::Null, 0, {}},
        {sim::StdHandle::Invalid, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind) * 10 + c.failFromWrite);
        sim::Reset();
        sim::W().err.kind = c.kind;
        sim::W().err.failFromWrite = c.failFromWrite;
        const sim::Outcome outcome =
            sim::Run([] { Fail(u"The file \"", u"\u00e9", u"\" cannot be opened.\n", nullptr); });
        EXPECT_EQ(outcome.exitCode, 2u);
        EXPECT_EQ(sim::W().err.writes, c.written);
        EXPECT_EQ(Calls(Api::WriteFile).size(), c.failFromWrite ? 2u : c.written.size());
        EXPECT_EQ(Args(Api::GetStdHandle), std::vector<sim::Numbers>{{STD_ERROR_HANDLE}});
        EXPECT_TRUE(sim::W().out.writes.empty());
    }
}

TEST(Fail, FileNamesAppearAsGivenEvenWhenEmpty) {
    struct {
        std::u16string line;
        std::string err;
    } const cases[] = {
        {u"DUVAK \"\" b", texts::CannotOpen("")},
        {u"DUVAK b \u00e9", texts::CannotOpen("\x82")},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::AddFile(u"b", "data");
        EXPECT_EQ(sim::RunProgram(c.line).exitCode, 2u);
        EXPECT_EQ(sim::W().err.bytes, c.err);
        EXPECT_EQ(sim::W().out.bytes, "");
    }
}

}  // namespace
