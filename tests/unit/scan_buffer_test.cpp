// Assembling a scan: the terminator rule across chunks, and the bound.
#include <gtest/gtest.h>

#include <string>

#include "scan_buffer.h"

namespace {

ScanBuffer& Fill(ScanBuffer& scan, std::initializer_list<std::string> chunks) {
    scan.Clear();
    for (const std::string& chunk : chunks) {
        scan.Append(chunk.data(), chunk.size());
    }
    return scan;
}

TEST(ScanBuffer, TerminatedByCrOrCrLfAfterAtLeastTwoBytes) {
    ScanBuffer scan;
    EXPECT_TRUE(Fill(scan, {"ABC\r\n"}).Terminated());
    EXPECT_TRUE(Fill(scan, {"ABC\r"}).Terminated());
    EXPECT_TRUE(Fill(scan, {"ABC\r", "\n"}).Terminated());  // LF in a chunk of its own
    EXPECT_TRUE(Fill(scan, {"\r\n"}).Terminated());
    EXPECT_FALSE(Fill(scan, {"\r"}).Terminated());  // a lone CR waits for quiet
    EXPECT_FALSE(Fill(scan, {"ABC\n"}).Terminated());
    EXPECT_FALSE(Fill(scan, {"ABC\n\n"}).Terminated());
    EXPECT_FALSE(Fill(scan, {"ABC"}).Terminated());
    EXPECT_FALSE(Fill(scan, {"AB\r", "C"}).Terminated());
}

TEST(ScanBuffer, KeepsAtMostItsCapacity) {
    ScanBuffer scan;
    const std::string chunk(512, 'x');
    scan.Clear();
    for (int i = 0; i < 4; ++i) {
        scan.Append(chunk.data(), chunk.size());
    }
    EXPECT_EQ(scan.size(), 2048u);
    EXPECT_FALSE(scan.Overflowed());

    for (int i = 0; i < 20; ++i) {  // 10 KB more: counted, not kept
        scan.Append(chunk.data(), chunk.size());
    }
    scan.Append("\r\n", 2);
    EXPECT_EQ(scan.size(), 2048u);
    EXPECT_TRUE(scan.Overflowed());
    EXPECT_TRUE(scan.Terminated());  // the end of what arrived, not of what was kept

    Fill(scan, {"abc"});
    EXPECT_FALSE(scan.Overflowed());
    EXPECT_EQ(std::string(scan.data(), scan.size()), "abc");
}

}  // namespace
