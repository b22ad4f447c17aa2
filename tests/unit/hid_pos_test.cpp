// The scanner's report layout read from HID report descriptors, and barcodes
// taken out of input reports by it (the system tests see a typical scanner's
// one report, a barcode over three, and a keyboard's descriptor).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "hid_pos_layout.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Report = HidPosLayout::Report;
using Control = HidPosLayout::Control;

Bytes Hex(const std::string& hex) {
    Bytes bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += hex[at] == ' ' ? 1 : 2) {
        if (hex[at] != ' ') {
            bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(at, 2), nullptr, 16)));
        }
    }
    return bytes;
}

// A scanner that numbers its reports: a 3-byte trigger report (id 4: a
// vendor's usage page, two bytes; an output report beside it) and a 64-byte
// scanned data report (id 2): a byte count (Generic Desktop 0x3B), three
// symbology bytes, 56 bytes of Decoded Data (Buffered Bytes), a vendor's
// symbology byte, a reserved byte, the Decode Data Continued bit (a usage
// with its page, 0x008C00FF) and 7 bits of padding.
const Bytes kScanner =
    Hex("058c 0902 a101 8504 0600ff 0901 7508 9502 8102 0902 9508 9102"
        "058c 0912 a102 8502 1500 26ff00 9501 0501 093b 8102"
        "058c 09fb 09fc 09fd 9503 8102 09fe 9538 820201 0666ff 0901 9501 8102 8103"
        "0bff008c00 7501 8102 7507 8103 c0 c0");

// A scanner with one unnumbered 33-byte report and no byte count: Usage
// Minimum 0xFB to Maximum 0xFE over 32 bytes (3 symbology bytes, and 29 of
// data as the last usage repeats), the continued bit and padding.
const Bytes kUnnumbered =
    Hex("058c 0902 a101 0912 a102 7508 9520 19fb 29fe 8102"
        "09ff 7501 9501 8102 7507 8103 c0 c0");

// A magnetic stripe reader (page 0x8E), with a Decoded Data field of the
// scanner page outside any scanner, in a logical collection of that page.
const Bytes kStripeReader =
    Hex("058e 0901 a101 8501 7508 9510 0b12008c00 a102 0bfe008c00 820201 c0 c0");

Bytes Numbered(uint8_t byte_count, const std::string& text, bool more) {
    Bytes report(64, 0);
    report[0] = 2;
    report[1] = byte_count;
    report[2] = ']', report[3] = 'E', report[4] = '0';
    std::copy(text.begin(), text.end(), report.begin() + 5);
    report[61] = report[62] = 0x55;
    report[63] = more ? 0x81 : 0x80;  // bit 7 is padding
    return report;
}

Bytes Unnumbered(const std::string& text, bool more) {
    Bytes report(33, 0);
    report[0] = ']', report[1] = 'Q', report[2] = '1';
    std::copy(text.begin(), text.end(), report.begin() + 3);
    report[32] = more ? 0x01 : 0xFE;
    return report;
}

// Beeps declared as padding, as an array, outside the scanner's collection,
// or in a vendor's output report: none the host can write.
const Bytes kNoControls =
    Hex("058c 0902 a101 0912 a102 8502 7508 9538 09fe 820201 c0"
        "8504 7501 9501 0986 9103 0985 9100 c0"
        "0601ff 0901 a101 8505 058c 0987 7501 9501 9102 c0");

// Which reports a descriptor's scanner sends, and how long each is; and no
// output report for a beep where no usable flag is declared for it (a
// scanner's report 4 of eight one-bit flags, as the system tests' beeping
// scanner declares it, is written there).
TEST(HidPos, DescriptorsGiveTheScannersReportSizes) {
    Bytes truncated(kScanner.begin(), kScanner.end() - 3);  // ends inside an Input item
    const auto OneField = [](const std::string& items) {
        return Hex("058c 0902 a101 09fe " + items + " c0");
    };
    const struct {
        const char* name;
        Bytes descriptor;
        bool scanner;
        std::vector<std::pair<uint8_t, size_t>> sizes;  // first byte, report size
    } cases[] = {
        {"numbered", kScanner, true, {{2, 64}, {4, 3}, {3, 0}, {0, 0}}},
        {"unnumbered", kUnnumbered, true, {{0, 33}, {']', 33}}},
        {"stripe reader", kStripeReader, false, {{1, 0}}},
        {"no usable beeps", kNoControls, true, {{2, 57}}},
        {"truncated", truncated, false, {{2, 0}, {4, 0}}},
        // One field of Decoded Data in a scanner's collection.
        {"16 KiB less a byte", OneField("7508 96ff3f 820201"), true, {{0, 16383}}},
        {"16 KiB", OneField("7508 960040 820201"), false, {{0, 0}}},
        {"size times count past 32 bits", OneField("7708000000 9701000020 8102"), false, {{0, 0}}},
    };
    for (const auto& c : cases) {
        HidPosLayout layout;
        EXPECT_EQ(layout.Parse(c.descriptor.data(), c.descriptor.size()), c.scanner) << c.name;
        for (const auto& [first_byte, size] : c.sizes) {
            EXPECT_EQ(layout.InputReportSize(first_byte), size) << c.name << " " << int{first_byte};
        }
        for (const Control control :
             {Control::kGoodReadBeep, Control::kErrorBeep, Control::kNotOnFileBeep}) {
            EXPECT_FALSE(layout.Has(control)) << c.name;
            EXPECT_EQ(layout.OutputReport(control, false), "") << c.name;
        }
    }
}

// An output report whose flags lie past two bytes of padding: Prevent Read at
// bit 16, then the error, good-read and not-on-file beeps.
TEST(HidPos, OutputReportsSetTheFlagsWhereTheyLie) {
    const Bytes descriptor =
        Hex("058c 0902 a101 0912 a102 7508 9520 19fb 29fe 8102 c0"
            "7501 9510 9103 9504 095f 0985 0986 0987 9102 9504 9103 c0");
    HidPosLayout layout;
    ASSERT_TRUE(layout.Parse(descriptor.data(), descriptor.size()));
    const struct {
        Control control;
        bool prevent;
        std::string report;
    } cases[] = {
        {Control::kErrorBeep, false, std::string("\0\0\x02", 3)},
        {Control::kNotOnFileBeep, true, std::string("\0\0\x09", 3)},
        {Control::kPreventRead, true, std::string("\0\0\x01", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(layout.OutputReport(c.control, c.prevent), c.report) << int(c.control);
    }
}

// Each report's kind, whether it was short (read as zero-padded), and its
// symbology identifier.
using Result = std::tuple<Report, bool, std::string>;

TEST(HidPos, ReportsGiveTheWholeBarcodeAndItsSymbology) {
    const std::string b56(56, 'b');
    Bytes unprintable = Numbered(1, "Y", false);
    unprintable[3] = 0;
    const struct {
        const char* name;
        const Bytes& descriptor;
        std::vector<Bytes> reports;
        std::vector<Result> results;
        std::string data;
    } cases[] = {
        {"byte count before stale bytes, then past the field",
         kScanner,
         {Numbered(3, "end stale", true), Numbered(200, b56, false)},
         {{Report::kMore, false, "]E0"}, {Report::kLast, false, "]E0"}},
         "end" + b56},
        {"a trigger report, a short one, and a symbology not printable",
         kScanner,
         {{4, 1, 0}, Bytes{2, 2, ']', 'e', '1', 'O', 'K'}, unprintable},
         {{Report::kOther, false, ""}, {Report::kLast, true, "]e1"}, {Report::kLast, false, ""}},
         "OKY"},
        {"no byte count",
         kUnnumbered,
         {Unnumbered(std::string("A\0B", 3), true), Unnumbered("CD", false)},
         {{Report::kMore, false, "]Q1"}, {Report::kLast, false, "]Q1"}},
         std::string("A\0BCD", 5)},
    };
    for (const auto& c : cases) {
        HidPosLayout layout;
        ASSERT_TRUE(layout.Parse(c.descriptor.data(), c.descriptor.size())) << c.name;
        std::string data;
        for (size_t i = 0; i < c.reports.size(); ++i) {
            const HidPosLayout::Decoded got =
                layout.Decode(c.reports[i].data(), c.reports[i].size(), data);
            EXPECT_EQ(std::make_tuple(got.report, got.padded, got.symbology), c.results[i])
                << c.name << " report " << i;
        }
        EXPECT_EQ(data, c.data) << c.name;
    }
}

}  // namespace
