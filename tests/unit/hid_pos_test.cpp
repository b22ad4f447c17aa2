// The scanner's report layout read from HID report descriptors, and barcodes
// taken out of input reports by it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hid_pos.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Report = HidPosLayout::Report;

// A scanner that numbers its reports: a 3-byte trigger report (id 4) and a
// 64-byte scanned data report (id 2): id, byte count, 3 symbology bytes, 56
// bytes of data, a further symbology byte, a reserved byte, the continued bit.
const Bytes kScanner = {
    0x05, 0x8C,                    // Usage Page (Bar Code Scanner)
    0x09, 0x02,                    // Usage (Bar Code Scanner)
    0xA1, 0x01,                    // Collection (Application)
    0x85, 0x04,                    //   Report ID (4)
    0x06, 0x00, 0xFF, 0x09, 0x01,  //   Usage Page (vendor), Usage (trigger)
    0x75, 0x08, 0x95, 0x02,        //   Report Size (8), Report Count (2)
    0x81, 0x02,                    //   Input (Data, Var, Abs)
    0x09, 0x02, 0x95, 0x08,        //   Usage (settings), Report Count (8)
    0x91, 0x02,                    //   Output (Data, Var, Abs)
    0x05, 0x8C, 0x09, 0x12,        //   Usage Page (Bar Code Scanner), Usage (Scanned Data Report)
    0xA1, 0x02,                    //   Collection (Logical)
    0x85, 0x02,                    //     Report ID (2)
    0x15, 0x00, 0x26, 0xFF, 0x00,  //     Logical Minimum (0), Logical Maximum (255)
    0x95, 0x01,                    //     Report Count (1)
    0x05, 0x01, 0x09, 0x3B,        //     Usage Page (Generic Desktop), Usage (Byte Count)
    0x81, 0x02,                    //     Input (Data, Var, Abs)
    0x05, 0x8C,                    //     Usage Page (Bar Code Scanner)
    0x09, 0xFB, 0x09, 0xFC, 0x09, 0xFD,  // Usage (Symbology Identifier 1, 2, 3)
    0x95, 0x03, 0x81, 0x02,              // Report Count (3), Input (Data, Var, Abs)
    0x09, 0xFE, 0x95, 0x38,              // Usage (Decoded Data), Report Count (56)
    0x82, 0x02, 0x01,                    // Input (Data, Var, Abs, Buffered Bytes)
    0x06, 0x66, 0xFF, 0x09, 0x01,        // Usage Page (vendor), Usage (symbology)
    0x95, 0x01, 0x81, 0x02,              // Report Count (1), Input (Data, Var, Abs)
    0x81, 0x03,                          // Input (Const, Var, Abs): reserved
    0x0B, 0xFF, 0x00, 0x8C, 0x00,        // Usage (Bar Code Scanner: Decode Data Continued)
    0x75, 0x01, 0x81, 0x02,              // Report Size (1), Input (Data, Var, Abs)
    0x75, 0x07, 0x81, 0x03,              // Report Size (7), Input (Const): padding
    0xC0,                                //   End Collection
    0xC0,                                // End Collection
};

// A scanner with one unnumbered 33-byte report and no byte count: 3 symbology
// bytes and 29 of data in one item (the last usage repeats), the continued bit.
const Bytes kUnnumbered = {
    0x05, 0x8C, 0x09, 0x02, 0xA1, 0x01,  // Usage Page, Usage (Bar Code Scanner), Collection (App)
    0x09, 0x12, 0xA1, 0x02,              //   Usage (Scanned Data Report), Collection (Logical)
    0x75, 0x08, 0x95, 0x20,              //     Report Size (8), Report Count (32)
    0x19, 0xFB, 0x29, 0xFE,  //     Usage Minimum (Symbology Identifier 1), Maximum (Decoded Data)
    0x81, 0x02,              //     Input (Data, Var, Abs)
    0x09, 0xFF, 0x75, 0x01, 0x95, 0x01,  // Usage (Decode Data Continued), Size (1), Count (1)
    0x81, 0x02,                          // Input (Data, Var, Abs)
    0x75, 0x07, 0x81, 0x03,              // Report Size (7), Input (Const): padding
    0xC0, 0xC0,                          // End Collection, End Collection
};

const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,  // Usage Page (Generic Desktop), Usage (Keyboard), App
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,  //   Usage Page (Keyboard), Usage Min/Max (modifiers)
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // 8 modifier bits
    0x95, 0x01, 0x75, 0x08, 0x81, 0x03,                          // reserved byte
    0x19, 0x00, 0x2A, 0xFF, 0x00, 0x26, 0xFF, 0x00,              // keys 0..255
    0x95, 0x06, 0x81, 0x00,                                      // Input (Data, Array): 6 keys
    0xC0,
};

// A magnetic stripe reader, with a Decoded Data field outside any scanner.
const Bytes kStripeReader = {
    0x05, 0x8E, 0x09, 0x01, 0xA1, 0x01,  // Usage Page (Magnetic Stripe Reader), Usage, App
    0x85, 0x01, 0x75, 0x08, 0x95, 0x10,  //   Report ID (1), Report Size (8), Report Count (16)
    0x0B, 0xFE, 0x00, 0x8C, 0x00,        //   Usage (Bar Code Scanner: Decoded Data)
    0x82, 0x02, 0x01,                    //   Input (Data, Var, Abs, Buffered Bytes)
    0xC0,
};

// `items` in a scanner's application collection.
Bytes InScanner(const Bytes& items) {
    Bytes descriptor = {0x05, 0x8C, 0x09, 0x02, 0xA1, 0x01};
    for (uint8_t item : items) {
        descriptor.push_back(item);
    }
    descriptor.push_back(0xC0);
    return descriptor;
}

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

TEST(HidPos, DescriptorsGiveTheScannersReportSizes) {
    Bytes truncated(kScanner.begin(), kScanner.end() - 3);  // ends inside an Input item
    const struct {
        const char* name;
        Bytes descriptor;
        bool scanner;
        std::vector<std::pair<uint8_t, size_t>> sizes;  // first byte, report size
    } cases[] = {
        {"numbered", kScanner, true, {{2, 64}, {4, 3}, {3, 0}, {0, 0}}},
        {"unnumbered", kUnnumbered, true, {{0, 33}, {']', 33}}},
        {"keyboard", kKeyboard, false, {{0, 0}}},
        {"stripe reader", kStripeReader, false, {{1, 0}}},
        {"truncated", truncated, false, {{2, 0}, {4, 0}}},
        {"report past 16 KiB",
         InScanner({0x09, 0xFE, 0x75, 0x08, 0x96, 0x00, 0x40, 0x82, 0x02, 0x01}),
         false,
         {{0, 0}}},
        {"size times count past 32 bits",
         InScanner({0x09, 0xFE, 0x77, 0x08, 0, 0, 0, 0x97, 1, 0, 0, 0x20, 0x81, 0x02}),
         false,
         {{0, 0}}},
    };
    for (const auto& c : cases) {
        HidPosLayout layout;
        EXPECT_EQ(layout.Parse(c.descriptor.data(), c.descriptor.size()), c.scanner) << c.name;
        for (const auto& [first_byte, size] : c.sizes) {
            EXPECT_EQ(layout.InputReportSize(first_byte), size) << c.name << " " << int{first_byte};
        }
    }
}

TEST(HidPos, ReportsGiveTheWholeBarcode) {
    const std::string a56(56, 'a'), b56(56, 'b');
    const struct {
        const char* name;
        const Bytes& descriptor;
        std::vector<Bytes> reports;
        std::vector<Report> results;
        std::string data;
    } cases[] = {
        {"one report",
         kScanner,
         {Numbered(10, "0123456789 stale", false)},
         {Report::kLast},
         "0123456789"},
        {"three reports",
         kScanner,
         {Numbered(56, a56, true), Numbered(56, b56, true), Numbered(3, "end", false)},
         {Report::kMore, Report::kMore, Report::kLast},
         a56 + b56 + "end"},
        {"byte count past the field", kScanner, {Numbered(200, b56, false)}, {Report::kLast}, b56},
        {"trigger and short reports",
         kScanner,
         {{4, 1, 0}, Bytes(63, 2), Numbered(1, "X", false)},
         {Report::kOther, Report::kOther, Report::kLast},
         "X"},
        {"no byte count",
         kUnnumbered,
         {Unnumbered(std::string("A\0B", 3), true), Unnumbered("CD", false)},
         {Report::kMore, Report::kLast},
         std::string("A\0BCD", 5)},
    };
    for (const auto& c : cases) {
        HidPosLayout layout;
        ASSERT_TRUE(layout.Parse(c.descriptor.data(), c.descriptor.size())) << c.name;
        std::string data;
        for (size_t i = 0; i < c.reports.size(); ++i) {
            EXPECT_EQ(layout.Decode(c.reports[i].data(), c.reports[i].size(), data), c.results[i])
                << c.name << " report " << i;
        }
        EXPECT_EQ(data, c.data) << c.name;
    }
}

// Damaged scanner descriptors and random bytes, then random reports: run under
// the address sanitizer, nothing is read out of bounds.
TEST(HidPos, AnyBytesAreSafe) {
    std::mt19937 random(7);
    for (int i = 0; i < 4000; ++i) {
        Bytes descriptor = i % 2 ? kScanner : Bytes(random() % 80);
        for (auto& byte : descriptor) {
            byte = i % 2 && random() % 64 ? byte : random();
        }
        if (random() % 4 == 0) {
            descriptor.resize(random() % (descriptor.size() + 1));
        }
        HidPosLayout layout;
        layout.Parse(descriptor.data(), descriptor.size());
        Bytes report(random() % 2 ? 64 : random() % 80);
        for (auto& byte : report) {
            byte = random();
        }
        if (!report.empty() && random() % 2) {
            report[0] = 2;
        }
        std::string data;
        const Report result = layout.Decode(report.data(), report.size(), data);
        EXPECT_LE(data.size(), report.size());
        EXPECT_TRUE(result != Report::kOther || data.empty());
        EXPECT_LE(layout.InputReportSize(report.empty() ? 0 : report[0]), 16384u);
    }
}

}  // namespace
