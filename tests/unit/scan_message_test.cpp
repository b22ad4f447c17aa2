// The scan message, byte for byte: web pages parse exactly this text.
#include <gtest/gtest.h>

#include <string>

#include "webserver.h"

namespace {

std::string Message(int code, const std::string& text) {
    CWebServer server;
    return server.enJsonFormat(code, text.size(), text);
}

TEST(ScanMessage, ScanAndNotOpenReplyGoldenBytes) {
    const std::string abc = Message(0, "abc");
    EXPECT_EQ(abc,
              "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"erro\":\t0,\n\t\"size\":\t3,\n"
              "\t\"Data\":\t\"abc\"\n}");
    EXPECT_EQ(abc.size(), 66u);

    const std::string not_open = Message(-2, "");
    EXPECT_EQ(not_open,
              "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"erro\":\t-2,\n\t\"size\":\t0,\n"
              "\t\"Data\":\t\"\"\n}");
    EXPECT_EQ(not_open.size(), 64u);

    EXPECT_EQ(Message(-1, ""),
              "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"erro\":\t-1,\n\t\"size\":\t0,\n"
              "\t\"Data\":\t\"\"\n}");
}

TEST(ScanMessage, TextIsEscapedAndSizeCountsItsBytes) {
    // Two Chinese characters: six bytes of UTF-8, unescaped.
    EXPECT_EQ(Message(0, "\xe4\xb8\xad\xe6\x96\x87"),
              "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"erro\":\t0,\n\t\"size\":\t6,\n"
              "\t\"Data\":\t\"\xe4\xb8\xad\xe6\x96\x87\"\n}");
    EXPECT_EQ(Message(0, "a\tb\"c\\d\x01\x7f\r\n"),
              "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"erro\":\t0,\n\t\"size\":\t11,\n"
              "\t\"Data\":\t\"a\\tb\\\"c\\\\d\\u0001\x7f\\r\\n\"\n}");
}

TEST(ScanMessage, SizeIsTheCallersCountAndDataStopsAtAZeroByte) {
    CWebServer server;
    EXPECT_EQ(server.enJsonFormat(0, 5, std::string("ab\0cd", 5)),
              "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"erro\":\t0,\n\t\"size\":\t5,\n"
              "\t\"Data\":\t\"ab\"\n}");
}

TEST(WebsocketControlState, CloseOnAnInstanceNeverSetUp) {
    WebsocketControl control;
    EXPECT_EQ(control.closeWebsocketServer(), 0);
    EXPECT_EQ(control.m_started, 0);
    EXPECT_EQ(control.doSendText(nullptr, const_cast<char*>("x"), 1), -1);
}

}  // namespace
