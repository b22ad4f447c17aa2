// Character-set conversion with the platform's iconv.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ttyUSB.h"

namespace {

struct Result {
    int rc;
    std::string text;  // up to the first zero byte, as the read loops take it
};

Result Encode(int selector, std::string input, size_t dstlen = 64) {
    CttyUSB tty;
    std::string out(dstlen + 8, '\x7f');  // marks what the call must not touch
    out.replace(0, dstlen, dstlen, '\0');
    Result r;
    r.rc = tty.encode(selector, &input[0], input.size(), &out[0], dstlen);
    EXPECT_EQ(out.substr(dstlen), std::string(8, '\x7f')) << "wrote past dstlen";
    r.text = out.c_str();
    return r;
}

const std::string kZhong = "\xd6\xd0";             // 中 in GB2312
const std::string kZhongUtf8 = "\xe4\xb8\xad";     // 中 in UTF-8
const std::string kGbkOnly = "\x81\x40";           // 丂: in GBK, not in GB2312
const std::string kFourByte = "\x94\x39\xfc\x36";  // U+1F600, four bytes in GB18030

TEST(Encode, AsciiAndControlBytesPassUnchanged) {
    const std::string ascii = "ABC 123\t\r\n";
    for (int selector : {1, 2, 3, 4}) {
        const Result r = Encode(selector, ascii);
        EXPECT_EQ(r.rc, 0) << selector;
        EXPECT_EQ(r.text, ascii) << selector;
    }
}

TEST(Encode, ChineseTextBySelector) {
    EXPECT_EQ(Encode(1, kZhong + "\r\n").text, kZhongUtf8 + "\r\n");
    EXPECT_EQ(Encode(2, kZhong).text, kZhongUtf8);
    EXPECT_EQ(Encode(2, kGbkOnly).text, "\xe4\xb8\x82");
    EXPECT_EQ(Encode(1, kGbkOnly).rc, -1);
    EXPECT_EQ(Encode(2, kFourByte).text, "\xf0\x9f\x98\x80");
    EXPECT_EQ(Encode(1, kFourByte).rc, -1);
}

TEST(Encode, TruncatedOrInvalidInputFails) {
    EXPECT_EQ(Encode(2, "AB\xd6").rc, -1);
    EXPECT_EQ(Encode(1, "AB\xd6").rc, -1);
    EXPECT_EQ(Encode(2, kFourByte.substr(0, 3)).rc, -1);
    EXPECT_EQ(Encode(2, "\xff\xff").rc, -1);
}

TEST(Encode, CopyKeepsZeroBytesAndTheReaderStopsThere) {
    const Result r = Encode(4, std::string("ab\0cd", 5));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "ab");
}

TEST(Encode, OtherSelectorsFailEveryInput) {
    for (int selector : {0, 5, 6, 7, -1, 1000}) {
        EXPECT_EQ(Encode(selector, "abc").rc, -1) << selector;
        EXPECT_EQ(Encode(selector, "").rc, -1) << selector;
    }
}

TEST(Encode, OutputThatDoesNotFitFailsWithoutWritingPastIt) {
    EXPECT_EQ(Encode(2, std::string(10, 'a'), 9).rc, -1);
    EXPECT_EQ(Encode(4, std::string(10, 'a'), 9).rc, -1);
    EXPECT_EQ(Encode(2, std::string(3, '\xd6'), 2).rc, -1);
    EXPECT_EQ(Encode(2, std::string(9, 'a'), 9).rc, 0);
}

}  // namespace
