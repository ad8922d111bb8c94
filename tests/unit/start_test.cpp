// The verdict line and the exit code of a whole run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

namespace {

using namespace texts;

enum Reparse { NONE, EQUAL, DIFFERENT };

struct VerdictCase {
    std::u16string switches;
    std::vector<std::string> contents;  // of the files f1, f2, ...
    Reparse reparse;
    sim::StdHandle out;
    std::string verdict;
    UINT exit;
};

const VerdictCase CASES[] = {
    {u"", {"abc", "abc"}, NONE, sim::StdHandle::Usable, SAME, 0},
    {u"", {"", ""}, NONE, sim::StdHandle::Usable, SAME, 0},
    {u"", {"abc", "abcd"}, NONE, sim::StdHandle::Usable, SIZES, 1},
    {u"", {"abc", "abd"}, NONE, sim::StdHandle::Usable, CONTENTS, 1},
    {u"", {"abc", "abc", "abX"}, NONE, sim::StdHandle::Usable, CONTENTS, 1},
    {u"", {"abc", "abc", "ab"}, NONE, sim::StdHandle::Usable, SIZES, 1},
    {u"/Q ", {"abc", "abc"}, NONE, sim::StdHandle::Usable, "", 0},
    {u"/q ", {"abc", "ab"}, NONE, sim::StdHandle::Usable, "", 1},
    {u"/Q ", {"abc", "abd"}, NONE, sim::StdHandle::Usable, "", 1},
    {u"/R ", {"abc", "abc"}, DIFFERENT, sim::StdHandle::Usable, CONTENTS, 1},
    {u"/R ", {"abc", "abc"}, EQUAL, sim::StdHandle::Usable, SAME, 0},
    {u"", {"abc", "abc"}, DIFFERENT, sim::StdHandle::Usable, SAME, 0},
    {u"/Q /R ", {"abc", "abc"}, DIFFERENT, sim::StdHandle::Usable, "", 1},
    {u"", {"abc", "abc"}, NONE, sim::StdHandle::Null, "", 0},
    {u"", {"abc", "abd"}, NONE, sim::StdHandle::Invalid, "", 1},
    {u"", {"abc", "ab"}, NONE, sim::StdHandle::Null, "", 1},
};

TEST(Start, VerdictAndExitCode) {
    for (const VerdictCase& c : CASES) {
        sim::Reset();
        std::u16string line = u"DUVAK " + c.switches;
        for (size_t i = 0; i < c.contents.size(); ++i) {
            const std::u16string name = u"f" + std::u16string(1, u'1' + i);
            sim::File& file = sim::AddFile(name, c.contents[i]);
            const auto last = static_cast<uint8_t>(c.reparse == EQUAL ? 3 : 3 + i);
            if (c.reparse != NONE) file.reparseData = std::vector<uint8_t>{1, 2, last};
            line += name + u" ";
        }
        sim::W().out.kind = c.out;
        SCOPED_TRACE(sim::Utf8(line));
        EXPECT_EQ(sim::RunProgram(line).exitCode, c.exit);
        EXPECT_EQ(sim::W().out.bytes, c.verdict);
        EXPECT_EQ(sim::W().err.bytes, "");
    }
}

}  // namespace
