#include "scan_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "encode.h"

#include "hid_pos_source.h"
#include "keyboard_source.h"
#include "serial_source.h"

namespace {

// "]" + a code character + a modifier: the AIM symbology identifier that a
// scanner set to do so puts before each scan ("]E0" EAN-13, "]Q1" QR).
bool AimIdentifier(const std::string& text) {
    return text.size() >= 3 && text[0] == ']' &&
           std::isalpha(static_cast<unsigned char>(text[1])) &&
           std::isalnum(static_cast<unsigned char>(text[2]));
}

// Nothing but a terminator (CR, LF, CR LF), or nothing at all.
bool NothingButTerminator(const std::string& text) {
    return text.find_first_not_of("\r\n") == std::string::npos;
}

}  // namespace

ScanSource::ScanSource(const tag_dev_online_node& node, const SourceSettings& settings,
                       SourceHooks hooks)
    : m_node(node), m_settings(settings), m_hooks(std::move(hooks)) {}

ScanSource::~ScanSource() = default;

const char* DropName(ScanDrop reason) {
    static const char* const kNames[kScanDropReasons] = {"conversion", "empty",      "hang_up",
                                                         "too_long",   "incomplete", "disabled"};
    return kNames[static_cast<int>(reason)];
}

bool ScanSource::Carry(ScannerOrder) {
    errno = ENOTSUP;
    return false;
}

bool ScanSource::WriteAtOnce(const std::string& bytes) const {
    // The node may be open for waiting reads: this one write waits for
    // nothing, and the reads stay as they were.
    const int flags = fcntl(m_fd.get(), F_GETFL);
    if (flags < 0 ||
        ((flags & O_NONBLOCK) == 0 && fcntl(m_fd.get(), F_SETFL, flags | O_NONBLOCK) < 0)) {
        return false;
    }
    const ssize_t written = write(m_fd.get(), bytes.data(), bytes.size());
    const int error = errno;
    if ((flags & O_NONBLOCK) == 0) {
        fcntl(m_fd.get(), F_SETFL, flags);
    }
    errno = written >= 0 ? EAGAIN : error;  // a part only: it would have had to wait
    return written == static_cast<ssize_t>(bytes.size());
}

void ScanSource::Dropped(ScanDrop reason) const {
    if (m_hooks.dropped) {
        m_hooks.dropped(reason);
    }
}

void ScanSource::DroppedCut(size_t bytes) const {
    if (m_settings.symbology) {
        std::printf("a scan under way from %s (%zu bytes) was dropped: the scanner went\n",
                    m_node.name.c_str(), bytes);
    }
    Dropped(ScanDrop::kHangUp);
}

void ScanSource::Deliver(Scan scan) {
    if (m_settings.symbology) {
        const bool identified =
            m_node.aim_prefix && scan.symbology.empty() && AimIdentifier(scan.text);
        if (identified) {
            scan.symbology = scan.text.substr(0, 3);
            scan.text.erase(0, 3);
        }
        // A serial scan keeps its terminator: what counts is what precedes it.
        if (NothingButTerminator(scan.text)) {
            std::puts(identified ? "a scan of its symbology identifier alone, dropped"
                                 : "a scan of nothing, dropped");
            Dropped(ScanDrop::kEmpty);
            return;
        }
    }
    if (m_hooks.deliver) {
        m_hooks.deliver(std::move(scan));
    }
}

void ScanSource::ConvertAndDeliver(ScanBuffer& scan, std::string symbology) {
    Scan delivered;
    delivered.symbology = std::move(symbology);
    if (m_settings.symbology && std::memchr(scan.data(), '\0', scan.size()) != nullptr) {
        std::puts("scan with a zero byte, dropped");
        Dropped(ScanDrop::kConversion);
        return;
    }
    if (!ConvertScan(m_settings.encoding, scan, delivered.text)) {
        std::puts("convert g2u fail");
        Dropped(ScanDrop::kConversion);
        return;
    }
    Deliver(std::move(delivered));
}

bool ConvertScan(int encoding, ScanBuffer& scan, std::string& text) {
    // Room for the longest text a full scan converts to: GB18030 and GB2312
    // grow by half in UTF-8, and no converter makes more than three bytes of
    // one (GBK's 0x80, the euro sign).
    char converted[3 * ScanBuffer::kCapacity + 1] = {};
    // One byte less than the array, so that the text always ends in a zero.
    if (EncodeScan(encoding, scan.data(), scan.size(), converted, sizeof converted - 1) < 0) {
        return false;
    }
    text.assign(converted);
    return true;
}

std::unique_ptr<ScanSource> MakeScanSource(const tag_dev_online_node& node,
                                           const SourceSettings& settings, SourceHooks hooks) {
    switch (node.kind) {
        case ScannerKind::kHidPos:
            return std::make_unique<HidPosSource>(node, settings, std::move(hooks));
        case ScannerKind::kKeyboard:
            return std::make_unique<KeyboardSource>(node, settings, std::move(hooks));
        case ScannerKind::kSerial:
            break;
    }
    return std::make_unique<SerialSource>(node, settings, std::move(hooks));
}
