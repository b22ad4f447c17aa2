// Payment codes kept out of the log: the codes themselves, and the serial
// framing's hex dump, which holds a read back only while a scan in it may
// still turn out to be one.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "hex_dump.h"
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

// What standard output shows while the framing is fed reads ("" for the
// quiet time passing): a dump line as [its bytes], a scan handed on as <its
// bytes>, and | after each read; the framing is abandoned (the scanner went)
// after the last.
std::string Dumped(const std::vector<std::string>& reads) {
    testing::internal::CaptureStdout();
    {
        SerialFraming framing(
            {}, true, false,  // no line: the quiet time passes on the clock alone
            [](ScanBuffer& scan, bool) {
                std::fputs("<", stdout);
                PrintHexChunk(scan.data(), scan.size(), false);
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
            std::puts("|");
        }
        framing.Abandon();
    }
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::string shown;
    for (std::string line; std::getline(out, line);) {
        const bool scan = line[0] == '<';
        std::string bytes;
        for (size_t hex = scan ? 1 : 0; hex + 1 < line.size(); hex += 5) {
            bytes += static_cast<char>(std::stoi(line.substr(hex, 2), nullptr, 16));
        }
        shown += line == "|" ? line : (scan ? "<" : "[") + bytes + (scan ? ">" : "]");
    }
    return shown;
}

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
    for (const auto& c : cases) {
        EXPECT_EQ(Dumped(c.reads), c.shown) << c.what;
    }
}

}  // namespace
