// The configuration reader against real files: defaults, the stop-at-first-missing
// rule, number conversion, and the summary line.
#include "conf_reader.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct Conf {
    std::string port;
    int encoding = -99;
    TtyAttr attr{};
    std::string printed;
};

class ConfReader : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/conf_reader_test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        path_ = dir_ + "/gunconf.xml";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }

    Conf Read(const char* path) {
        Conf conf;
        // Garbage in, so that a value the reader forgets to set shows.
        conf.port = "garbage";
        conf.attr = TtyAttr{-1, -1, -1, '?'};
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadConfFile(path, conf.port, conf.encoding, conf.attr), 0);
        std::fflush(stdout);
        conf.printed = testing::internal::GetCapturedStdout();
        return conf;
    }
    Conf ReadText(const std::string& xml) {
        std::ofstream(path_, std::ios::binary) << xml;
        return Read(path_.c_str());
    }

    std::string dir_;
    std::string path_;
};

// A complete file with the given inner texts.
std::string File(const std::string& port, const std::string& encode, const std::string& baud,
                 const std::string& databits, const std::string& stopbits,
                 const std::string& parity) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gunconf>\n"
           "  <WebsocketPort>" +
           port +
           "</WebsocketPort>\n"
           "  <Encode>" +
           encode +
           "</Encode>\n"
           "  <ttyAttr>\n"
           "    <baudrate>" +
           baud +
           "</baudrate>\n"
           "    <databits>" +
           databits +
           "</databits>\n"
           "    <stopbits>" +
           stopbits +
           "</stopbits>\n"
           "    <parity>" +
           parity +
           "</parity>\n"
           "  </ttyAttr>\n</gunconf>\n";
}

void ExpectDefaults(const Conf& c) {
    EXPECT_EQ(c.port, "9010");
    EXPECT_EQ(c.encoding, 2);
    EXPECT_EQ(c.attr.baudrate, 115200);
    EXPECT_EQ(c.attr.databits, 8);
    EXPECT_EQ(c.attr.stopbits, 1);
    EXPECT_EQ(c.attr.parity, 'N');
    EXPECT_EQ(c.printed, "");
}

TEST_F(ConfReader, UnusableFilesLeaveAllDefaultsSilently) {
    ExpectDefaults(Read((dir_ + "/absent.xml").c_str()));
    ExpectDefaults(Read(dir_.c_str()));  // a directory: used to throw bad_alloc
    const std::string fifo = dir_ + "/fifo.xml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ExpectDefaults(Read(fifo.c_str()));  // nobody writes it: must not block
    std::remove(fifo.c_str());
    ExpectDefaults(ReadText(""));
    ExpectDefaults(ReadText("<gunconf><WebsocketPort>9011</WebsocketPort>"));  // not closed
    ExpectDefaults(ReadText("<a><b></a></b>"));
    ExpectDefaults(ReadText("<?xml version=\"1.0\"?><!-- only a comment -->"));
}

TEST_F(ConfReader, ShippedSampleIsReadInFull) {
    const Conf c = Read(TAVITTY_SOURCE_DIR "/conf/gunconf.xml");
    EXPECT_EQ(c.printed, "port:9010 encode:2 rate:115200 databits:8 stopbits:1, parrity:N\n");
}

TEST_F(ConfReader, CompleteFileWithAnyRootNameAndOrder) {
    const Conf c = ReadText(
        "<?xml version=\"1.0\"?>\n<!-- before the root -->\n<Settings>\n"
        "  <Unknown>ignored</Unknown>\n"
        "  <ttyAttr><parity>E</parity><stopbits>2</stopbits>"
        "<databits>7</databits><baudrate>9600</baudrate></ttyAttr>\n"
        "  <Encode>4</Encode>\n"
        "  <WebsocketPort>9011</WebsocketPort>\n"
        "  <WebsocketPort>9012</WebsocketPort>\n"
        "</Settings>\n");
    EXPECT_EQ(c.port, "9011");
    EXPECT_EQ(c.encoding, 4);
    EXPECT_EQ(c.attr.baudrate, 9600);
    EXPECT_EQ(c.attr.databits, 7);
    EXPECT_EQ(c.attr.stopbits, 2);
    EXPECT_EQ(c.attr.parity, 'E');
    EXPECT_EQ(c.printed, "port:9011 encode:4 rate:9600 databits:7 stopbits:2, parrity:E\n");
}

// Reading stops at the first element it can't find; what came before keeps its
// file value, everything after keeps its default even when present.
struct MissingCase {
    const char* element;
    const char* port;
    int encoding;
    int baudrate, databits, stopbits;
    char parity;
};

void PrintTo(const MissingCase& m, std::ostream* os) {
    *os << "without " << m.element;
}

class ConfReaderMissing : public ConfReader, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(ConfReaderMissing, StopsAtFirstMissingElement) {
    const MissingCase& m = GetParam();
    std::string xml = File("9011", "1", "9600", "7", "2", "E");
    const std::string open = std::string("<") + m.element + ">";
    const std::string close = std::string("</") + m.element + ">";
    const size_t from = xml.find(open);
    const size_t to = xml.find(close, from) + close.size();
    ASSERT_NE(from, std::string::npos);
    xml.erase(from, to - from);

    const Conf c = ReadText(xml);
    EXPECT_EQ(c.port, m.port);
    EXPECT_EQ(c.encoding, m.encoding);
    EXPECT_EQ(c.attr.baudrate, m.baudrate);
    EXPECT_EQ(c.attr.databits, m.databits);
    EXPECT_EQ(c.attr.stopbits, m.stopbits);
    EXPECT_EQ(c.attr.parity, m.parity);
    EXPECT_EQ(c.printed, "");
}

INSTANTIATE_TEST_SUITE_P(EachElement, ConfReaderMissing,
                         ::testing::Values(MissingCase{"WebsocketPort", "9010", 2, 115200, 8, 1,
                                                       'N'},
                                           MissingCase{"Encode", "9011", 2, 115200, 8, 1, 'N'},
                                           MissingCase{"ttyAttr", "9011", 1, 115200, 8, 1, 'N'},
                                           MissingCase{"baudrate", "9011", 1, 115200, 8, 1, 'N'},
                                           MissingCase{"databits", "9011", 1, 9600, 8, 1, 'N'},
                                           MissingCase{"stopbits", "9011", 1, 9600, 7, 1, 'N'},
                                           MissingCase{"parity", "9011", 1, 9600, 7, 2, 'N'}),
                         [](const auto& info) { return std::string(info.param.element); });

TEST_F(ConfReader, EncodeKeepsZeroToSixAndFallsBackToTwo) {
    const struct {
        const char* text;
        int expected;
    } cases[] = {
        {"0", 0},          {"6", 6},
        {"7", 2},          {"-1", 2},
        {"4294967296", 0},  // low 32 bits of 2^32
        {"4294967299", 3}, {"abc", 0},
        {" 3 ", 3},        {"5x", 5},
        {"+4", 4},         {"99999999999999999999", 2},  // saturates, low bits all ones
    };
    for (const auto& k : cases) {
        const Conf c = ReadText(File("9010", k.text, "115200", "8", "1", "N"));
        EXPECT_EQ(c.encoding, k.expected) << "Encode text \"" << k.text << "\"";
    }
}

TEST_F(ConfReader, NumbersAreConvertedLikeStrtol) {
    const Conf c = ReadText(File("9010", "2", "  19200baud", "eight", "-1", "N"));
    EXPECT_EQ(c.attr.baudrate, 19200);
    EXPECT_EQ(c.attr.databits, 0);
    EXPECT_EQ(c.attr.stopbits, -1);
    EXPECT_EQ(c.printed, "port:9010 encode:2 rate:19200 databits:0 stopbits:-1, parrity:N\n");
}

TEST_F(ConfReader, ParityIsTheFirstCharacter) {
    EXPECT_EQ(ReadText(File("9010", "2", "115200", "8", "1", "Even")).attr.parity, 'E');
    const Conf c = ReadText(File("9010", "2", "115200", "8", "1", "none"));
    EXPECT_EQ(c.attr.parity, 'n');
    EXPECT_EQ(c.printed, "port:9010 encode:2 rate:115200 databits:8 stopbits:1, parrity:n\n");
}

TEST_F(ConfReader, PortTextIsCondensedButOtherwiseUnchanged) {
    EXPECT_EQ(ReadText(File("  9011  ", "2", "115200", "8", "1", "N")).port, "9011");
    EXPECT_EQ(ReadText(File("90 \t\n 11", "2", "115200", "8", "1", "N")).port, "90 11");
    EXPECT_EQ(ReadText(File("90&#49;1", "2", "115200", "8", "1", "N")).port, "9011");
    EXPECT_EQ(ReadText(File("port9", "2", "115200", "8", "1", "N")).port, "port9");
}

// An element that is there but has no text keeps its default, and the elements
// after it are still read; the summary needs all seven values from the file.
TEST_F(ConfReader, ElementWithoutTextKeepsDefaultAndReadingGoesOn) {
    const char* no_text[] = {"", "   ", "<!-- c -->4", "<x>4</x>"};
    for (const char* inner : no_text) {
        SCOPED_TRACE(std::string("Encode holds \"") + inner + "\"");
        const Conf c = ReadText(File("9011", inner, "9600", "7", "2", "O"));
        EXPECT_EQ(c.port, "9011");
        EXPECT_EQ(c.encoding, 2);
        EXPECT_EQ(c.attr.baudrate, 9600);
        EXPECT_EQ(c.attr.databits, 7);
        EXPECT_EQ(c.attr.stopbits, 2);
        EXPECT_EQ(c.attr.parity, 'O');
        EXPECT_EQ(c.printed, "");
    }
    const Conf port = ReadText(File("", "1", "9600", "7", "2", ""));
    EXPECT_EQ(port.port, "9010");
    EXPECT_EQ(port.encoding, 1);
    EXPECT_EQ(port.attr.parity, 'N');
    EXPECT_EQ(port.printed, "");
}

// The optional network restrictions: read whenever the file parses, whether
// or not the specified values stopped early, and never touching those values.
TEST_F(ConfReader, NetworkPolicyIsOptionalAndIndependentOfTheStopRule) {
    const std::string policy =
        "<BindAddress> 127.0.0.2 </BindAddress>"
        "<AllowedOrigins><Origin>https://pos.example.com</Origin><Origin> </Origin>"
        "<Other>x</Other><Origin>\n http://127.0.0.1:8080 \n</Origin></AllowedOrigins>";
    const std::string complete = File("9011", "1", "9600", "7", "2", "O");
    const std::string truncated = "<gunconf><WebsocketPort>9011</WebsocketPort></gunconf>";
    for (const std::string& base : {complete, truncated}) {
        std::string xml = base;
        xml.insert(xml.rfind("</gunconf>"), policy);
        std::ofstream(path_, std::ios::binary) << xml;
        std::string port;
        int encoding = 0;
        TtyAttr attr{};
        NetworkPolicy read;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadConfFile(path_.c_str(), port, encoding, attr, read), 0);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(port, "9011");
        EXPECT_EQ(printed.empty(), base == truncated);
        EXPECT_EQ(read.bind_address, "127.0.0.2");
        EXPECT_EQ(read.allowed_origins,
                  (std::vector<std::string>{"https://pos.example.com", "http://127.0.0.1:8080"}));
        EXPECT_FALSE(read.OriginAllowed("https://pos.example.com/"));
    }

    // Absent, or a file that doesn't parse: no restriction, whatever came before.
    NetworkPolicy stale{"10.0.0.1", {"https://a.example"}};
    std::string port;
    int encoding = 0;
    TtyAttr attr{};
    std::ofstream(path_, std::ios::binary) << complete;
    testing::internal::CaptureStdout();
    ReadConfFile(path_.c_str(), port, encoding, attr, stale);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stale.bind_address, "");
    EXPECT_TRUE(stale.allowed_origins.empty());
    EXPECT_TRUE(stale.OriginAllowed("https://anything.example"));
}

// Faults the fuzzer and the fault matrix found in files the reader must shrug
// off: each is refused (defaults, no summary) instead of crashing start-up.
TEST_F(ConfReader, HostileFilesLeaveDefaultsInsteadOfCrashing) {
    const std::string valid = File("9011", "1", "9600", "7", "2", "O");
    const struct {
        const char* fault;
        std::string xml;
    } files[] = {
        // TinyXML steps past the end of a text that stops inside a UTF-8
        // character (a heap over-read under ASan).
        {"utf8 lead byte at end of file", "<gunconf><WebsocketPort>9011</WebsocketPort> \xe0"},
        // TinyXML recurses once per level: 300 000 levels overflow the stack.
        {"nesting overflows the stack",
         [] {
             std::string deep;
             for (int i = 0; i < 300000; ++i)
                 deep += "<a>";
             return deep;
         }()},
        // Larger than any configuration could be: not even read.
        {"huge file",
         valid.substr(0, valid.size() - 11) + std::string(2 << 20, ' ') + "</gunconf>\n"},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.fault);
        const Conf c = ReadText(file.xml);
        EXPECT_EQ(c.port, "9010");
        EXPECT_EQ(c.encoding, 2);
        EXPECT_EQ(c.printed, "");
    }
    // Line ends are made LF before parsing, as TinyXML's own loader did, and a
    // few thousand elements are still fine.
    std::string crlf = valid;
    for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) {
        crlf.insert(at, "\r");
    }
    crlf.insert(
        crlf.rfind("</gunconf>"), std::string(2000, ' ') + [] {
            std::string many;
            for (int i = 0; i < 2000; ++i)
                many += "<x/>";
            return many;
        }());
    const Conf c = ReadText(crlf);
    EXPECT_EQ(c.port, "9011");
    EXPECT_EQ(c.attr.parity, 'O');
    EXPECT_NE(c.printed, "");
}

}  // namespace
