#include "serial_framing.h"

#include <poll.h>
#include <termios.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "hex_dump.h"
#include "payment_code.h"
#include "quiet_time.h"
#include "serial_line.h"
#include "sleep_ms.h"

namespace {

// The longest a scan may be and still turn out to be a payment code: an AIM
// identifier, 24 digits and CR LF. One longer that is a code still holds all
// of its digits, with line ends alone after them.
constexpr size_t kLongestPaymentScan = 3 + 24 + 2;

}  // namespace

SerialFraming::SerialFraming(Line line, bool log_chunks, bool dump_with_leading_blanks,
                             Complete complete, Present present)
    : m_line(line),
      m_log_chunks(log_chunks),
      m_dump_with_leading_blanks(dump_with_leading_blanks),
      m_complete(std::move(complete)),
      m_present(std::move(present)) {}

SerialFraming::~SerialFraming() {
    Settle();
}

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
        Settle();
        Finish(true);
        return Step::kIdle;
    }
    if (PortHungUp()) {
        // The line went in the middle of a scan: the scanner is gone, and what
        // came of the scan is cut.
        m_gone = true;
        m_failed = true;
        Settle();
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
    Settle();
    Finish(false);
    return Step::kIdle;
}

void SerialFraming::Append(const char* chunk, size_t len) {
    Cut(chunk, len);
    if (m_log_chunks) {
        Dump(chunk, len);
    }
    m_lf_pending = false;
    for (const Piece& piece : m_pieces) {
        if (piece.starts) {
            // The first chunk of a scan: from now on reads return at once.
            m_have_data = true;
            m_failed = false;
            m_scan.Clear();
            SetLineBlock(m_line.fd, false, m_line.databits, m_line.parity, m_line.stopbits);
        }
        m_scan.Append(chunk + piece.from, piece.to - piece.from);
        if (piece.ends) {
            Finish(false);
        }
    }
    m_last_chunk = std::chrono::steady_clock::now();
}

void SerialFraming::Cut(const char* chunk, size_t len) {
    m_pieces.clear();
    size_t at = 0;
    bool under_way = m_have_data;
    if (!under_way && m_lf_pending && chunk[0] == '\n') {
        at = 1;  // the LF of a CR LF whose CR ended the scan before: the rest of it
    }
    if (under_way && m_scan.Terminated()) {
        // The CR that ended the last read ends its scan, with its LF if that
        // comes first now.
        at = chunk[0] == '\n' ? 1 : 0;
        m_pieces.push_back({0, at, false, true});
        under_way = false;
    }
    while (at < len) {
        Piece piece = {at, len, !under_way, false};
        // A CR ends the scan, but as the first byte of a scan; one that ends
        // the read waits for the next, which may bring its LF.
        for (size_t from = at; from < len;) {
            const void* cr = std::memchr(chunk + from, '\r', len - from);
            if (cr == nullptr) {
                break;
            }
            from = static_cast<const char*>(cr) - chunk + 1;
            if (from < len && (!piece.starts || from - piece.from >= 2)) {
                piece.to = chunk[from] == '\n' ? from + 1 : from;
                piece.ends = true;
                break;
            }
        }
        m_pieces.push_back(piece);
        at = piece.to;
        under_way = !piece.ends;
    }
}

void SerialFraming::Dump(const char* chunk, size_t len) {
    const size_t base = m_held.size();
    m_held.append(chunk, len);
    m_held_reads.push_back(len);
    bool may_be_code = false;
    for (const Piece& piece : m_pieces) {
        if (!piece.starts && !m_may_be_code) {
            continue;  // the scan under way is no payment code
        }
        // Every byte of a scan that may be a payment code is held, from its first on.
        const size_t from = piece.starts ? base + piece.from : m_scan_from;
        const size_t size = base + piece.to - from;
        if (piece.ends) {
            MaskIfPaymentCode(from, size);
        } else if (MayBePaymentCode(m_held.data() + from, size)) {
            if (size <= kLongestPaymentScan) {
                may_be_code = true;
                m_scan_from = from;
            } else {
                MaskIfPaymentCode(from, size);  // a whole code, and line ends alone after it
            }
        }
    }
    m_may_be_code = may_be_code;
    if (!may_be_code) {
        PrintHeld();
    }
}

void SerialFraming::Settle() {
    if (m_may_be_code) {
        MaskIfPaymentCode(m_scan_from, m_held.size() - m_scan_from);
        m_may_be_code = false;
    }
    PrintHeld();
}

void SerialFraming::PrintHeld() {
    size_t at = 0;
    for (const size_t size : m_held_reads) {
        PrintHexChunk(m_held.data() + at, size, m_dump_with_leading_blanks);
        at += size;
    }
    m_held.clear();
    m_held_reads.clear();
}

void SerialFraming::MaskIfPaymentCode(size_t from, size_t size) {
    size_t first = 0;
    size_t digits = 0;
    if (FindPaymentCode(m_held.data() + from, size, first, digits)) {
        m_held.replace(from + first + 2, digits - 4, digits - 4, '*');
    }
}

size_t SerialFraming::Abandon() {
    if (!m_have_data) {
        return 0;
    }
    Settle();
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
