// The configuration reader against real files: one table of file texts and
// what the daemon takes from each, summary line and network policy included.
#include "conf_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// What the daemon takes from a file: "port encoding baud databits stopbits
// parity", then " +" when the summary line came out and shows those values,
// then the restrictions (origins, TLS files, bind address), " refused" when
// no listener may be opened, " unlogged" when scans stay out of the log, and
// " all" when every scanner is served, " metrics=port@address" when asked for.
std::string Take(const std::string& path) {
    // Stale values, so that one the reader forgets to set shows.
    std::string port = "?";
    int encoding = -99;
    TtyAttr a{-1, -1, -1, '?'};
    NetworkPolicy policy{"?", {"?"}, true, "?", "?", "?", {true, "1", "x"}, {true, "?", "?", "?"}};
    ScannerOptions scanners{false, true, -1, {ScannerEntry{}}, {ScannerEntry{}}};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadConfFile(path.c_str(), port, encoding, a, policy, scanners), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    char text[200];
    std::snprintf(text, sizeof text,
                  "port:%s encode:%d rate:%d databits:%d stopbits:%d, parrity:%c\n", port.c_str(),
                  encoding, a.baudrate, a.databits, a.stopbits, a.parity);
    const char* summary = printed.empty() ? "" : printed == text ? " +" : " !";
    std::snprintf(text, sizeof text, "%s %d %d %d %d %c%s", port.c_str(), encoding, a.baudrate,
                  a.databits, a.stopbits, a.parity, summary);
    std::string all = text;
    const auto add = [&all](bool shown, const std::string& what) { all += shown ? what : ""; };
    for (const std::string& origin : policy.allowed_origins)
        all += " " + origin;
    add(policy.tls, " tls:" + policy.tls_certificate + "," + policy.tls_private_key);
    for (const auto* list : {&scanners.serial, &scanners.keyboards}) {
        for (const ScannerEntry& e : *list) {
            std::snprintf(text, sizeof text, " %s=%04x:%04x",
                          list == &scanners.serial ? "serial" : "keyboard",
                          e.any_vendor ? 0xffffu : e.vid, e.any_product ? 0xffffu : e.pid);
            all += text;
            for (const std::string& key : {e.model, e.layout, e.serial, e.port, e.device, e.name})
                add(!key.empty(), "/" + key);
            add(e.aim_prefix, "/aim");
            add(e.auto_disable, "/auto");
            for (int order = 0; order < kScannerOrders; ++order) {
                const std::string& bytes = e.order_bytes[order];
                add(!bytes.empty(), "/" + std::string(OrderName(ScannerOrder(order))) + "=");
                for (const unsigned char byte : bytes) {
                    std::snprintf(text, sizeof text, "%02x", byte);
                    all += text;
                }
            }
        }
    }
    add(!policy.bind_address.empty(), " @" + policy.bind_address);
    add(!policy.refusal.empty(), " refused");
    add(!scanners.log_scan_data, " unlogged");
    add(scanners.serve_all, " all");
    add(scanners.keep_scans_seconds != 10, " keep=" + std::to_string(scanners.keep_scans_seconds));
    const auto& metrics = policy.metrics;
    add(metrics.enabled, " metrics=" + metrics.port + "@" + metrics.bind_address);
    const auto& tokens = policy.page_tokens;
    add(tokens.enabled,
        " tokens=" + tokens.public_key + "," + tokens.secret + "," + tokens.audience);
    return all;
}

std::string Repeat(const std::string& text, int times) {
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}

std::string File(const std::string& port, const std::string& encode, const std::string& baud,
                 const std::string& databits, const std::string& stopbits,
                 const std::string& parity, const std::string& extra = "") {
    return "<?xml version=\"1.0\"?>\n<gunconf>\n <WebsocketPort>" + port +
           "</WebsocketPort>\n <Encode>" + encode + "</Encode>\n <ttyAttr><baudrate>" + baud +
           "</baudrate><databits>" + databits + "</databits><stopbits>" + stopbits +
           "</stopbits><parity>" + parity + "</parity></ttyAttr>\n" + extra + "</gunconf>\n";
}

std::string Full(const std::string& extra = "") {
    return File("9011", "1", "9600", "7", "2", "E", extra);
}

std::string Without(const std::string& element) {
    std::string xml = Full();
    const size_t from = xml.find("<" + element + ">");
    const std::string close = "</" + element + ">";
    return xml.erase(from, xml.find(close, from) + close.size() - from);
}

// An unusable file whose `word` begins 5 bytes before the end of the first
// 64 KiB read.
std::string Straddling(const std::string& word) {
    const std::string xml = Full(word);
    return std::string(65536 - 5 - xml.find(word.substr(1)), ' ') + xml + "<";
}

const std::string kDefaults = "9010 2 115200 8 1 N", kFull = "9011 1 9600 7 2 E +";
const std::string kRefused = kDefaults + " refused";  // no listener
const std::string kPolicy =
    "<BindAddress> 127.0.0.2 </BindAddress><AllowedOrigins><Origin>https://pos.example.com"
    "</Origin><Origin> </Origin><Other>x</Other><Origin>\n http://127.0.0.1:8080 \n</Origin>"
    "</AllowedOrigins>";
const std::string kRestricted = " https://pos.example.com http://127.0.0.1:8080 @127.0.0.2";

struct Case {
    const char* name;
    std::string xml;
    std::string taken;
};

const Case kCases[] = {
    {"complete", Full(), kFull},
    {"any_root_order_and_unknown_elements",
     "<!-- c --><S><U>x</U><ttyAttr><parity>O</parity><stopbits>2</stopbits><databits>7</databits>"
     "<baudrate>9600</baudrate></ttyAttr><Encode>4</Encode><WebsocketPort>9011</WebsocketPort>"
     "<WebsocketPort>9012</WebsocketPort></S>",
     "9011 4 9600 7 2 O +"},
    // Reading stops at the first missing element; what came before keeps the
    // file's value, the rest its default even when present.
    {"no_port", Without("WebsocketPort"), kDefaults},
    {"no_encode", Without("Encode"), "9011 2 115200 8 1 N"},
    {"no_ttyattr", Without("ttyAttr"), "9011 1 115200 8 1 N"},
    {"no_baudrate", Without("baudrate"), "9011 1 115200 8 1 N"},
    {"no_databits", Without("databits"), "9011 1 9600 8 1 N"},
    {"no_stopbits", Without("stopbits"), "9011 1 9600 7 1 N"},
    {"no_parity", Without("parity"), "9011 1 9600 7 2 N"},
    // An element without text keeps its default and reading goes on.
    {"encode_without_text", File("9011", "<!-- c -->4", "9600", "7", "2", "O"),
     "9011 2 9600 7 2 O"},
    {"port_and_parity_without_text", File("", "1", "9600", "7", "2", " "), "9010 1 9600 7 2 N"},
    // Numbers as strtol reads them; Encode outside 0..6 is 2; parity's first letter.
    {"strtol", File(" 90 \t 11 ", "6", "  19200baud", "eight", "-1", "Even"),
     "90 11 6 19200 0 -1 E +"},
    {"encode_0", File("9011", "0", "9600", "7", "2", "none"), "9011 0 9600 7 2 n +"},
    {"encode_7", File("9011", "7", "9600", "7", "2", "N"), "9011 2 9600 7 2 N +"},
    {"encode_minus_1", File("9011", "-1", "9600", "7", "2", "N"), "9011 2 9600 7 2 N +"},
    {"encode_low_32_bits", File("90&#49;1", "4294967299", "1", "5", "3", "x"), "9011 3 1 5 3 x +"},
    // Restrictions are read wherever the values stopped.
    {"policy", Full(kPolicy), kFull + kRestricted},
    {"policy_after_a_stop", "<g><WebsocketPort>9011</WebsocketPort>" + kPolicy + "</g>",
     std::string("9011 2 115200 8 1 N") + kRestricted},
    {"crlf_and_many_elements", Full(Repeat("<x/>\r\n", 2000)), kFull},
    // A restriction's text is its text wherever comments and CDATA stand.
    {"policy_around_comments",
     Full("<BindAddress><!-- loopback only -->127.0.0.1</BindAddress><AllowedOrigins><Origin>"
          "<!-- c --> <![CDATA[https://a.example]]> </Origin></AllowedOrigins>"),
     kFull + " https://a.example @127.0.0.1"},
    {"tls", "<g><Tls><PrivateKey>/k.pem</PrivateKey><Certificate> /c.pem </Certificate></Tls></g>",
     kDefaults + " tls:/c.pem,/k.pem"},
    {"tls_without_its_files", "<g><Tls/></g>", kDefaults + " tls:,"},
    {"unusable_naming_tls", "<g><Tls><Certificate>/c.pem</Certificat></Tls></g>", kRefused},
    // Scanners beyond the table and their names. Skipped: ids that are not
    // four hex digits, no VendorId (nor a Device), a name that can't be one,
    // a keyboard named by its vendor alone.
    {"scanners",
     "<g><Scanners><Scanner><VendorId>0c2e</VendorId><Name>" + Repeat("n", 65) +
         "</Name></Scanner><Scanner><VendorId>0c2e</VendorId><ProductId>0B6A</ProductId></Scanner>"
         "<Scanner><VendorId>1a86</VendorId><Model>MYSCAN</Model><AimPrefix>1</AimPrefix></Scanner>"
         "<Scanner><VendorId>c2e</VendorId></Scanner><Scanner><ProductId>0b6a</ProductId></Scanner>"
         "<Scanner><VendorId>05e0</VendorId><ProductId>12345</ProductId></Scanner>"
         "<Scanner><Device>/dev/ttyS1</Device><Name> counter </Name></Scanner>"
         "<Scanner><VendorId>0c2e</VendorId><Serial>18A</Serial><Port>pci-0:1</Port>"
         "<Name>goods</Name></Scanner><Scanner><VendorId>0c2e</VendorId><Name>\x01</Name>"
         "</Scanner></Scanners><KeyboardScanners>"
         "<Scanner><VendorId>05f9</VendorId><Layout>de</Layout></Scanner>"
         "<Scanner><VendorId>05f9</VendorId><ProductId>2206</ProductId><Layout>de(nodeadkeys)"
         "</Layout></Scanner><Scanner><VendorId>05e0</VendorId><Port>pci-0:2</Port>"
         "<Device>/x</Device></Scanner></KeyboardScanners><ServeAllScanners> 1 </ServeAllScanners>"
         "</g>",
     kDefaults + " serial=0c2e:0b6a serial=1a86:ffff/MYSCAN/aim " +
         "serial=ffff:ffff//dev/ttyS1/counter serial=0c2e:ffff/18A/pci-0:1/goods " +
         "keyboard=05f9:2206/de(nodeadkeys) keyboard=05e0:ffff/pci-0:2 all"},
    // The bytes that tell a serial scanner to beep or to stop and start
    // reading: pairs of hex digits; one that is not is left out, the rest stay.
    {"signals",
     "<g><Scanners><Scanner><Device>/dev/ttyS2</Device><AutoDisable>1</AutoDisable><Signals>"
     "<Good>16 4D 0D</Good><Error>xyz</Error><Disable>1B5A</Disable><Enable> 1b 5b </Enable>"
     "<NotOnFile>1 6</NotOnFile></Signals></Scanner></Scanners></g>",
     kDefaults + " serial=ffff:ffff//dev/ttyS2/auto/good=164d0d/disable=1b5a/enable=1b5b"},
    {"metrics", "<g><Metrics><BindAddress> 10.0.0.5 </BindAddress><Port>9464</Port></Metrics></g>",
     kDefaults + " metrics=9464@10.0.0.5"},
    // Pages show a signed token: read like the restrictions, and one that
    // can't be read opens no listener.
    {"page_tokens",
     "<g><PageTokens><Audience>till-17</Audience><PublicKey> /k.pub </PublicKey></PageTokens>"
     "<ttyAttr><PageTokens><Secret>/s</Secret></PageTokens></ttyAttr></g>",
     kDefaults + " tokens=/k.pub,,till-17"},
    {"unusable_naming_page_tokens", "<g><PageTokens><Secret>/s</Secret></PageToken></g>", kRefused},
    {"scans_out_of_the_log", "<g><LogScanData><!-- c --> 0 </LogScanData></g>",
     kDefaults + " unlogged"},
    {"scans_logged_unless_0", Full("<LogScanData>no</LogScanData>"), kFull},
    // Seconds a scan is kept: 0 to 300; anything else is the default, 10.
    {"keep_scans_0", "<g><KeepScans> 0 </KeepScans></g>", kDefaults + " keep=0"},
    {"keep_scans_300", Full("<KeepScans>300</KeepScans>"), kFull + " keep=300"},
    {"keep_scans_301", Full("<KeepScans>301</KeepScans>"), kFull},
    {"keep_scans_not_a_number", Full("<KeepScans>-1</KeepScans><KeepScans>5</KeepScans>"), kFull},
    {"keep_scans_empty", Full("<KeepScans/>"), kFull},
    // A file that can't be used but names a restriction opens no listener.
    {"unusable_naming_a_restriction", "<g><BindAddress>127.0.0.1</BindAddres></g>", kRefused},
    {"huge_naming_a_restriction_at_its_end", Full(std::string(2 << 20, ' ') + "<AllowedOrigins/>"),
     kRefused},
    {"restriction_across_two_reads", Straddling("<BindAddress>"), kRefused},
    // Unusable files: defaults, no summary, no restriction.
    {"empty", "", kDefaults},
    {"not_closed", "<gunconf><WebsocketPort>9011</WebsocketPort>", kDefaults},
    {"comment_only", "<?xml version=\"1.0\"?><!-- c -->", kDefaults},
    // Hostile files are refused before TinyXML could over-read (a UTF-8 lead
    // byte at the end), overflow its stack (deep nesting) or take the memory.
    {"utf8_lead_byte_at_end", "<gunconf><WebsocketPort>9011</WebsocketPort> \xe0", kDefaults},
    {"deep_nesting", Repeat("<a>", 300000), kDefaults},
    {"huge", Full(std::string(2 << 20, ' ')), kDefaults},
    // Named, not written: no file, a directory (TinyXML threw bad_alloc), a
    // FIFO nobody writes, and the sample that ships.
    {"absent", "", kDefaults},
    {"directory", "", kDefaults},
    {"fifo", "", kDefaults},
    {"sample", "", "9010 2 115200 8 1 N +"},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class ConfReader : public ::testing::TestWithParam<Case> {};

TEST_P(ConfReader, TakesWhatTheFileSays) {
    char dir[] = "/tmp/conf_reader_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string name = GetParam().name, file = std::string(dir) + "/gunconf.xml";
    std::string path = name == "directory" ? dir : file;
    if (name == "sample") {
        path = TAVITTY_SOURCE_DIR "/conf/gunconf.xml";
    } else if (name == "fifo") {
        ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    } else if (name != "absent" && name != "directory") {
        std::ofstream(file, std::ios::binary) << GetParam().xml;
    }
    EXPECT_EQ(Take(path), GetParam().taken);
    std::remove(file.c_str());
    rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, ConfReader, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
