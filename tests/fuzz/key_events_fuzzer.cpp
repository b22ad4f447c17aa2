// A keyboard-mode scanner's input events typed out by the keyboard source
// itself, as one of a few layouts: presses, releases, autorepeats and odd
// values of any key, reports, lost events (SYN_DROPPED), events of other
// types, and quiet gaps that end a scan. Every delivered text is valid UTF-8
// of 1 to 2048 bytes without a NUL; once events were lost, nothing is
// delivered until the scan they cut has ended (its Enter, or a quiet gap).
#include <linux/input.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "key_text.h"
#include "keyboard_source.h"
#include "scan_buffer.h"
#include "utf8.h"

namespace {

const char* const kLayouts[] = {"us", "de", "fr", "de(nodeadkeys)"};
constexpr size_t kLayoutCount = sizeof kLayouts / sizeof kLayouts[0];

// Compiling a keymap and the Compose table takes tens of milliseconds: each
// layout is made once, and its state reset at the start of every input.
std::unique_ptr<KeyText> g_keys[kLayoutCount];

tag_dev_online_node Node(bool aim_prefix) {
    tag_dev_online_node node{};
    node.devname = "/dev/input/event0";
    node.kind = ScannerKind::kKeyboard;
    node.aim_prefix = aim_prefix;
    return node;
}

// Scans with their symbology, as when every scanner is served at once.
SourceSettings Settings(bool symbology) {
    SourceSettings settings;
    settings.symbology = symbology;
    return settings;
}

}  // namespace

struct KeyEventsHarness {
    KeyEventsHarness(std::unique_ptr<KeyText>& keys, bool aim_prefix)
        : source(Node(aim_prefix), Settings(aim_prefix),
                 {[this](Scan scan) { Check(scan); }, {}, {}, {}}),
          lent(keys) {
        source.m_keys = std::move(keys);
        source.m_keys->Reset();
    }
    ~KeyEventsHarness() { lent = std::move(source.m_keys); }

    void Take(uint16_t type, uint16_t code, int32_t value) {
        bool ends = false;
        if (type == EV_SYN && code == SYN_DROPPED) {
            cut = true;
            resync = true;
        } else if (resync) {
            // What comes up to the next report is partial, an Enter too.
            resync = !(type == EV_SYN && code == SYN_REPORT);
        } else {
            ends = type == EV_KEY && (code == KEY_ENTER || code == KEY_KPENTER) &&
                   (value == 1 || value == 2);
        }
        source.Take(type, code, value);
        cut = cut && !ends;
    }

    // The read loop saw no key for the quiet time.
    void QuietGap() {
        source.EndScan();
        cut = false;
    }

    void Check(const Scan& scan) const {
        if (cut || scan.text.empty() || scan.text.size() > ScanBuffer::kCapacity ||
            scan.text.find('\0') != std::string::npos ||
            !IsUtf8(scan.text.data(), scan.text.size())) {
            std::abort();
        }
    }

    KeyboardSource source;
    std::unique_ptr<KeyText>& lent;
    bool cut = false;     // events were lost in the scan under way
    bool resync = false;  // and the report they were lost in is not over
};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (size_t i = 0; i < kLayoutCount; ++i) {
        g_keys[i] = std::make_unique<KeyText>(kLayouts[i]);
        if (!g_keys[i]->valid()) {
            std::fprintf(stderr, "no XKB layout \"%s\" (xkb-data)\n", kLayouts[i]);
            std::abort();
        }
    }
    return 0;
}

// Input: a byte whose bits 0-1 pick the layout and bit 2 says the scanner
// sends AIM prefixes, then events of four bytes: a selector s, a code (two
// bytes, little-endian) and a value byte v. By s % 8: 0-2 a key event of a
// key code up to KEY_MAX, value v % 5 - 1 (-1 to 3); 3 a key event of any
// code and value v as signed; 4 SYN_REPORT; 5 SYN_DROPPED; 6 a quiet gap; 7 an
// event of type v % 32, value 1.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    KeyEventsHarness harness(g_keys[data[0] % kLayoutCount], (data[0] & 0x04) != 0);
    for (size_t at = 1; size - at >= 4; at += 4) {
        const uint8_t selector = data[at] % 8;
        const uint16_t code = static_cast<uint16_t>(data[at + 1] | data[at + 2] << 8);
        const uint8_t value = data[at + 3];
        switch (selector) {
            case 4:
                harness.Take(EV_SYN, SYN_REPORT, 0);
                break;
            case 5:
                harness.Take(EV_SYN, SYN_DROPPED, 0);
                break;
            case 6:
                harness.QuietGap();
                break;
            case 7:
                harness.Take(value % 32, code, 1);
                break;
            case 3:
                harness.Take(EV_KEY, code, static_cast<int8_t>(value));
                break;
            default:
                harness.Take(EV_KEY, code % (KEY_MAX + 1), value % 5 - 1);
                break;
        }
    }
    harness.QuietGap();  // the scanner goes quiet at the end
    return 0;
}
