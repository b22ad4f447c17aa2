// The metrics' registry of scanners over a long run: every scanner open is
// kept, and room is made by forgetting the closed one unused longest.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "metrics.h"

namespace {

TEST(Metrics, KeepsEveryOpenScannerAndForgetsTheClosedOneUnusedLongest) {
    Metrics metrics;
    auto slot = [&metrics](const std::string& name) {
        return metrics.ScannerSlot(name, "serial", "/dev/" + name);
    };
    std::vector<std::shared_ptr<Metrics::Scanner>> made;
    for (int i = 0; i < 64; ++i) {
        made.push_back(slot("s" + std::to_string(i)));
        made.back()->open = i % 2 == 0 ? 1 : 0;
    }
    slot("s1");  // used again: the closed s3 is now the one unused longest
    ASSERT_NE(slot("n1"), nullptr);
    ASSERT_NE(slot("n2"), nullptr);
    ++made[5]->scans;  // counts held while they are forgotten stay valid
    const std::string text = metrics.Exposition();
    for (const std::string name : {"s0", "s1", "s2", "s7", "s63", "n1", "n2"}) {
        EXPECT_NE(text.find("scanner=\"" + name + "\""), std::string::npos) << name;
    }
    for (const std::string name : {"s3", "s5"})  // forgotten
        EXPECT_EQ(text.find("scanner=\"" + name + "\""), std::string::npos) << name;
    // With every one open there is no room, and none is forgotten.
    for (const auto& scanner : made) {
        scanner->open = 1;  // s3 and s5 too, no longer counted
    }
    slot("n1")->open = 1;
    slot("n2")->open = 1;
    EXPECT_EQ(slot("n3"), nullptr);
}

TEST(Metrics, EscapesLabelValuesAsTheExpositionFormatWants) {
    Metrics metrics;
    metrics.ScannerSlot("till \\1 \"left\"\nside", "serial", "/dev/ttyUSB0");
    EXPECT_NE(metrics.Exposition().find(R"(scanner="till \\1 \"left\"\nside")"), std::string::npos);
}

}  // namespace
