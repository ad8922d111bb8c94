// The percentage shown in place on the console while the files are compared.
#include <gtest/gtest.h>

#include <functional>

#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

using namespace sim;
using namespace texts;

namespace {

const std::u16string BLANK(13, u' ');

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        W().granularity = 4096;
        W().console.cursor = {9, 5};
    }
    // The 13 cells at the anchor.
    static std::u16string Indicator() { return W().console.Row(5).substr(9, 13); }
    // Runs `a b` over `chunks` chunks and notes the indicator as each chunk
    // starts, that is when its reference view is mapped.
    std::vector<std::u16string> RunChunks(uint64_t chunks) {
        AddGeneratedFile(u"a", chunks * 4096 - 5);
        AddGeneratedFile(u"b", chunks * 4096 - 5);
        std::vector<std::u16string> seen;
        int maps = 0;
        W().onCall = [&](const Call& call) {
            if (call.api == Api::MapViewOfFile && maps++ % 2 == 0) seen.push_back(Indicator());
        };
        EXPECT_EQ(RunProgram(u"DUVAK a b").exitCode, 0u);
        W().onCall = nullptr;
        EXPECT_EQ(W().out.bytes, SAME);
        EXPECT_EQ(Indicator(), BLANK);
        EXPECT_EQ(W().console.openHandles, 0);
        for (const auto& [position, text] : W().console.writes) {
            EXPECT_EQ(position.X, 9);
            EXPECT_EQ(position.Y, 5);
        }
        return seen;
    }
};

TEST_F(Progress, ShowsTheShareOfChunksStartedAndBlanksItAtTheEnd) {
    EXPECT_EQ(RunChunks(1), std::vector<std::u16string>{u" 0% compared."});
    EXPECT_EQ(Args(Api::CreateFileW, u"CONOUT$"),
              (std::vector<Numbers>{{GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, 0, OPEN_EXISTING, 0, 0}}));
    EXPECT_EQ(W().console.writes.size(), 2u);

    Reset();
    W().granularity = 4096;
    W().console.cursor = {9, 5};
    EXPECT_EQ(RunChunks(3), (std::vector<std::u16string>{u" 0% compared.", u"33% compared.",
                                                         u"66% compared."}));
}

TEST_F(Progress, UpdatesOnlyTheTwoDigitCellsWhenThePercentageChanges) {
    const std::vector<std::u16string> seen = RunChunks(200);
    ASSERT_EQ(seen.size(), 200u);
    for (size_t k = 0; k < seen.size(); ++k) {
        const unsigned percent = k / 2;
        const std::u16string digits = {percent < 10 ? u' ' : char16_t(u'0' + percent / 10),
                                       char16_t(u'0' + percent % 10)};
        EXPECT_EQ(seen[k], digits + u"% compared.") << "chunk " << k;
    }
    // The opening text, one write per value 1..99, the blanking.
    const auto& writes = W().console.writes;
    ASSERT_EQ(writes.size(), 101u);
    EXPECT_EQ(writes.front().second, u" 0% compared.");
    for (size_t i = 1; i < 100; ++i) EXPECT_EQ(writes[i].second.size(), 2u) << i;
    EXPECT_EQ(writes[9].second, u" 9");
    EXPECT_EQ(writes[99].second, u"99");
    EXPECT_EQ(writes.back().second, BLANK);
}

TEST_F(Progress, NoIndicatorWhenNothingIsRead) {
    struct Case {
        const char* what;
        std::u16string commandLine;
        std::function<void()> setUp;
        std::string out;
    } cases[] = {
        {"empty files", u"DUVAK a b", [] { AddFile(u"a", ""); AddFile(u"b", ""); }, SAME},
        {"different sizes", u"DUVAK a b", [] { AddFile(u"a", "x"); AddFile(u"b", "xy"); }, SIZES},
        {"different reparse data", u"DUVAK /R a b",
         [] { AddFile(u"a", "x"); AddFile(u"b", "x").reparseData = std::vector<uint8_t>(40, 1); },
         CONTENTS},
        {"quiet", u"DUVAK /Q a b", [] { AddFile(u"a", "x"); AddFile(u"b", "x"); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        RunProgram(c.commandLine);
        EXPECT_EQ(W().out.bytes, c.out);
        for (const auto& name : Objects(Api::CreateFileW)) EXPECT_NE(name, u"CONOUT$");
        EXPECT_TRUE(W().console.writes.empty());
    }
}

TEST_F(Progress, AnUnusableConsoleOnlyMeansNoIndicator) {
    // No console device at all, or one whose screen buffer cannot be queried.
    for (bool infoFails : {false, true}) {
        Reset();
        W().console.present = infoFails;
        W().console.infoFails = infoFails;
        AddFile(u"a", "same");
        AddFile(u"b", "same");
        EXPECT_EQ(RunProgram(u"DUVAK a b").exitCode, 0u);
        EXPECT_EQ(W().out.bytes, SAME);
        EXPECT_TRUE(W().console.writes.empty());
        EXPECT_EQ(W().console.openHandles, 0);
        if (infoFails) {
            const size_t info = IndexOf(Api::GetConsoleScreenBufferInfo);
            ASSERT_LT(info + 1, W().log.size());
            EXPECT_EQ(W().log[info + 1].api, Api::CloseHandle);
            EXPECT_EQ(W().log[info + 1].kind, Object::Console);
        }
    }
}

TEST_F(Progress, AFailedRunLeavesTheIndicatorOnScreen) {
    for (bool inPage : {false, true}) {
        Reset();
        W().granularity = 4096;
        W().console.cursor = {9, 5};
        AddGeneratedFile(u"a", 3 * 4096);
        File& b = AddGeneratedFile(u"b", 3 * 4096);
        if (inPage) b.inPageErrorAt = {2 * 4096 + 8}; else b.viewFailsAt = {4096};
        EXPECT_EQ(RunProgram(u"DUVAK a b").exitCode, 2u);
        EXPECT_EQ(W().err.bytes, inPage ? READ_ERROR : CannotRead("b"));
        EXPECT_EQ(Indicator(), inPage ? u"66% compared." : u"33% compared.");
    }
}

}  // namespace
