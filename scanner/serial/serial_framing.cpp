#include "serial_framing.h"

#include <poll.h>
#include <termios.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "hex_dump.h"
#include "quiet_time.h"
#include "serial_line.h"
#include "sleep_ms.h"

SerialFraming::SerialFraming(Line line, bool log_chunks, bool dump_with_leading_blanks,
                             Complete complete, Present present)
    : m_line(line),
      m_log_chunks(log_chunks),
      m_dump_with_leading_blanks(dump_with_leading_blanks),
      m_complete(std::move(complete)),
      m_present(std::move(present)) {}

// The kernel hangs a tty up when its line goes (the USB device is unplugged,
// a pty's other end closes): from then on reads return nothing or fail with
// EIO at once, and poll reports POLLHUP, for good.
bool SerialFraming::PortHungUp() const {
    pollfd port = {m_line.fd, POLLIN, 0};
    return m_line.fd >= 0 && poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLNVAL)) != 0;
}

SerialFraming::Step SerialFraming::Take(ssize_t got, const char* chunk) {
    if (got > 0) {
        Append(chunk, static_cast<size_t>(got));
        return m_have_data ? Step::kMore : Step::kIdle;
    }
    if (got < 0) {
        std::puts("occur, clear data buffer");
        m_failed = true;
    }
    if (!m_have_data) {
        // Readable but nothing there: the device may be gone.
        SleepMs(100);
        tcflush(m_line.fd, TCIOFLUSH);
        // A hung-up port never reads again, whether or not udev has said yet
        // that the device is gone: only a fresh open could serve it.
        if (PortHungUp() || (m_present && !m_present())) {
            m_gone = true;
        }
        std::puts("Data read in not ready state, possible device disconnection");
        return Step::kNotReady;
    }
    if (m_scan.Terminated()) {
        Finish(true);
        return Step::kIdle;
    }
    if (PortHungUp()) {
        // The line went in the middle of a scan: the scanner is gone, and what
        // came of the scan is cut.
        m_gone = true;
        m_failed = true;
        Finish(false);
        return Step::kIdle;
    }
    bool quiet;
    if (got < 0) {
        SleepMs(1);  // a port that keeps failing must neither spin nor flood the output
        quiet = std::chrono::steady_clock::now() - m_last_chunk >= kQuietTime;
    } else {
        quiet = QuietTimeOver(m_line.fd, m_last_chunk);
    }
    if (!quiet) {
        return Step::kMore;
    }
    Finish(false);
    return Step::kIdle;
}

void SerialFraming::Append(const char* chunk, size_t len) {
    if (m_log_chunks) {
        PrintHexChunk(chunk, len, m_dump_with_leading_blanks);
    }
    size_t at = 0;
    if (!m_have_data && m_lf_pending && chunk[0] == '\n') {
        at = 1;  // the LF of a CR LF whose CR ended the scan before: the rest of it
    }
    m_lf_pending = false;
    if (m_have_data && m_scan.Terminated()) {
        // The CR that ended the last read ends its scan, with its LF if that
        // comes first now.
        if (chunk[at] == '\n') {
            m_scan.Append(chunk + at++, 1);
        }
        Finish(false);
    }
    while (at < len) {
        if (!m_have_data) {
            // The first chunk of a scan: from now on reads return at once.
            m_have_data = true;
            m_failed = false;
            m_scan.Clear();
            SetLineBlock(m_line.fd, false, m_line.databits, m_line.parity, m_line.stopbits);
        }
        const void* cr = std::memchr(chunk + at, '\r', len - at);
        const size_t end = cr != nullptr ? static_cast<const char*>(cr) - chunk + 1 : len;
        m_scan.Append(chunk + at, end - at);
        at = end;
        if (at < len && m_scan.Terminated()) {
            if (chunk[at] == '\n') {
                m_scan.Append(chunk + at++, 1);
            }
            Finish(false);
        }
    }
    m_last_chunk = std::chrono::steady_clock::now();
}

size_t SerialFraming::Abandon() {
    if (!m_have_data) {
        return 0;
    }
    if (m_scan.Terminated()) {
        Finish(false);
        return 0;
    }
    m_have_data = false;
    m_failed = false;
    m_lf_pending = false;
    return m_scan.size();
}

void SerialFraming::Finish(bool lf_may_follow) {
    const bool failed = std::exchange(m_failed, false);
    m_have_data = false;
    m_lf_pending = lf_may_follow;
    m_complete(m_scan, failed);
}
