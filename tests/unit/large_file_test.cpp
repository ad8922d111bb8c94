// A terabyte-sized comparison: the 64-bit offsets reach the views as their
// high and low halves, and the percentage arithmetic holds for a chunk count
// far beyond anything a 32-bit count could hold in hundreds.
#include <gtest/gtest.h>

#include "tests/sim/sim_windows.h"

using namespace sim;

TEST(LargeFile, TerabyteFilesMapPastFourGibibytesAndCountPercentages) {
    constexpr uint64_t TERABYTE = 1ull << 40;
    constexpr uint64_t GRANULE = 16ull << 20;      // 65,536 chunks
    constexpr uint64_t DIFFERING_CHUNK = 700;      // just past 1% of the chunks
    Reset();
    W().granularity = GRANULE;
    AddZeroFile(u"a", TERABYTE);
    AddZeroFile(u"b", TERABYTE).patches[DIFFERING_CHUNK * GRANULE + GRANULE - 1] = 1;
    std::vector<std::string> progressAtDifference;
    // 700 * 16 MiB = 2 * 2^32 + 3,154,116,608; the last full chunk would end at 2^40 exactly.
    const Numbers differingView = {FILE_MAP_READ, 2, 3154116608, GRANULE};
    W().onCall = [&](const Call& call) {
        if (call.api == Api::MapViewOfFile && call.object == u"a" && call.args == differingView) {
            progressAtDifference.push_back(Utf8(W().console.Row(W().console.cursor.Y)).substr(4, 13));
        }
    };

    // A comparison that missed the difference would read on for hours.
    W().viewLimit = 2 * (DIFFERING_CHUNK + 1);

    const Outcome outcome = RunProgram(u"DUVAK a b");

    ASSERT_FALSE(outcome.stopped) << *outcome.stopped;
    ASSERT_TRUE(outcome.exitCode);
    EXPECT_EQ(*outcome.exitCode, 1u);
    EXPECT_EQ(W().out.bytes, "The files have different contents.\n");
    ASSERT_EQ(Calls(Api::MapViewOfFile).size(), 2 * (DIFFERING_CHUNK + 1));
    EXPECT_EQ(Args(Api::MapViewOfFile, u"b").back(), differingView);
    EXPECT_EQ(Args(Api::MapViewOfFile, u"a")[256], (Numbers{FILE_MAP_READ, 1, 0, GRANULE}));
    // The chunk count is 65,536, so the percentage first moves at chunk 656.
    std::vector<std::string> updates;
    for (const auto& [position, text] : W().console.writes) updates.push_back(Utf8(text));
    EXPECT_EQ(updates, (std::vector<std::string>{" 0% compared.", " 1", "             "}));
    EXPECT_EQ(progressAtDifference, (std::vector<std::string>{" 1% compared."}));
}
