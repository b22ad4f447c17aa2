// The HID report descriptor walked item by item: the global state, the
// usages of each main item and the collections around it place every input
// field; a barcode scanner's Decoded Data, Byte Count and Decode Data
// Continued are the fields kept.
#include "hid_pos_layout.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t kScannerPage = 0x8C;
constexpr uint32_t kDecodedData = 0x8C00FE;
constexpr uint32_t kContinued = 0x8C00FF;
constexpr uint32_t kByteCount = 0x01003B;             // Generic Desktop
constexpr uint32_t kSymbologyIdentifier1 = 0x8C00FB;  // then 2 and 3
// The output controls, in HidPosLayout::Control's order.
constexpr uint32_t kControlUsages[HidPosLayout::kControls] = {0x8C0086, 0x8C0085, 0x8C0087,
                                                              0x8C005F};

// The longest report hidraw delivers is 16 KiB with its id byte.
constexpr uint64_t kMaxReportBits = 8 * (16384 - 1);
// Bounds on what a descriptor makes the parser keep.
constexpr size_t kMaxUsages = 1024;  // per main item
constexpr size_t kMaxPushes = 16;
constexpr size_t kMaxCollections = 64;

constexpr uint8_t kLongItem = 0xFE;
enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag { kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kEndCollection = 0xC };
enum GlobalTag { kUsagePage = 0x0, kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9 };
enum GlobalStackTag { kPush = 0xA, kPop = 0xB };
enum LocalTag { kUsage = 0x0, kUsageMinimum = 0x1, kUsageMaximum = 0x2 };
constexpr uint32_t kConstant = 1 << 0;  // Input and Output item data: padding
constexpr uint32_t kVariable = 1 << 1;  // one usage per field (not an array)
constexpr uint32_t kApplication = 1;    // Collection item data

struct Globals {
    uint32_t usage_page = 0;
    uint32_t report_size = 0;  // bits per field
    uint32_t report_count = 0;
    uint32_t report_id = 0;
};

// One Usage, or the run from Usage Minimum to Usage Maximum; page in the high
// 16 bits.
struct UsageRange {
    uint32_t first;
    uint32_t last;
};

// Which of a main item's `count` fields carry `usage`: the first of them and
// how many (the last usage repeats to the last field). False when none does.
bool FieldsOf(const std::vector<UsageRange>& usages, uint32_t count, uint32_t usage,
              uint32_t& first, uint32_t& fields) {
    uint64_t index = 0;
    for (size_t i = 0; i < usages.size() && index < count; ++i) {
        const UsageRange& range = usages[i];
        if (usage >= range.first && usage <= range.last) {
            if (index + (usage - range.first) >= count) {
                return false;
            }
            first = static_cast<uint32_t>(index + (usage - range.first));
            const bool repeats = i + 1 == usages.size() && usage == range.last;
            fields = repeats ? count - first : 1;
            return true;
        }
        index += uint64_t{range.last} - range.first + 1;
    }
    return false;
}

// Sets a field of at most 32 bits in a report's body to 1, or to 0.
void Assert(uint8_t* body, uint32_t offset, uint32_t bits, bool asserted) {
    for (uint32_t i = 0; i < bits; ++i) {
        const uint32_t bit = offset + i;
        const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        body[bit / 8] = static_cast<uint8_t>((i == 0 && asserted) ? body[bit / 8] | mask
                                                                  : body[bit / 8] & ~mask);
    }
}

// The unsigned value of a field of at most 32 bits in a report's body.
uint32_t Value(const uint8_t* body, uint32_t offset, uint32_t bits) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < bits; ++i) {
        const uint32_t bit = offset + i;
        value |= static_cast<uint32_t>((body[bit / 8] >> (bit % 8)) & 1) << i;
    }
    return value;
}

}  // namespace

bool HidPosLayout::Parse(const uint8_t* descriptor, size_t size) {
    *this = HidPosLayout();
    if (descriptor != nullptr && ParseItems(descriptor, size) &&
        std::any_of(m_inputs.begin(), m_inputs.end(),
                    [](const InputReport& input) { return input.data.bits != 0; })) {
        return true;
    }
    *this = HidPosLayout();
    return false;
}

bool HidPosLayout::ParseItems(const uint8_t* d, size_t size) {
    Globals global;
    std::array<Globals, kMaxPushes> pushed;
    size_t pushes = 0;
    std::vector<UsageRange> usages;  // the locals, cleared by each main item
    uint32_t usage_minimum = 0;
    bool have_minimum = false;
    // For each open collection: it lies in a barcode scanner's application
    // collection (or is one).
    std::array<bool, kMaxCollections> in_scanner{};
    size_t depth = 0;
    // Adds a usage or a run of them; false past the bound.
    auto keep = [&usages](uint32_t first, uint32_t last) {
        if (usages.size() == kMaxUsages) {
            return false;
        }
        if (first <= last) {
            usages.push_back({first, last});
        }
        return true;
    };

    size_t pos = 0;
    while (pos < size) {
        const uint8_t prefix = d[pos];
        if (prefix == kLongItem) {  // data size, tag, data: nothing used here
            if (size - pos < 3 || size - pos - 3 < d[pos + 1]) {
                return false;
            }
            pos += 3 + d[pos + 1];
            continue;
        }
        const size_t length = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (size - pos - 1 < length) {
            return false;
        }
        uint32_t data = 0;
        for (size_t i = 0; i < length; ++i) {
            data |= static_cast<uint32_t>(d[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + length;
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        // A Usage of four bytes names its own page.
        const uint32_t usage = length == 4 ? data : (global.usage_page << 16) | (data & 0xFFFF);

        if (type == kGlobal) {
            switch (tag) {
                case kUsagePage:
                    global.usage_page = data & 0xFFFF;
                    break;
                case kReportSize:
                    global.report_size = data;
                    break;
                case kReportId:
                    if (data == 0 || data > 0xFF) {
                        return false;
                    }
                    global.report_id = data;
                    m_numbered = true;
                    break;
                case kReportCount:
                    global.report_count = data;
                    break;
                case kPush:
                    if (pushes == kMaxPushes) {
                        return false;
                    }
                    pushed[pushes++] = global;
                    break;
                case kPop:
                    if (pushes == 0) {
                        return false;
                    }
                    global = pushed[--pushes];
                    break;
            }
        } else if (type == kLocal) {
            if (tag == kUsage && !keep(usage, usage)) {
                return false;
            }
            if (tag == kUsageMinimum) {
                usage_minimum = usage;
                have_minimum = true;
            }
            if (tag == kUsageMaximum && have_minimum) {
                have_minimum = false;
                if (!keep(usage_minimum, usage)) {
                    return false;
                }
            }
        } else if (type == kMain) {
            const bool scanner_fields = depth > 0 && in_scanner[depth - 1];
            if (tag == kCollection) {
                if (depth == kMaxCollections) {
                    return false;
                }
                const uint32_t collection_usage = usages.empty() ? 0 : usages[0].first;
                in_scanner[depth++] = scanner_fields || (data == kApplication &&
                                                         collection_usage >> 16 == kScannerPage);
            } else if (tag == kEndCollection) {
                if (depth == 0) {
                    return false;
                }
                --depth;
            } else if (tag == kInput) {
                InputReport& input = m_inputs[global.report_id];
                const uint64_t bits = uint64_t{global.report_size} * global.report_count;
                if (input.bits + bits > kMaxReportBits) {
                    return false;
                }
                if (scanner_fields && (data & kConstant) == 0 && (data & kVariable) != 0) {
                    // Each field's offset and length fits in 32 bits: the
                    // report's do.
                    uint32_t first = 0;
                    uint32_t fields = 0;
                    const uint32_t field_size = global.report_size;
                    if (field_size % 8 == 0 &&
                        FieldsOf(usages, global.report_count, kDecodedData, first, fields)) {
                        const uint32_t offset = input.bits + first * field_size;
                        const uint32_t length = fields * field_size;
                        if (input.data.bits == 0 && offset % 8 == 0) {
                            input.data = {offset, length};
                        } else if (input.data.bits != 0 &&
                                   offset == input.data.offset + input.data.bits) {
                            input.data.bits += length;  // declared in two items
                        }
                    }
                    if (field_size <= 32 && input.byte_count.bits == 0 &&
                        FieldsOf(usages, global.report_count, kByteCount, first, fields)) {
                        input.byte_count = {input.bits + first * field_size, field_size};
                    }
                    for (uint32_t i = 0; i < 3 && field_size == 8; ++i) {
                        if (input.symbology[i].bits == 0 &&
                            FieldsOf(usages, global.report_count, kSymbologyIdentifier1 + i, first,
                                     fields)) {
                            input.symbology[i] = {input.bits + first * field_size, field_size};
                        }
                    }
                    if (field_size <= 32 && input.continued.bits == 0 &&
                        FieldsOf(usages, global.report_count, kContinued, first, fields)) {
                        input.continued = {input.bits + first * field_size, field_size};
                    }
                }
                input.declared = true;
                input.bits += static_cast<uint32_t>(bits);
            } else if (tag == kOutput) {
                OutputFields& output = m_outputs[global.report_id];
                const uint64_t bits = uint64_t{global.report_size} * global.report_count;
                if (output.bits + bits > kMaxReportBits) {
                    return false;
                }
                const uint32_t field_size = global.report_size;
                for (int control = 0; control < kControls; ++control) {
                    uint32_t first = 0;
                    uint32_t fields = 0;
                    Field& field = output.controls[control];
                    if (scanner_fields && (data & kConstant) == 0 && (data & kVariable) != 0 &&
                        field_size != 0 && field_size <= 32 && field.bits == 0 &&
                        FieldsOf(usages, global.report_count, kControlUsages[control], first,
                                 fields)) {
                        field = {output.bits + first * field_size, field_size};
                    }
                }
                output.declared = true;
                output.bits += static_cast<uint32_t>(bits);
            }
            usages.clear();
            have_minimum = false;
        }
    }
    return true;
}

size_t HidPosLayout::InputReportSize(uint8_t first_byte) const {
    const InputReport& input = InputFor(first_byte);
    if ((m_numbered && first_byte == 0) || !input.declared) {
        return 0;
    }
    return (input.bits + 7) / 8 + (m_numbered ? 1 : 0);
}

HidPosLayout::Decoded HidPosLayout::Decode(const uint8_t* report, size_t size,
                                           std::string& data) const {
    Decoded decoded;
    if (report == nullptr || size == 0) {
        return decoded;
    }
    const size_t expected = InputReportSize(report[0]);
    const InputReport& input = InputFor(report[0]);
    if (expected == 0 || input.data.bits == 0) {
        return decoded;
    }
    std::string padded;
    if (size < expected) {
        padded.assign(reinterpret_cast<const char*>(report), size);
        padded.resize(expected, '\0');
        report = reinterpret_cast<const uint8_t*>(padded.data());
        decoded.padded = true;
    }
    const uint8_t* body = report + (m_numbered ? 1 : 0);
    const uint8_t* bytes = body + input.data.offset / 8;
    size_t valid = input.data.bits / 8;
    if (input.byte_count.bits != 0) {
        valid =
            std::min<size_t>(valid, Value(body, input.byte_count.offset, input.byte_count.bits));
    } else {
        while (valid > 0 && bytes[valid - 1] == 0) {  // the field's zero padding
            --valid;
        }
    }
    data.append(reinterpret_cast<const char*>(bytes), valid);
    for (const Field& field : input.symbology) {
        const uint32_t byte = field.bits != 0 ? Value(body, field.offset, field.bits) : 0;
        if (byte < 0x21 || byte > 0x7e) {
            decoded.symbology.clear();
            break;
        }
        decoded.symbology += static_cast<char>(byte);
    }
    const bool more =
        input.continued.bits != 0 && Value(body, input.continued.offset, input.continued.bits) != 0;
    decoded.report = more ? Report::kMore : Report::kLast;
    return decoded;
}

bool HidPosLayout::Has(Control control) const {
    return !OutputReport(control, false).empty();
}

std::string HidPosLayout::OutputReport(Control control, bool prevent, bool asserted) const {
    for (size_t id = 0; id < m_outputs.size(); ++id) {
        const OutputFields& output = m_outputs[id];
        const Field& field = output.controls[static_cast<int>(control)];
        if (field.bits == 0 || (m_numbered && id == 0)) {
            continue;
        }
        std::string report((output.bits + 7) / 8 + (m_numbered ? 1 : 0), '\0');
        uint8_t* body = reinterpret_cast<uint8_t*>(&report[0]) + (m_numbered ? 1 : 0);
        if (m_numbered) {
            report[0] = static_cast<char>(id);
        }
        const Field& prevent_field = output.controls[static_cast<int>(Control::kPreventRead)];
        if (control != Control::kPreventRead) {
            Assert(body, field.offset, field.bits, asserted);
        }
        if (prevent_field.bits != 0) {
            Assert(body, prevent_field.offset, prevent_field.bits, prevent);
        }
        return report;
    }
    return std::string();
}
