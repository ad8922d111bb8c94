// Command lines as long as the platform allows: 32,767 UTF-16 units with the
// terminating NUL. Each shape fills the line with one kind of token.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

namespace {

using namespace texts;

constexpr size_t LINE_UNITS = 32767 - 1;  // before the NUL
constexpr SIZE_T ENTRY_LINKS = 16;        // next and handle, before the name

// A name of `length` units cycling through `pattern`.
std::u16string Filler(size_t length, const std::u16string& pattern) {
    std::u16string text;
    for (size_t i = 0; i < length; ++i) text += pattern[i % pattern.size()];
    return text;
}

// One name that takes the whole line, bare or quoted with spaces and slashes
// inside: its entry is sized for every unit but the quotes, and it reaches
// the disk and the error message whole.
TEST(Limits, OneHugeFileName) {
    const size_t bare = LINE_UNITS - std::u16string(u"DUVAK  b").size();
    const size_t quoted = LINE_UNITS - std::u16string(u"DUVAK \"\" b").size();
    const struct {
        std::u16string name, token;
    } shapes[] = {
        {Filler(bare, u"huge.name-"), Filler(bare, u"huge.name-")},
        {Filler(quoted, u"dir/sub dir\\"), u"\"" + Filler(quoted, u"dir/sub dir\\") + u"\""},
    };
    for (const auto& shape : shapes) {
        const std::u16string line = u"DUVAK " + shape.token + u" b";
        ASSERT_EQ(line.size(), LINE_UNITS);
        SCOPED_TRACE(Narrow(shape.token.substr(0, 20)));

        sim::Reset();
        sim::AddFile(u"b", "abc");
        EXPECT_EQ(sim::RunProgram(line).exitCode, 2u);
        EXPECT_EQ(sim::W().err.bytes, CannotOpen(Narrow(shape.name)));
        EXPECT_EQ(sim::W().out.bytes, "");
        const std::vector<SIZE_T> sizes = {ENTRY_LINKS + 2 * (shape.name.size() + 1),
                                           ENTRY_LINKS + 4};
        EXPECT_EQ(sim::W().allocations, sizes);

        sim::Reset();
        sim::AddFile(shape.name, "abc");
        sim::AddFile(u"b", "abc");
        EXPECT_EQ(sim::RunProgram(line).exitCode, 0u);
        EXPECT_EQ(sim::W().out.bytes, SAME);
        EXPECT_EQ(sim::W().err.bytes, "");
    }
}

// As many one-unit names as fit: every one becomes its own entry, is opened
// in order and takes part in the comparison, down to the last.
TEST(Limits, SixteenThousandOneLetterNames) {
    const size_t count = (LINE_UNITS - 5) / 2;  // "DUVAK", then " x" per name
    ASSERT_GE(count, 16000u);
    std::vector<std::u16string> distinct;
    for (size_t i = 0; i < count; ++i) {
        distinct.push_back(std::u16string(1, static_cast<char16_t>(0x4E00 + i)));
    }
    const std::vector<std::u16string> repeated(count, u"a");
    std::vector<std::u16string> lastMissing = repeated;
    lastMissing.back() = u"z";

    const struct {
        const char* what;
        const std::vector<std::u16string>& names;
        bool lastDiffers;
        UINT exit;
        std::string out, err;
    } cases[] = {
        {"distinct, equal", distinct, false, 0, SAME, ""},
        {"distinct, the last differs", distinct, true, 1, CONTENTS, ""},
        {"one name throughout", repeated, false, 0, SAME, ""},
        {"one name, then a missing one", lastMissing, false, 2, "",
         CannotOpen("z")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        std::u16string line = u"DUVAK";
        for (const std::u16string& name : c.names) {
            line += u" " + name;
            if (name != u"z") sim::AddFile(name, "same contents");
        }
        ASSERT_LE(line.size(), LINE_UNITS);
        if (c.lastDiffers) sim::AddFile(c.names.back(), "same_contents");

        EXPECT_EQ(sim::RunProgram(line).exitCode, c.exit);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::W().err.bytes, c.err);
        EXPECT_EQ(sim::W().allocations, std::vector<SIZE_T>(count, ENTRY_LINKS + 4));
        std::vector<std::u16string> opened = sim::Objects(sim::Api::CreateFileW);
        std::erase(opened, u"CONOUT$");
        EXPECT_TRUE(opened == c.names) << "the files opened are not the files named";
        // One view of every file: all of them were read.
        if (c.exit != 2) EXPECT_EQ(sim::Calls(sim::Api::MapViewOfFile).size(), count);
    }
}

// A switch whose body takes the whole line is reported whole, quotes, spaces
// and slashes included; a help switch behind it still wins.
TEST(Limits, OneHugeSwitchBody) {
    const std::u16string plain = Filler(LINE_UNITS - 7, u"q-T?x");  // after "DUVAK /"
    const std::u16string quoted = u"\"" + Filler(LINE_UNITS - 9, u"a b/c") + u"\"";
    const std::u16string beforeHelp = Filler(LINE_UNITS - 10, u"R-r");  // and " /?"
    const struct {
        std::u16string line;
        UINT exit;
        std::string out, err;
    } cases[] = {
        {u"DUVAK /" + plain, 2, "", Invalid(Narrow(plain))},
        {u"DUVAK /" + quoted, 2, "", Invalid(Narrow(quoted))},
        {u"DUVAK -" + beforeHelp + u" /?", 0, HELP, ""},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.line.size(), LINE_UNITS);
        SCOPED_TRACE(Narrow(c.line.substr(0, 20)));
        sim::Reset();
        sim::AddFile(u"a", "abc");
        EXPECT_EQ(sim::RunProgram(c.line).exitCode, c.exit);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::W().err.bytes, c.err);
        EXPECT_TRUE(sim::W().allocations.empty());
    }
}

}  // namespace
