// A HID point-of-sale scanner: its hidraw node's input reports, laid out as
// its report descriptor says, become one scan per barcode.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "hex_dump.h"
#include "hid_pos.h"
#include "scan_buffer.h"
#include "scanner_match.h"
#include "ttyUSB.h"
#include "udev_handles.h"

bool CttyUSB::PrepareHidPos(const tag_dev_online_node& node) {
    UdevContext udev(udev_new());
    UdevDevice device(udev ? udev_device_new_from_syspath(udev.get(), node.syspath.c_str())
                           : nullptr);
    const std::string descriptor = device ? ReportDescriptor(device.get()) : std::string();
    m_hid = std::make_unique<HidPosLayout>();
    m_hid_scan.clear();
    if (!m_hid->Parse(reinterpret_cast<const uint8_t*>(descriptor.data()), descriptor.size())) {
        errno = ENODEV;  // gone, or no longer a scanner
        return false;
    }
    return true;
}

void CttyUSB::ReadHidScan() {
    // hidraw hands over one report a read; a pty standing in for it may hand
    // over several, which are taken one by one.
    uint8_t reports[16384];
    for (;;) {
        const ssize_t got = read(m_fd, reports, sizeof reports);
        if (got < 0 && errno == EAGAIN) {
            return;
        }
        if (got <= 0) {
            // The device is gone (ENODEV), or its node was hung up.
            m_connected = false;
            return;
        }
        for (size_t at = 0; at < static_cast<size_t>(got);) {
            const size_t size = m_hid->InputReportSize(reports[at]);
            if (size == 0) {
                break;  // not a report of the descriptor: the rest of the read is lost
            }
            const HidPosLayout::Report report =
                m_hid->Decode(reports + at, static_cast<size_t>(got) - at, m_hid_scan);
            at += size;
            if (m_hid_scan.size() > ScanBuffer::kCapacity) {
                m_hid_scan.resize(ScanBuffer::kCapacity + 1);  // dropped when it ends
            }
            if (report == HidPosLayout::Report::kLast && !m_hid_scan.empty()) {
                ScanBuffer scan;
                scan.Clear();
                scan.Append(m_hid_scan.data(), m_hid_scan.size());
                m_hid_scan.clear();
                if (m_options.log_scan_data) {
                    PrintHexChunk(scan.data(), scan.size(), false);
                }
                DeliverScan(scan);
            }
        }
    }
}
