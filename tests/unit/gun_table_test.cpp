// The table of supported scanners and the test that matches udev's texts to it.
#include <gtest/gtest.h>

#include "gun_table.h"
#include "ttyUSB.h"

namespace {

TEST(GunTable, IsExistFindsTheFirstMatchingRow) {
    CttyUSB tty;
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "HALVERMONT"), 0);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "TAVI"), 1);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "ZR4410"), 2);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "Corvane_ZR4410"), 2);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "ZR4420"), 3);
    EXPECT_EQ(tty.IsExist(0x067b, 0x2303, "ZR4420"), 4);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "ZR4410X"), 2);  // the key occurs in it
}

TEST(GunTable, IsExistRejects) {
    CttyUSB tty;
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, nullptr), -1);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7523, "tavi"), -1);
    EXPECT_EQ(tty.IsExist(0x1a86, 0x7524, "TAVI"), -1);
    EXPECT_EQ(tty.IsExist(0x067b, 0x2303, "ZR4410"), -1);
    EXPECT_EQ(tty.IsExist(0, 0, ""), -1);
}

TEST(GunTable, SupportedTestNeedsTheModelInsideTheRowsModelName) {
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", "TAVI"), 1);
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", "Corvane_ZR4410"), 2);
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", "ane_ZR4410"), 2);  // a tail holding the key
    EXPECT_EQ(MatchSupportedGun("067b", "2303", "ZR4420"), 4);
    EXPECT_EQ(MatchSupportedGun("67b", "2303", "Corvane_ZR4420"), 4);
    // IsExist accepts these, the model-name check does not.
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", "ZR4410X"), -1);
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", "TAVI2"), -1);
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", "Corvane_ZR4410 rev2"), -1);
    // Missing properties fail the test.
    EXPECT_EQ(MatchSupportedGun(nullptr, "7523", "TAVI"), -1);
    EXPECT_EQ(MatchSupportedGun("1a86", nullptr, "TAVI"), -1);
    EXPECT_EQ(MatchSupportedGun("1a86", "7523", nullptr), -1);
}

TEST(GunTable, VendorListHoldsEachIdOnceAsUdevWritesIt) {
    CttyUSB tty;
    std::string list = "left over";
    EXPECT_EQ(tty.GetVendoridList(list), 0);
    EXPECT_EQ(list, ",1a86,067b");
}

}  // namespace
