#include "hid_pos_source.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "hex_dump.h"
#include "payment_code.h"
#include "scan_buffer.h"
#include "scanner_match.h"
#include "udev_handles.h"

HidPosSource::HidPosSource(const tag_dev_online_node& node, const SourceSettings& settings,
                           SourceHooks hooks)
    : ScanSource(node, settings, std::move(hooks)) {}

int HidPosSource::Open() {
    // Open for output reports too (the beeps, reading held), where writing
    // is allowed: a node the daemon may only read still reads.
    m_fd.reset(open(m_node.devname.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    m_writable = m_fd.valid();
    if (!m_writable && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        m_fd.reset(open(m_node.devname.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }
    if (!m_fd.valid()) {
        return -1;
    }
    m_prevent = false;
    // The layout as the device has it now: read again at every open.
    UdevContext udev(udev_new());
    UdevDevice device(udev ? udev_device_new_from_syspath(udev.get(), m_node.syspath.c_str())
                           : nullptr);
    const std::string descriptor = device ? ReportDescriptor(device.get()) : std::string();
    if (!m_layout.Parse(reinterpret_cast<const uint8_t*>(descriptor.data()), descriptor.size())) {
        m_fd.reset();
        errno = ENODEV;  // gone, or no longer a scanner
        return -1;
    }
    return m_fd.get();
}

bool HidPosSource::ReadScans() {
    // hidraw hands over one report a read; a pty standing in for it may hand
    // over several, which are taken one by one.
    uint8_t reports[16384];
    for (;;) {
        if (!Wanted()) {
            if (m_under_way) {
                DropCut();  // the scanner went before the barcode's last part
            }
            return true;
        }
        const ssize_t got = read(m_fd.get(), reports, sizeof reports);
        if (got < 0 && errno == EAGAIN) {
            if (!m_under_way) {
                return true;
            }
            // Part of a barcode came: its next part follows at once, or never.
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_last_part + kUnfinishedAfter - std::chrono::steady_clock::now());
            pollfd node = {m_fd.get(), POLLIN, 0};
            if (left.count() <= 0 || poll(&node, 1, static_cast<int>(left.count()) + 1) == 0) {
                DropUnfinished("its last part never came");
                return true;
            }
            continue;
        }
        if (got <= 0) {
            // The device is gone (ENODEV), or its node was hung up.
            if (m_under_way) {
                DropCut();
            }
            return false;
        }
        for (size_t at = 0; at < static_cast<size_t>(got);) {
            const size_t size = m_layout.InputReportSize(reports[at]);
            if (size == 0) {
                break;  // not a report of the descriptor: the rest of the read is lost
            }
            const size_t length = std::min(size, static_cast<size_t>(got) - at);
            Take(reports + at, length);
            at += length;
        }
    }
}

namespace {

// The output control that carries an order.
HidPosLayout::Control ControlFor(ScannerOrder order) {
    switch (order) {
        case ScannerOrder::kGood:
            return HidPosLayout::Control::kGoodReadBeep;
        case ScannerOrder::kError:
            return HidPosLayout::Control::kErrorBeep;
        case ScannerOrder::kNotOnFile:
            return HidPosLayout::Control::kNotOnFileBeep;
        case ScannerOrder::kDisable:
        case ScannerOrder::kEnable:
            break;
    }
    return HidPosLayout::Control::kPreventRead;
}

}  // namespace

unsigned HidPosSource::Orders() const {
    unsigned orders = 0;
    for (int order = 0; order < kScannerOrders && m_writable; ++order) {
        const ScannerOrder which = static_cast<ScannerOrder>(order);
        orders |= m_layout.Has(ControlFor(which)) ? OrderBit(which) : 0;
    }
    return orders;
}

bool HidPosSource::Carry(ScannerOrder order) {
    // Each beep is a fresh change of its flag: set in this report, clear in
    // the next; reading stays held or not as it was.
    const bool prevent = order == ScannerOrder::kDisable  ? true
                         : order == ScannerOrder::kEnable ? false
                                                          : m_prevent;
    const std::string report = m_layout.OutputReport(ControlFor(order), prevent);
    if (report.empty() || !m_writable) {
        errno = ENOTSUP;
        return false;
    }
    if (!WriteAtOnce(report)) {
        return false;
    }
    m_prevent = prevent;
    // The beep's flag clear again: the next beep is a change of it too.
    return order == ScannerOrder::kDisable || order == ScannerOrder::kEnable ||
           WriteAtOnce(m_layout.OutputReport(ControlFor(order), prevent, false));
}

void HidPosSource::Take(const uint8_t* report, size_t size) {
    std::string part;
    const HidPosLayout::Decoded decoded = m_layout.Decode(report, size, part);
    if (decoded.report == HidPosLayout::Report::kOther) {
        return;
    }
    if (decoded.padded && !m_said_short) {
        m_said_short = true;
        std::printf(
            "%s sends reports shorter than its descriptor says (%zu bytes): read as "
            "padded with zeros\n",
            m_node.devname.c_str(), size);
    }
    if (m_under_way && decoded.symbology != m_symbology) {
        DropUnfinished("a barcode of another symbology began");
    }
    m_symbology = decoded.symbology;
    m_barcode += part;
    if (m_barcode.size() > ScanBuffer::kCapacity) {
        m_barcode.resize(ScanBuffer::kCapacity + 1);  // dropped when it ends
    }
    m_last_part = std::chrono::steady_clock::now();
    m_under_way = decoded.report == HidPosLayout::Report::kMore;
    if (m_under_way) {
        return;
    }
    ScanBuffer scan;
    scan.Clear();
    scan.Append(m_barcode.data(), m_barcode.size());
    m_barcode.clear();
    if (scan.size() == 0) {
        return;  // a barcode without data is no scan
    }
    if (m_settings.log_scan_data) {
        const std::string shown = MaskedPaymentCode(std::string(scan.data(), scan.size()));
        PrintHexChunk(shown.data(), shown.size(), false);
    }
    if (scan.Overflowed()) {
        std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
        Dropped(ScanDrop::kTooLong);
        return;
    }
    ConvertAndDeliver(scan, m_symbology);
}

void HidPosSource::DropCut() {
    DroppedCut(m_barcode.size());
    m_barcode.clear();
    m_under_way = false;
}

void HidPosSource::DropUnfinished(const char* why) {
    std::printf("a barcode of %zu bytes from %s was dropped unfinished: %s\n", m_barcode.size(),
                m_node.devname.c_str(), why);
    m_barcode.clear();
    m_under_way = false;
    Dropped(ScanDrop::kIncomplete);
}
