#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

#include "scan_buffer.h"

// A serial scanner's line cut into scans, read by read. A scan ends at a CR
// or a CR LF of a scan of at least two bytes, wherever it stands in what a
// read returns (several scans in one read are several scans); a CR at the
// end of a read waits for the next, which may bring its LF. Any other scan
// ends once the quiet time has passed without a byte. A read that fails
// spoils the scan under way, and a line that hangs up cuts it: such a scan is
// handed on marked failed.
class SerialFraming {
  public:
    // The line: its descriptor and the frame that reads keep when they are
    // switched to return at once, at the first chunk of each scan.
    struct Line {
        int fd = -1;
        int databits = 8;
        char parity = 'N';
        int stopbits = 1;
    };
    // Every complete scan, as it arrived (ScanBuffer knows whether it
    // outgrew its array), and whether a read failed or the line went during it.
    using Complete = std::function<void(ScanBuffer& scan, bool failed)>;
    // Whether udev still lists the device, asked when the line is readable
    // but has nothing.
    using Present = std::function<bool()>;

    SerialFraming(Line line, bool log_chunks, bool dump_with_leading_blanks, Complete complete,
                  Present present);

    enum class Step {
        kMore,      // a scan is under way: read again
        kIdle,      // the last scan is complete: nothing under way
        kNotReady,  // readable, but nothing there: the device may be gone
    };
    // One read's result: `got` bytes of `chunk`, 0, or -1 for a failure.
    Step Take(ssize_t got, const char* chunk);

    // The device went: a scan complete but for the LF that may follow is
    // handed on; one under way is cut and forgotten. Its size so far, or 0
    // when none was under way.
    size_t Abandon();

    // The line hung up, or udev no longer lists the device: nothing more comes.
    bool gone() const { return m_gone; }
    // The descriptor was replaced (the polling reader's caller may do so).
    void SetFd(int fd) { m_line.fd = fd; }

  private:
    friend struct ScanFramingHarness;  // fakes the quiet time

    void Append(const char* chunk, size_t len);
    // The scan is complete; `lf_may_follow`: it ended in a CR whose LF was
    // not seen yet, and is the rest of it if it comes first in the next read.
    void Finish(bool lf_may_follow);
    bool PortHungUp() const;

    Line m_line;
    const bool m_log_chunks;
    const bool m_dump_with_leading_blanks;
    const Complete m_complete;
    const Present m_present;

    ScanBuffer m_scan;
    bool m_have_data = false;
    bool m_failed = false;
    bool m_lf_pending = false;
    bool m_gone = false;
    std::chrono::steady_clock::time_point m_last_chunk;
};
