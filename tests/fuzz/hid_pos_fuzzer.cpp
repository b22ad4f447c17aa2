// A HID point-of-sale scanner's report descriptor and what its hidraw node
// then hands over: each read split into reports as the source's read loop
// splits it and taken by the source itself, and quiet gaps after which an
// unfinished barcode is dropped. Nothing may read or write past an array;
// every field the layout keeps lies inside its report, no report is longer
// than hidraw delivers, no report gives more data than its Decoded Data
// field holds; a delivered scan comes from at most 2048 bytes of barcode, its
// text is at most three bytes for each of them, and its symbology identifier
// is three printable characters or none.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "hid_pos_layout.h"
#include "hid_pos_source.h"
#include "scan_buffer.h"

namespace {

constexpr size_t kMaxRead = 16384;  // the read loop's buffer, hidraw's longest report

tag_dev_online_node Node(uint8_t flags) {
    tag_dev_online_node node{};
    node.devname = "/dev/hidraw0";
    node.kind = ScannerKind::kHidPos;
    node.aim_prefix = (flags & 0x08) != 0;
    return node;
}

SourceSettings Settings(uint8_t flags) {
    SourceSettings settings;
    settings.encoding = flags & 0x07;
    settings.log_scan_data = (flags & 0x10) != 0;
    settings.symbology = (flags & 0x20) != 0;
    return settings;
}

uint32_t Le16(const uint8_t* bytes) {
    return bytes[0] | uint32_t{bytes[1]} << 8;
}

}  // namespace

struct HidPosHarness {
    explicit HidPosHarness(uint8_t flags)
        : source(Node(flags), Settings(flags), {[this](Scan scan) { Check(scan); }, {}, {}, {}}) {}

    // A scanner's layout: each field inside its report, each report within
    // hidraw's bound.
    bool Parse(const uint8_t* descriptor, size_t size) {
        if (!source.m_layout.Parse(descriptor, size)) {
            return false;
        }
        for (const HidPosLayout::InputReport& input : source.m_layout.m_inputs) {
            const auto inside = [&input](const HidPosLayout::Field& field) {
                return uint64_t{field.offset} + field.bits <= input.bits;
            };
            if (!inside(input.data) || !inside(input.byte_count) || !inside(input.continued) ||
                !inside(input.symbology[0]) || !inside(input.symbology[1]) ||
                !inside(input.symbology[2]) || input.data.offset % 8 != 0 ||
                input.data.bits % 8 != 0) {
                std::abort();
            }
        }
        for (int first = 0; first < 256; ++first) {
            if (source.m_layout.InputReportSize(static_cast<uint8_t>(first)) > kMaxRead) {
                std::abort();
            }
        }
        // The output side: each control inside its report, and each report
        // written within hidraw's bound, asserting what it was asked to.
        for (const HidPosLayout::OutputFields& output : source.m_layout.m_outputs) {
            for (const HidPosLayout::Field& field : output.controls) {
                if (uint64_t{field.offset} + field.bits > output.bits) {
                    std::abort();
                }
            }
        }
        for (int control = 0; control < HidPosLayout::kControls; ++control) {
            for (const bool prevent : {false, true}) {
                const std::string report = source.m_layout.OutputReport(
                    static_cast<HidPosLayout::Control>(control), prevent);
                if (report.size() > kMaxRead ||
                    report.empty() ==
                        source.m_layout.Has(static_cast<HidPosLayout::Control>(control))) {
                    std::abort();
                }
            }
        }
        return true;
    }

    // One read, split as HidPosSource::ReadScans splits it.
    void Read(const uint8_t* bytes, size_t got) {
        for (size_t at = 0; at < got;) {
            const size_t size = source.m_layout.InputReportSize(bytes[at]);
            if (size == 0) {
                break;
            }
            const size_t length = std::min(size, got - at);
            Take(bytes + at, length);
            at += length;
        }
    }

    void Take(const uint8_t* report, size_t size) {
        std::string part;
        const HidPosLayout::Decoded decoded = source.m_layout.Decode(report, size, part);
        if (part.size() > source.m_layout.InputFor(report[0]).data.bits / 8) {
            std::abort();
        }
        // The barcode once this part is added: a part of another symbology
        // begins a new one.
        const bool begins = !source.m_under_way || decoded.symbology != source.m_symbology;
        barcode_bytes = (begins ? 0 : source.m_barcode.size()) + part.size();
        source.Take(report, size);
    }

    // The read loop's wait for a barcode's next part ran out.
    void QuietGap() {
        if (source.m_under_way) {
            source.DropUnfinished("its last part never came");
        }
    }

    void Check(const Scan& scan) const {
        const std::string& symbology = scan.symbology;
        if (barcode_bytes == 0 || barcode_bytes > ScanBuffer::kCapacity ||
            scan.text.size() > 3 * barcode_bytes || (!symbology.empty() && symbology.size() != 3) ||
            std::any_of(symbology.begin(), symbology.end(),
                        [](char c) { return c < 0x20 || c > 0x7e; })) {
            std::abort();
        }
    }

    HidPosSource source;
    size_t barcode_bytes = 0;  // of the barcode the report under way completes
};

// Input: a flags byte (bits 0-2 the encoding selector, bit 3 the scanner
// sends AIM prefixes, bit 4 scans are logged, bit 5 scans go out with their
// symbology, as with every scanner served at once), the descriptor's length (two
// bytes, little-endian) and the descriptor, then reads: each a length (two
// bytes, little-endian; at most 16384 count) and that many bytes, or a length
// of 0 for a quiet gap.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    HidPosHarness harness(data[0]);
    const size_t descriptor_size = std::min<size_t>(Le16(data + 1), size - 3);
    {
        // Exactly as long as the descriptor, so that reading past it shows.
        const std::unique_ptr<uint8_t[]> descriptor(new uint8_t[descriptor_size]);
        std::memcpy(descriptor.get(), data + 3, descriptor_size);
        if (!harness.Parse(descriptor.get(), descriptor_size)) {
            return 0;
        }
    }
    size_t at = 3 + descriptor_size;
    while (size - at >= 2) {
        size_t len = std::min<size_t>(Le16(data + at), kMaxRead);
        at += 2;
        if (len == 0) {
            harness.QuietGap();
            continue;
        }
        len = std::min(len, size - at);
        if (len == 0) {
            break;
        }
        const std::unique_ptr<uint8_t[]> read(new uint8_t[len]);
        std::memcpy(read.get(), data + at, len);
        at += len;
        harness.Read(read.get(), len);
    }
    return 0;
}
