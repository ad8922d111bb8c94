// The command line: tokens, switches, file names, and which error wins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/command_line.h"
#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

namespace {

using namespace texts;

constexpr int RETURNS = -1;  // ParseCommandLine came back to its caller

struct ParseCase {
    std::u16string line;
    int exit;
    std::string out, err;
    std::vector<std::u16string> names;  // the ring from its head, when parsing returns
    OptionFlags flags;
    std::vector<SIZE_T> allocations;    // 16 bytes of links plus the name with its NUL
    int failAlloc = 0;
};

const ParseCase CASES[] = {
    {u"", 2, "", TOO_FEW, {}, 0, {}},
    {u"   ", 2, "", TOO_FEW, {}, 0, {}},
    {u"DUVAK", 2, "", TOO_FEW, {}, 0, {}},
    {u"DUVAK a", 2, "", TOO_FEW, {}, 0, {20}},
    {u"  DUVAK  a   b   ", RETURNS, "", "", {u"a", u"b"}, 0, {20, 20}},
    {u"DUVAK /q/t a b", RETURNS, "", "", {u"a", u"b"}, OPT_QUIET | OPT_TIMING, {20, 20}},
    {u"DUVAK /R -t /Q a b", RETURNS, "", "", {u"a", u"b"}, 7, {20, 20}},
    {u"DUVAK a/q b", RETURNS, "", "", {u"a", u"b"}, OPT_QUIET, {20, 20}},
    {u"prog/q a b", RETURNS, "", "", {u"a", u"b"}, OPT_QUIET, {20, 20}},
    {u"dir/prog a b", 2, "", Invalid("prog"), {}, 0, {}},
    {u"a/b/prog x y", 2, "", Invalid("b"), {}, 0, {}},
    {u"DUVAK -q-t a b", 2, "", Invalid("q-t"), {}, 0, {}},
    {u"DUVAK /q-t a b", 2, "", Invalid("q-t"), {}, 0, {}},
    {u"DUVAK a/b", 2, "", Invalid("b"), {}, 0, {20}},
    {u"DUVAK \"C:/my dir/x y\" b", RETURNS, "", "", {u"C:/my dir/x y", u"b"}, 0, {44, 20}},
    {u"DUVAK - a b", 2, "", Invalid(""), {}, 0, {}},
    {u"DUVAK / a b", 2, "", Invalid(""), {}, 0, {}},
    {u"DUVAK /Q -q a b", 2, "", Duplicated("q"), {}, 0, {}},
    {u"DUVAK /x /q /q a b", 2, "", Invalid("x"), {}, 0, {}},
    {u"DUVAK /q /Q /x a b", 2, "", Duplicated("Q"), {}, 0, {}},
    {u"DUVAK /x a", 2, "", Invalid("x"), {}, 0, {}},
    {u"DUVAK -a.txt b c", 2, "", Invalid("a.txt"), {}, 0, {}},
    {u"DUVAK /?x a b", 2, "", Invalid("?x"), {}, 0, {}},
    {u"DUVAK /\"q\" a b", 2, "", Invalid("\"q\""), {}, 0, {}},
    {u"DUVAK /\"q a b", 2, "", Invalid("\"q a b"), {}, 0, {}},
    {u"DUVAK /\u00e9 a b", 2, "", Invalid("\x82"), {}, 0, {}},
    {u"DUVAK /? a b", 0, HELP, "", {}, 0, {}},
    {u"DUVAK /x a /? b", 0, HELP, "", {}, 0, {}},
    {u"DUVAK a b /x -?", 0, HELP, "", {}, 0, {20, 20}},
    {u"DUVAK x/? y", 0, HELP, "", {}, 0, {20}},
    {u"DUVAK /x/? a b", 0, HELP, "", {}, 0, {}},
    {u"DUVAK \"/?\" b", RETURNS, "", "", {u"/?", u"b"}, 0, {22, 20}},
    {u"\"DUVAK a b", 2, "", TOO_FEW, {}, 0, {}},
    {u"DUVAK \"\" b", RETURNS, "", "", {u"", u"b"}, 0, {18, 20}},
    {u"DUVAK a\"b c\"d e", RETURNS, "", "", {u"ab cd", u"e"}, 0, {28, 20}},
    {u"DUVAK a\tb c", RETURNS, "", "", {u"a\tb", u"c"}, 0, {24, 20}},
    {u"DUVAK\t a \tb", RETURNS, "", "", {u"a", u"\tb"}, 0, {20, 22}},
    {u"DUVAK a a", RETURNS, "", "", {u"a", u"a"}, 0, {20, 20}},
    {u"DUVAK c a b", RETURNS, "", "", {u"c", u"a", u"b"}, 0, {20, 20, 20}},
    // Memory runs out at once, before any later token is looked at.
    {u"DUVAK a b c", 2, "", NO_MEMORY, {}, 0, {20, 20}, 2},
    {u"DUVAK a /x", 2, "", NO_MEMORY, {}, 0, {20}, 1},
    {u"DUVAK a /?", 2, "", NO_MEMORY, {}, 0, {20}, 1},
    {u"DUVAK /x a", 2, "", Invalid("x"), {}, 0, {}, 1},
};

TEST(CommandLine, TokensSwitchesAndFiles) {
    for (const ParseCase& c : CASES) {
        SCOPED_TRACE(sim::Utf8(c.line));
        sim::Reset();
        sim::W().commandLine = c.line;
        sim::W().localAllocFailAt = c.failAlloc;
        FileEntry* head = nullptr;
        OptionFlags flags = 0xFF;
        const sim::Outcome outcome = sim::Run([&] { ParseCommandLine(&head, &flags); });

        EXPECT_EQ(outcome.returned ? RETURNS : static_cast<int>(outcome.exitCode.value_or(99)), c.exit);
        EXPECT_EQ(sim::W().out.bytes, c.out);
        EXPECT_EQ(sim::W().err.bytes, c.err);
        EXPECT_EQ(sim::W().allocations, c.allocations);
        if (c.out == HELP) EXPECT_EQ(sim::W().out.writes.size(), 1u);
        if (!outcome.returned) continue;
        EXPECT_EQ(flags, c.flags);
        std::vector<std::u16string> names;
        const FileEntry* entry = head;
        do {
            names.push_back(entry->name);
            entry = entry->next;
        } while (entry != head && names.size() < 10);
        EXPECT_EQ(names, c.names);
    }
}

TEST(CommandLine, SwitchErrorIsWrittenInPieces) {
    sim::Reset();
    EXPECT_EQ(sim::RunProgram(u"DUVAK a /Tx b").exitCode, 2u);
    EXPECT_EQ(sim::W().err.writes, (std::vector<std::string>{"Invalid option", " \"", "Tx", "\".\n"}));
    EXPECT_TRUE(sim::Calls(sim::Api::CreateFileW).empty());
}

TEST(CommandLine, FilesAreOpenedInCommandLineOrder) {
    sim::Reset();
    for (const char16_t* name : {u"a", u"b", u"c"}) sim::AddFile(name, "same");
    EXPECT_EQ(sim::RunProgram(u"DUVAK /q c a b").exitCode, 0u);
    EXPECT_EQ(sim::Objects(sim::Api::CreateFileW), (std::vector<std::u16string>{u"c", u"a", u"b"}));
}

}  // namespace
