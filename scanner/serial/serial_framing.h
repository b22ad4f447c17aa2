#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "scan_buffer.h"

// A serial scanner's line cut into scans, read by read. A scan ends at a CR
// or a CR LF of a scan of at least two bytes, wherever it stands in what a
// read returns (several scans in one read are several scans); a CR at the
// end of a read waits for the next, which may bring its LF. Any other scan
// ends once the quiet time has passed without a byte. A read that fails
// spoils the scan under way, and a line that hangs up cuts it: such a scan is
// handed on marked failed.
//
// With the chunks logged, each read is dumped in hexadecimal, one line a
// read, before the scans it completes are handed on. A customer's payment
// code never shows in the dump: a read is held back (the scans it completes
// handed on before it) while a scan in it may still turn out to be one, and
// goes out, the code's digits but the first two and the last two masked, as
// soon as none can; all of it by the time the framing goes.
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
    ~SerialFraming();
    SerialFraming(const SerialFraming&) = delete;
    SerialFraming& operator=(const SerialFraming&) = delete;

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

    // The bytes of a read that belong to one scan, [from, to): the first
    // of the scan (`starts`), and its last (`ends`: it is complete).
    struct Piece {
        size_t from;
        size_t to;
        bool starts;
        bool ends;
    };

    void Append(const char* chunk, size_t len);
    // Cuts a read into the pieces of its scans (m_pieces), changing nothing.
    void Cut(const char* chunk, size_t len);
    // Dumps the read, once Cut, or holds it back with those before it.
    void Dump(const char* chunk, size_t len);
    // The scan under way ends between reads (complete, or cut): the reads
    // held back go out.
    void Settle();
    // Prints the reads held back, one line each.
    void PrintHeld();
    // Masks the held scan of `size` bytes at `from` where it is a payment code.
    void MaskIfPaymentCode(size_t from, size_t size);
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

    std::vector<Piece> m_pieces;  // of the read being taken
    // The reads held back (their bytes as they will be dumped, one after
    // the other, and the size of each), while the scan under way, whose
    // bytes begin at m_scan_from, may still turn out to be a payment code.
    std::string m_held;
    std::vector<size_t> m_held_reads;
    bool m_may_be_code = false;
    size_t m_scan_from = 0;
};
