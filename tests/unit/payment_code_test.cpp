// Payment codes kept out of the log: the codes themselves, and the serial
// framing's hex dump, which holds a read back only while a scan in it may
// still turn out to be one.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "payment_code.h"
#include "serial_framing.h"

namespace {

TEST(PaymentCode, EighteenDigitsFrom10To15OrSixteenTo24From25To30) {
    const std::string same;  // not a code: as it is
    const struct {
        std::string scan, masked;
    } cases[] = {
        {"101234567890123456", "10**************56"},
        {"151234567890123456\r\n", "15**************56\r\n"},
        {"]Q1151234567890123456\r", "]Q115**************56\r"},
        {"091234567890123456", same},
        {"161234567890123456", same},
        {"15123456789012345", same},
        {"1512345678901234567", same},
        {"2512345678901234", "25************34"},
        {"301234567890123456789012", "30" + std::string(20, '*') + "12"},
        {"251234567890123", same},
        {"3012345678901234567890123", same},
        {"241234567890123456", same},
        {"311234567890123456", same},
        {"25123456789012345X", same},
        {"]1251234567890123456", same},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MaskedPaymentCode(c.scan), c.masked.empty() ? c.scan : c.masked) << c.scan;
    }
}

// What standard output shows while the framing is fed reads: a dump line as
// [its bytes], a scan handed on as <its bytes>, and | after each read; the
// framing is abandoned (the scanner went) after the last.
class DumpedReads {
  public:
    DumpedReads() { EXPECT_EQ(openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0); }
    ~DumpedReads() {
        close(m_master);
        close(m_slave);
    }

    // Each read's bytes, or "" for the quiet time passing.
    std::string Feed(const std::vector<std::string>& reads) {
        m_shown.clear();
        testing::internal::CaptureStdout();
        {
            SerialFraming framing(
                {m_slave, 8, 'N', 1}, true, false,
                [this](ScanBuffer& scan, bool) {
                    Show(testing::internal::GetCapturedStdout());
                    m_shown += "<" + std::string(scan.data(), scan.size()) + ">";
                    testing::internal::CaptureStdout();
                },
                [] { return true; });
            for (const std::string& read : reads) {
                if (!read.empty()) {
                    framing.Take(static_cast<ssize_t>(read.size()), read.data());
                }
                for (int i = 0; read.empty() && i < 10; ++i) {
                    if (framing.Take(0, nullptr) != SerialFraming::Step::kMore) {
                        break;  // the quiet time is over
                    }
                }
                Show(testing::internal::GetCapturedStdout());
                m_shown += "|";
                testing::internal::CaptureStdout();
            }
            framing.Abandon();
        }
        Show(testing::internal::GetCapturedStdout());
        return m_shown;
    }

  private:
    void Show(const std::string& out) {
        for (size_t at = 0; at < out.size();) {
            const size_t end = out.find('\n', at);
            std::string bytes;
            for (size_t hex = at; hex + 1 < end; hex += 5) {
                bytes += static_cast<char>(std::stoi(out.substr(hex, 2), nullptr, 16));
            }
            m_shown += "[" + bytes + "]";
            at = end + 1;
        }
    }

    int m_master = -1;
    int m_slave = -1;
    std::string m_shown;
};

TEST(SerialFraming, PaymentCodesAreDumpedMaskedAndOtherReadsAsTheyCome) {
    const struct {
        const char* what;
        std::vector<std::string> reads;
        std::string shown;
    } cases[] = {
        {"a code in one read",
         {"123456789012345678\r\n"},
         "[12**************78\r\n]<123456789012345678\r\n>|"},
        {"a code across reads, its AIM identifier first",
         {"]Q11234567", "89012345678", "\r\n"},
         "||[]Q112*****][*********78][\r\n]<]Q1123456789012345678\r\n>|"},
        {"24 digits from 25, ended by the quiet time",
         {"251234567890123456789012", ""},
         "|[25" + std::string(20, '*') + "12]<251234567890123456789012>|"},
        {"an EAN-13",
         {"4", "006381", "333931\r\n"},
         "[4]|[006381]|[333931\r\n]<4006381333931\r\n>|"},
        {"an EAN-13 that begins like a code, held to its end",
         {"1234567", "890128\r"},
         "|[1234567][890128\r]|<1234567890128\r>"},
        {"text", {"ABC-1", "2\r\n"}, "[ABC-1]|[2\r\n]<ABC-12\r\n>|"},
        {"18 digits from 16",
         {"1612345678", "90123456\r\n"},
         "[1612345678]|[90123456\r\n]<161234567890123456\r\n>|"},
        {"19 digits from 12",
         {"1234567890", "123456789", "\r\n"},
         "|[1234567890][123456789]|[\r\n]<1234567890123456789\r\n>|"},
        {"a code between two scans in one read",
         {"X\r\n123456789012345678\r\nY"},
         "[X\r\n12**************78\r\nY]<X\r\n><123456789012345678\r\n>|"},
        {"a code under way behind a scan",
         {"X\r\n1234567890", "12345678\r\n"},
         "<X\r\n>|[X\r\n12********][******78\r\n]<123456789012345678\r\n>|"},
        {"a code cut by the scanner's going", {"1234567890"}, "|[1234567890]"},
    };
    DumpedReads dumped;
    for (const auto& c : cases) {
        EXPECT_EQ(dumped.Feed(c.reads), c.shown) << c.what;
    }
}

}  // namespace
