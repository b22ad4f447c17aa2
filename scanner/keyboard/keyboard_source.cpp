#include "keyboard_source.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "quiet_time.h"
#include "scan_buffer.h"

KeyboardSource::KeyboardSource(const tag_dev_online_node& node, const SourceSettings& settings,
                               SourceHooks hooks)
    : ScanSource(node, settings, std::move(hooks)) {}

KeyboardSource::~KeyboardSource() = default;

int KeyboardSource::Open() {
    m_fd.reset(open(m_node.devname.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!m_fd.valid()) {
        return -1;
    }
    // While the daemon holds it, the scanner types into nothing else.
    if (ioctl(m_fd.get(), EVIOCGRAB, 1) != 0) {
        std::fprintf(stderr, "cannot grab %s (%s): its keys reach the focused window too\n",
                     m_node.devname.c_str(), std::strerror(errno));
    }
    m_keys = std::make_unique<KeyText>(m_node.layout);
    if (!m_keys->valid()) {
        std::fprintf(stderr, "%s: no XKB layout \"%s\", typing it as \"us\"\n",
                     m_node.devname.c_str(), m_node.layout.c_str());
        m_keys = std::make_unique<KeyText>("us");
    }
    if (!m_keys->valid()) {
        m_fd.reset();
        errno = ENOENT;  // no keymap at all: xkb-data is missing
        return -1;
    }
    return m_fd.get();
}

bool KeyboardSource::ReadScans() {
    input_event events[64];
    for (;;) {
        if (!Wanted()) {
            DropCut();  // abandoned: a scan under way goes with it
            return true;
        }
        const ssize_t got = read(m_fd.get(), events, sizeof events);
        if (got < 0 && errno == EAGAIN) {
            // Nothing more for now: a scan in progress waits for its Enter
            // for as long as keys keep coming.
            if (m_text.empty() && m_unmapped == 0 && !m_dropping) {
                return true;
            }
            if (QuietTimeOver(m_fd.get(), m_last_key)) {
                EndScan();
                return true;
            }
            continue;
        }
        if (got <= 0) {
            // The device is gone (ENODEV), or its node hung up.
            DropCut();
            return false;
        }
        // An evdev read hands over whole events; a pty standing in for one
        // may cut them, so the bytes of a cut one wait for the rest.
        m_events.append(reinterpret_cast<const char*>(events), static_cast<size_t>(got));
        size_t at = 0;
        for (; m_events.size() - at >= sizeof(input_event); at += sizeof(input_event)) {
            input_event event;
            std::memcpy(&event, m_events.data() + at, sizeof event);
            Take(event.type, event.code, event.value);
        }
        m_events.erase(0, at);
    }
}

void KeyboardSource::Take(uint16_t type, uint16_t code, int32_t value) {
    if (type == EV_SYN && code == SYN_DROPPED) {
        // The kernel lost events: which keys are held is unknown, and the
        // scan under way is cut. A cut barcode is a wrong one: it goes whole.
        if (!m_dropping) {
            std::puts("keyboard events were lost: the scan is dropped");
        }
        m_keys->Reset();
        m_text.clear();
        m_unmapped = 0;
        m_resync = true;
        m_dropping = true;
        m_last_key = std::chrono::steady_clock::now();
        return;
    }
    if (m_resync || type != EV_KEY) {
        m_resync = m_resync && !(type == EV_SYN && code == SYN_REPORT);
        return;
    }
    m_last_key = std::chrono::steady_clock::now();
    if (m_text.size() > ScanBuffer::kCapacity) {
        m_text.resize(ScanBuffer::kCapacity + 1);  // dropped when it ends; never grows
    }
    switch (m_keys->Feed(code, value, m_text)) {
        case KeyText::Key::kEnter:
            EndScan();
            break;
        case KeyText::Key::kUnmapped:
            ++m_unmapped;
            break;
        default:
            break;
    }
}

void KeyboardSource::DropCut() {
    if (!m_text.empty() && !m_dropping) {
        DroppedCut(m_text.size());
    }
    m_text.clear();
    m_unmapped = 0;
}

void KeyboardSource::EndScan() {
    m_unmapped += m_keys->DropDeadKey() ? 1 : 0;
    if (m_dropping) {
        Dropped(ScanDrop::kIncomplete);  // the rest of a scan that lost events
    } else {
        if (m_unmapped > 0) {
            std::printf("dropped %d keys that type no text\n", m_unmapped);
        }
        if (m_text.size() > ScanBuffer::kCapacity) {
            std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
            Dropped(ScanDrop::kTooLong);
        } else if (!m_text.empty()) {
            // The layout typed it as UTF-8 already: no character set to convert.
            Scan scan;
            scan.text = std::move(m_text);
            Deliver(std::move(scan));
        }
    }
    m_text.clear();
    m_unmapped = 0;
    m_dropping = false;
}
