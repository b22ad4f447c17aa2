// What both read loops do with each read of a scan in progress, and with a
// complete scan before it is delivered.
#include <poll.h>
#include <termios.h>

#include <cstdio>

#include "hex_dump.h"
#include "quiet_time.h"
#include "sleep_ms.h"
#include "ttyUSB.h"

namespace {

// The kernel hangs a tty up when its line goes (the USB device is unplugged,
// a pty's other end closes): from then on reads return nothing or fail with
// EIO at once, and poll reports POLLHUP, for good.
bool PortHungUp(int fd) {
    pollfd port = {fd, POLLIN, 0};
    return fd >= 0 && poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLNVAL)) != 0;
}

}  // namespace

CttyUSB::ReadStep CttyUSB::AfterRead(ssize_t got, const char* chunk, ScanProgress& progress,
                                     ScanBuffer& scan, bool dump_with_leading_blanks) {
    if (got > 0 && !progress.have_data && m_lf_pending) {
        m_lf_pending = false;
        if (chunk[0] == '\n') {
            // The LF of a CR LF whose CR ended the scan before, read apart from
            // it (a slow line, a USB packet boundary): the rest of that
            // terminator, not a scan of its own.
            ++chunk;
            if (--got == 0) {
                return ReadStep::kNotReady;
            }
        }
    }
    if (got > 0) {
        if (!progress.have_data) {
            // The first chunk of a scan: from now on reads return at once.
            progress.failed = false;
            scan.Clear();
            Set_Block(false);
        }
        if (m_options.log_scan_data) {
            PrintHexChunk(chunk, static_cast<size_t>(got), dump_with_leading_blanks);
        }
        scan.Append(chunk, static_cast<size_t>(got));
        progress.have_data = true;
        progress.last_chunk = std::chrono::steady_clock::now();
        return ReadStep::kMore;
    }
    if (got < 0) {
        std::puts("occur, clear data buffer");
        progress.failed = true;
    }
    if (!progress.have_data) {
        // Readable but nothing there: the device may be gone.
        SleepMs(100);
        tcflush(m_fd, TCIOFLUSH);
        // A hung-up port never reads again, whether or not udev has said yet
        // that the device is gone: only a fresh open could serve it.
        if (PortHungUp(m_fd) || CheckWorkingGun() < 0) {
            m_connected = false;
        }
        std::puts("Data read in not ready state, possible device disconnection");
        return ReadStep::kNotReady;
    }
    if (scan.Terminated()) {
        return Complete(scan);
    }
    if (PortHungUp(m_fd)) {
        // The line went in the middle of a scan: the scanner is gone, and what
        // came of the scan is cut.
        m_connected = false;
        progress.failed = true;
        return Complete(scan);
    }
    if (got < 0) {
        SleepMs(1);  // a port that keeps failing must neither spin nor flood the output
        return std::chrono::steady_clock::now() - progress.last_chunk >= kQuietTime
                   ? Complete(scan)
                   : ReadStep::kMore;
    }
    return QuietTimeOver(m_fd, progress.last_chunk) ? Complete(scan) : ReadStep::kMore;
}

CttyUSB::ReadStep CttyUSB::Complete(const ScanBuffer& scan) {
    m_lf_pending = scan.EndsInCr();
    return ReadStep::kComplete;
}

bool CttyUSB::DropBadScan(const ScanProgress& progress, const ScanBuffer& scan) {
    if (progress.failed) {
        tcflush(m_fd, TCIOFLUSH);
        return true;
    }
    if (scan.Overflowed()) {
        // A cut barcode is a wrong barcode: drop the whole scan rather than
        // deliver its first 2048 bytes as if they were all of it.
        std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
        tcflush(m_fd, TCIOFLUSH);
        return true;
    }
    return false;
}

bool CttyUSB::ConvertScan(ScanBuffer& scan, std::string& text) {
    // Room for the longest text a full scan converts to: GB18030 and GB2312
    // grow by half in UTF-8, and no converter makes more than three bytes of
    // one (GBK's 0x80, the euro sign).
    char converted[3 * ScanBuffer::kCapacity + 1] = {};
    // One byte less than the array, so that the text always ends in a zero.
    if (encode(m_encoding, scan.data(), scan.size(), converted, sizeof converted - 1) < 0) {
        return false;
    }
    text.assign(converted);
    return true;
}
