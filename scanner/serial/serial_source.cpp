#include "serial_source.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "serial_line.h"

SerialSource::SerialSource(const tag_dev_online_node& node, const SourceSettings& settings,
                           SourceHooks hooks)
    : ScanSource(node, settings, std::move(hooks)),
      m_framing(
          {-1, settings.databits, settings.parity, settings.stopbits}, settings.log_scan_data,
          false, [this](ScanBuffer& scan, bool failed) { OnComplete(scan, failed); },
          [this] { return Present(); }) {}

int SerialSource::Open() {
    m_fd.reset(OpenSerialLine(m_node.devname.c_str(), false));
    if (!m_fd.valid()) {
        return -1;
    }
    SetLineAttr(m_fd.get(), m_settings.baud, m_settings.databits, m_settings.parity,
                m_settings.stopbits);
    m_framing.SetFd(m_fd.get());
    return m_fd.get();
}

bool SerialSource::ReadScans() {
    char chunk[512];
    for (;;) {
        if (!Wanted()) {
            // Abandoned: the caller sees why. A scan it cuts is said.
            if (const size_t cut = m_framing.Abandon()) {
                DroppedCut(cut);
            }
            return true;
        }
        const ssize_t got = read(m_fd.get(), chunk, sizeof chunk);
        if (m_framing.Take(got, chunk) != SerialFraming::Step::kMore) {
            return !m_framing.gone();
        }
    }
}

unsigned SerialSource::Orders() const {
    unsigned orders = 0;
    for (int order = 0; order < kScannerOrders; ++order) {
        orders |=
            m_node.order_bytes[order].empty() ? 0 : OrderBit(static_cast<ScannerOrder>(order));
    }
    return orders;
}

bool SerialSource::Carry(ScannerOrder order) {
    return WriteAtOnce(m_node.order_bytes[static_cast<int>(order)]);
}

void SerialSource::OnComplete(ScanBuffer& scan, bool failed) {
    if (failed) {
        tcflush(m_fd.get(), TCIOFLUSH);
        if (m_framing.gone()) {
            DroppedCut(scan.size());  // the line hung up in the middle of it
        } else {
            Dropped(ScanDrop::kIncomplete);
        }
        return;
    }
    if (scan.Overflowed()) {
        // A cut barcode is a wrong barcode: drop the whole scan rather than
        // deliver its first 2048 bytes as if they were all of it. It has
        // ended: what the line holds after it is the next scan's.
        std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
        Dropped(ScanDrop::kTooLong);
        return;
    }
    ConvertAndDeliver(scan, std::string());
}
