// The web server's thread: it goes with the server, however early; and what
// pages may ask of a daemon that serves every scanner at once.
#include <gtest/gtest.h>

#include <string>

#include "certificate_watch.h"
#include "page_protocol.h"
#include "webserver.h"

namespace {

// Stopped right after its start, before its thread has begun to listen: the
// server still goes, rather than its thread serving on and never being joined.
TEST(WebServer, GoesWhenStoppedBeforeItListens) {
    for (int i = 0; i < 20; ++i) {
        CWebServer server;
        server.m_policy.bind_address = "127.0.0.1";
        // A port bound as root, refused otherwise: the start goes either way.
        ASSERT_EQ(server.StartSocetServers("1"), 0);
    }
}

// A page's message, and what it asks: "register", "scanners", "subscribe"
// with the names chosen, or the refusal's reason.
TEST(PageRequest, SubscribeTakesAtMost16NamesOf64Bytes) {
    const std::string name64(64, 'n');
    static const char kRawNul[] = "{\"type\":\"SUBSCRIBE\",\"Sources\":[\"goods\0x\"]}";
    std::string sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    const std::string sub = "{\"type\":\"SUBSCRIBE\",\"Sources\":";
    const std::string after = "{\"type\":\"SUBSCRIBE\",\"After\":", run = "0123456789abcdef";
    const std::string not_an_id = "refused: After is the Id of a scan, \"<run>:<seq>\"";
    const std::string bad_name = "refused: a scanner name is 1 to 64 bytes";
    const std::string not_a_list = "refused: Sources is a list of scanner names";
    const std::string nul = "refused: a scanner name holds no NUL";
    const struct {
        std::string message;
        std::string taken;
    } cases[] = {
        {"{\"type\": \"SUBSCRIBE\", \"Sources\": [\"payment\", \"n\u00e4me\"]}",
         "subscribe payment,n\xc3\xa4me"},
        {"{\"type\":\"SUBSCRIBE\"}", "subscribe "},
        {sub + "[]}", "subscribe "},
        {sub + "[" + sixteen + "]}", "subscribe 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"},
        {sub + "[\"" + name64 + "\"]}", "subscribe " + name64},
        {sub + "[" + sixteen + ",\"16\"]}", "refused: Sources names 16 scanners at most"},
        {sub + "[\"" + name64 + "x\"]}", bad_name},
        {sub + "[\"a\", \"\"]}", bad_name},
        // A NUL would end the name that cJSON reads, whatever followed it.
        {sub + "[\"goods\\u0000" + name64 + "\"]}", nul},
        {std::string(kRawNul, sizeof kRawNul - 1), nul},
        {sub + "[\"\\\\u0000\"]}", "subscribe \\u0000"},
        {sub + "\"payment\"}", not_a_list},
        {sub + "[1]}", not_a_list},
        {sub + "[\"a\"]",
         "refused: a SUBSCRIBE is {\"type\":\"SUBSCRIBE\",\"Sources\":[\"name\", ...]}"},
        {"{\"type\":\"subscribe\"}", "register"},  // not one: a keep-alive like any
        // After: the Id of the last scan the page received.
        {after + "\"" + run + ":18446744073709551615\"}",
         "subscribe  after " + run + ":18446744073709551615"},
        {after + "\"" + run + ":18446744073709551616\"}", not_an_id},
        {after + "\"1:2\"}", not_an_id},
        {after + "\"0123456789ABCDEF:1\"}", not_an_id},
        {after + "\"" + run + ":01\"}", not_an_id},
        {after + "\"" + run + ":\"}", not_an_id},
        {after + "7}", not_an_id},
        // A scanner told to beep, or to stop and start reading.
        {"{\"type\":\"SIGNAL\",\"Source\":\"SUBSCRIBE\",\"Signal\":\"not-on-file\"}",
         "signal SUBSCRIBE not-on-file"},
        {"{\"type\":\"SIGNAL\",\"Source\":\"goods\",\"Signal\":\"beep\"}",
         "refused: Signal is good, error or not-on-file"},
        {"{\"type\":\"SIGNAL\",\"Source\":[\"goods\"],\"Signal\":\"good\"}",
         "refused: Source is the name of a scanner"},
        {"{\"type\":\"SIGNAL\",\"Source\":\"\",\"Signal\":\"good\"}", bad_name},
        {"{\"type\":\"ENABLE\",\"Sources\":\"goods\"}", not_a_list},
        {"{\"type\":\"DISABLE\",\"Sources\":[\"a\"]",
         "refused: a DISABLE is {\"type\":\"DISABLE\",\"Sources\":[\"name\", ...]}"},
    };
    for (const auto& c : cases) {
        const PageRequest request =
            ReadPageRequest(c.message.data(), c.message.size(), c.message.size());
        const char* const kinds[] = {
            "register", "subscribe ", "scanners", "refused: ", "signal ", "disable ", "enable "};
        std::string taken = kinds[static_cast<int>(request.kind)] + request.error;
        for (size_t i = 0; i < request.sources.size(); ++i)
            taken += (i > 0 ? "," : "") + request.sources[i];
        taken += request.signal.empty() ? "" : " " + request.signal;
        taken += request.after.empty()
                     ? ""
                     : " after " + request.after_run + ":" + std::to_string(request.after_seq);
        EXPECT_EQ(taken, c.taken) << c.message;
    }
    // Only the first bytes of a long message were kept: no JSON to read.
    const std::string cut = "{\"type\":\"SUBSCRIBE\",\"Sources\":[\"a\"]}";
    EXPECT_EQ(ReadPageRequest(cut.data(), 20, 20000).kind, PageRequest::Kind::kRefused);
    EXPECT_EQ(ReadPageRequest("{\"type\":\"SCANNERS\"}", 10, 20000).kind,
              PageRequest::Kind::kRegister);
}

// A page's message as the log shows it: a token never, however it is spelt.
TEST(PageRequest, TheLogNeverShowsAToken) {
    const std::string jwt = "eyJhbGciOiJFUzI1NiJ9.eyJleHAiOjF9.c2ln";
    const struct {
        std::string message;
        std::string shown;
    } cases[] = {
        {"{\"type\":\"SUBSCRIBE\",\"Token\": \"" + jwt + "\"}",
         "{\"type\":\"SUBSCRIBE\",\"Token\":\"<token>\"}"},
        {"{\"\\u0054oken\":\"se\\u0063ret\",\"Token\":[1]}",
         "{\"Token\":\"<token>\",\"Token\":\"<token>\"}"},
        {"hello " + jwt + " there", "hello <token> there"},
        {"{\"Token\":\"open", "{\"Token\":\"<token>"},  // cut short: not JSON
        {"{\"type\":\"SCANNERS\"}", "{\"type\":\"SCANNERS\"}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithoutTokens(c.message), c.shown) << c.message;
    }
}

// What is said of a certificate's dates: nothing while more than 30 days
// are left.
TEST(CertificateWatch, SaysWhatBrowsersWillRefuse) {
    const int64_t day = 86400, start = 1800000000, end = start + 825 * day;
    const struct {
        int64_t now;
        std::string said;
    } cases[] = {
        {start + day, ""},
        {end - 31 * day, ""},
        {end - 30 * day, "c.pem ends on 2029-04-19 08:00 UTC, within 30 days: make a new one"},
        {end, "c.pem expired on 2029-04-19 08:00 UTC: browsers refuse wss:// with it"},
        {start - 1,
         "c.pem is not valid until 2027-01-15 08:00 UTC: browsers refuse wss:// with "
         "it until then"},
    };
    for (const auto& c : cases) {
        const std::string said = CertificateWatch::Judge("c.pem", start, end, c.now);
        EXPECT_EQ(said, c.said.empty() ? "" : "certificate " + c.said) << c.now;
    }
}

}  // namespace
