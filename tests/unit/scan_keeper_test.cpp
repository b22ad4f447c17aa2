// The scans kept for pages that come back: bounded in count and time, and
// sure of what it still has.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan_keeper.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Scans 1, 2, 3... from t = 0, one every `step` ms; every third is the
// counter's, the others the goods scanner's; the even ones reached a page.
struct Case {
    const char* name;
    int scans;
    int step;            // ms
    int keep;            // seconds each is kept
    int short_every;     // every n-th is kept 60 s at most, as a payment code is (0: none)
    int forget_at;       // s
    int forget_later;    // s; a second look, where not 0
    size_t kept;         // how many are left
    size_t unreached;    // how many were forgotten without reaching a page
    uint64_t kept_from;  // the seq after which every goods scan is still kept
};

const Case kCases[] = {
    {"within_time", 5, 1000, 10, 0, 5, 0, 5, 0, 0},
    {"time_up_for_some", 20, 1000, 10, 0, 25, 0, 4, 8, 16},
    {"time_up_for_all", 20, 1000, 10, 0, 40, 0, 0, 10, 20},
    // Not kept at all: forgotten as it is kept; the counter's scan 3 does
    // not count against the goods scanner.
    {"none_kept", 3, 1000, 0, 0, 2, 0, 0, 2, 2},
    // Whatever the time, the last 1024 at most.
    {"count", 1100, 100, 300, 0, 110, 0, 1024, 38, 76},
    // A payment code goes before the scans kept before it; they go later,
    // and what was lost after them is still known.
    {"short_ones_first", 100, 1000, 300, 10, 100, 0, 96, 0, 40},
    {"short_ones_first_then_older_ones", 12, 1000, 70, 10, 69, 75, 5, 3, 10},
};

TEST(ScanKeeper, KeepsTheLastScansForTheirTimeAndKnowsWhatItLost) {
    for (const Case& c : kCases) {
        ScanKeeper keeper;
        const ScanKeeper::Clock::time_point t0;
        size_t unreached = 0;  // scans forgotten that reached no page
        for (int i = 1; i <= c.scans; ++i) {
            const auto at = t0 + milliseconds((i - 1) * c.step);
            const int keep = c.short_every > 0 && i % c.short_every == 0 ? 60 : c.keep;
            keeper.Keep({static_cast<uint64_t>(i), i % 3 == 0 ? "counter" : "goods", nullptr, true,
                         at + seconds(keep), i % 2 == 0});
            unreached += keeper.Forget(at).size();
        }
        for (const int at : {c.forget_at, c.forget_later}) {
            unreached += keeper.Forget(t0 + seconds(at)).size();
        }
        EXPECT_EQ(keeper.scans().size(), c.kept) << c.name;
        EXPECT_EQ(unreached, c.unreached) << c.name;
        const std::vector<std::string> goods = {"goods"};
        EXPECT_TRUE(keeper.KeptAfter(c.kept_from, goods)) << c.name;
        if (c.kept_from > 0) {
            EXPECT_FALSE(keeper.KeptAfter(c.kept_from - 1, goods)) << c.name;
            EXPECT_FALSE(keeper.KeptAfter(c.kept_from - 1, {})) << c.name;
        }
    }
}

}  // namespace
