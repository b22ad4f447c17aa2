// A keyboard-mode scanner: its evdev key presses, typed out as its layout
// says, become one scan per Enter, or per 50 ms without a key.
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "key_text.h"
#include "quiet_time.h"
#include "ttyUSB.h"

bool CttyUSB::PrepareKeyboard(const tag_dev_online_node& node) {
    // While the daemon holds it, the scanner types into nothing else.
    if (ioctl(m_fd, EVIOCGRAB, 1) != 0) {
        std::fprintf(stderr, "cannot grab %s (%s): its keys reach the focused window too\n",
                     node.devname.c_str(), std::strerror(errno));
    }
    m_keys = std::make_unique<KeyText>(node.layout);
    if (!m_keys->valid()) {
        std::fprintf(stderr, "%s: no XKB layout \"%s\", typing it as \"us\"\n",
                     node.devname.c_str(), node.layout.c_str());
        m_keys = std::make_unique<KeyText>("us");
    }
    m_key_events.clear();
    return m_keys->valid();
}

void CttyUSB::ReadKeyScan() {
    std::string text;
    int unmapped = 0;
    auto last_key = std::chrono::steady_clock::now();
    bool resync = false;  // events are dropped up to the next report
    input_event events[64];
    for (;;) {
        if (m_stop != 0 || m_monitor_state < 0 || !m_connected) {
            return;  // abandoned
        }
        const ssize_t got = read(m_fd, events, sizeof events);
        if (got < 0 && errno == EAGAIN) {
            // Nothing more for now: a scan in progress waits for its Enter
            // for as long as keys keep coming.
            if (text.empty() && unmapped == 0) {
                return;
            }
            if (QuietTimeOver(m_fd, last_key)) {
                DeliverKeys(text, unmapped);
                return;
            }
            continue;
        }
        if (got <= 0) {
            m_connected = false;  // the device is gone (ENODEV), or its node hung up
            return;
        }
        // An evdev read hands over whole events; a pty standing in for one
        // may cut them, so the bytes of a cut one wait for the rest.
        m_key_events.append(reinterpret_cast<const char*>(events), static_cast<size_t>(got));
        size_t at = 0;
        for (; m_key_events.size() - at >= sizeof(input_event); at += sizeof(input_event)) {
            input_event event;
            std::memcpy(&event, m_key_events.data() + at, sizeof event);
            if (event.type == EV_SYN && event.code == SYN_DROPPED) {
                // The kernel lost events: which keys are held is unknown, the
                // scan is cut, and what comes up to the next report is partial.
                std::puts("keyboard events were lost: the scan is dropped");
                m_keys->Reset();
                text.clear();
                unmapped = 0;
                resync = true;
                continue;
            }
            if (resync || event.type != EV_KEY) {
                resync = resync && !(event.type == EV_SYN && event.code == SYN_REPORT);
                continue;
            }
            last_key = std::chrono::steady_clock::now();
            if (text.size() > ScanBuffer::kCapacity) {
                text.resize(ScanBuffer::kCapacity + 1);  // dropped when it ends; never grows
            }
            switch (m_keys->Feed(event.code, event.value, text)) {
                case KeyText::Key::kEnter:
                    DeliverKeys(text, unmapped);
                    break;
                case KeyText::Key::kUnmapped:
                    ++unmapped;
                    break;
                default:
                    break;
            }
        }
        m_key_events.erase(0, at);
    }
}

void CttyUSB::DeliverKeys(std::string& text, int& unmapped) {
    if (unmapped > 0) {
        std::printf("dropped %d keys that type no text\n", unmapped);
    }
    if (text.size() > ScanBuffer::kCapacity) {
        std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
    } else if (!text.empty()) {
        // The layout typed it as UTF-8 already: no character set to convert.
        ReportScan(text);
    }
    text.clear();
    unmapped = 0;
}
