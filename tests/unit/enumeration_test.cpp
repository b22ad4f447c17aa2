// Which supported scanners udev lists, against a umockdev testbed.
#include <gtest/gtest.h>

#include "support/stdout_tap.h"
#include "support/virtual_scanner.h"
#include "ttyUSB.h"

namespace {

std::vector<tag_dev_online_node> Enumerate(CttyUSB& tty) {
    std::vector<tag_dev_online_node> nodes;
    const int count = tty.EnumOnLineGun(nodes);
    EXPECT_EQ(count, static_cast<int>(nodes.size()));
    return nodes;
}

TEST(Enumeration, NoScannerPresent) {
    Testbed bed;
    bed.AddTty("ttyS0", "", "", "");                      // no USB ids at all
    bed.AddTty("ttyUSB0", "0403", "6001", "FT232R");      // another vendor
    bed.AddTty("ttyUSB1", "1a86", "7523", "USB Serial");  // right ids, wrong model
    CttyUSB tty;
    StdoutTap out;
    EXPECT_TRUE(Enumerate(tty).empty());
    EXPECT_EQ(tty.CheckWorkingGun(), -1);
    EXPECT_EQ(out.Text(), "");
}

TEST(Enumeration, OneScannerAmongOtherTtys) {
    Testbed bed;
    bed.AddTty("ttyS0", "", "", "");
    bed.AddScanner("ttyUSB3");
    CttyUSB tty;
    StdoutTap out;
    const auto nodes = Enumerate(tty);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].index, 1);
    EXPECT_EQ(nodes[0].vid, 0x1a86u);
    EXPECT_EQ(nodes[0].pid, 0x7523u);
    EXPECT_EQ(nodes[0].devname, "/dev/ttyUSB3");
    EXPECT_EQ(nodes[0].action, "add");
    EXPECT_EQ(out.Text(), "DEVNAME(/dev):/dev/ttyUSB3\n");
}

TEST(Enumeration, TwoScannersAndAppending) {
    Testbed bed;
    bed.AddScanner("ttyUSB0");
    bed.AddTty("ttyUSB1", "1a86", "7523", "Corvane_ZR4410");
    CttyUSB tty;
    StdoutTap out;
    std::vector<tag_dev_online_node> nodes(1);  // one already there
    EXPECT_EQ(tty.EnumOnLineGun(nodes), 3);
    EXPECT_EQ(out.Count("DEVNAME(/dev):"), 2u);
}

// udev writes the PL2303's vendor id with a leading zero.
TEST(Enumeration, Pl2303BridgedScannerIsListedAndStaysPresent) {
    Testbed bed;
    bed.AddTty("ttyUSB0", "067b", "2303", "ZR4420");
    CttyUSB tty;
    StdoutTap out;
    const auto nodes = Enumerate(tty);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].index, 4);
    tty.m_open_node = nodes[0];
    EXPECT_EQ(tty.CheckWorkingGun(), 0);
}

TEST(Enumeration, ScannerWithoutModelIdOrNodeIsSkipped) {
    Testbed bed;
    bed.AddTty("ttyUSB0", "1a86", "", "TAVI");
    CttyUSB tty;
    StdoutTap out;
    EXPECT_TRUE(Enumerate(tty).empty());
}

TEST(Enumeration, CheckWorkingGunFollowsTheOpenNode) {
    Testbed bed;
    const std::string first = bed.AddScanner("ttyUSB0");
    CttyUSB tty;
    StdoutTap out;
    tty.m_open_node = Enumerate(tty).at(0);
    EXPECT_EQ(tty.CheckWorkingGun(), 0);

    // Re-plugged under another node: not the scanner that was open.
    bed.Remove(first);
    bed.AddScanner("ttyUSB1");
    EXPECT_EQ(tty.CheckWorkingGun(), -1);
}

}  // namespace
