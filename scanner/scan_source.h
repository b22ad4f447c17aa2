#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dev_node.h"
#include "scan_buffer.h"
#include "unique_fd.h"

// One scan as a scanner's source hands it on.
struct Scan {
    std::string text;       // converted as the encoding selector says (keyboards: as typed)
    std::string symbology;  // its AIM symbology identifier ("]E0"), or empty where not known
};

// Why a scan was dropped rather than delivered.
enum class ScanDrop {
    kConversion,  // its bytes are not of the character set
    kEmpty,       // nothing was left of it (its symbology identifier alone, say)
    kHangUp,      // the device went in the middle of it
    kTooLong,     // longer than a scan may be (2048 bytes)
    kIncomplete,  // a read failed, events were lost, or its last part never came
    kDisabled,    // its scanner was disabled (by a page, or after its last scan)
};
constexpr int kScanDropReasons = 6;
// "conversion", "empty", "hang_up", "too_long", "incomplete", "disabled".
const char* DropName(ScanDrop reason);

// What every source is told, whatever its kind.
struct SourceSettings {
    int encoding = 2;           // character-set selector for what serial and HID scanners send
    bool log_scan_data = true;  // each chunk read in hexadecimal on standard output
    // Scans go out with their scanner's name and symbology (every scanner
    // served at once): an AIM identifier that the scanner's entry says comes
    // first is taken off into the symbology, and a scan that converts to
    // nothing is dropped rather than delivered with no data. Otherwise scans
    // go out as they came.
    bool symbology = false;
    // A serial scanner's line.
    int baud = 115200;
    int databits = 8;
    int stopbits = 1;
    char parity = 'N';
};

// How a source reaches whoever serves it; all are called on the source's
// thread, while it reads.
struct SourceHooks {
    std::function<void(Scan)> deliver;      // a complete scan
    std::function<bool()> wanted;           // false: stop reading (a stop, or the device went)
    std::function<bool()> present;          // udev still lists the device
    std::function<void(ScanDrop)> dropped;  // a scan that was not delivered, and why
};

// A scanner's device node, opened and read: a serial line, a HID
// point-of-sale scanner's reports or a keyboard's keys, each a class of its
// own (serial/, hid_pos/, keyboard/). Whoever serves it waits for the node to
// be readable and then lets the source read; the source frames scans, as its
// kind needs, and hands each on whole.
class ScanSource {
  public:
    ScanSource(const tag_dev_online_node& node, const SourceSettings& settings, SourceHooks hooks);
    virtual ~ScanSource();
    ScanSource(const ScanSource&) = delete;
    ScanSource& operator=(const ScanSource&) = delete;

    // Opens the node and makes it ready to read: its descriptor, or -1 with
    // errno set.
    virtual int Open() = 0;
    // The node is readable: reads and delivers the scans that are there; a
    // scan under way is read to its end (or until it is no longer wanted).
    // False once the device is gone for good.
    virtual bool ReadScans() = 0;
    // The orders (OrderBit) that the open scanner can carry out.
    virtual unsigned Orders() const { return 0; }
    // Carries out one of them at once, never waiting on the device: false
    // where the write failed or would block (errno says why).
    virtual bool Carry(ScannerOrder order);

    int fd() const { return m_fd.get(); }
    const tag_dev_online_node& node() const { return m_node; }

  protected:
    bool Wanted() const { return !m_hooks.wanted || m_hooks.wanted(); }
    bool Present() const { return !m_hooks.present || m_hooks.present(); }
    // Hands a scan on, its symbology identifier taken off the front first
    // where the settings want symbologies and the scanner's entry says that
    // it sends one (AimPrefix); a scan of nothing but the identifier and its
    // terminator is dropped there, and so is one of nothing at all.
    void Deliver(Scan scan);
    // A scan that is not delivered: its line was printed, its reason is told.
    void Dropped(ScanDrop reason) const;
    // The scanner went (its line hung up, or udev removed it) in the middle
    // of a scan of `bytes` bytes so far: the scan is dropped, told as a
    // hang-up and, where scans go out with their scanner's name, said.
    void DroppedCut(size_t bytes) const;
    // Writes all the bytes to the node without waiting: false where it
    // failed, or would have had to wait (EAGAIN), or took only part.
    bool WriteAtOnce(const std::string& bytes) const;
    // Converts a complete scan's bytes and delivers the text; or drops the
    // scan with a line where it won't convert, or (scans with their
    // symbology) where it holds a zero byte, at which its text would end.
    void ConvertAndDeliver(ScanBuffer& scan, std::string symbology);

    const tag_dev_online_node m_node;
    const SourceSettings m_settings;
    const SourceHooks m_hooks;
    UniqueFd m_fd;
};

// Converts a complete scan's bytes as the encoding selector says into
// `text`, whole, however much its character set grows in conversion; false
// when the conversion failed.
bool ConvertScan(int encoding, ScanBuffer& scan, std::string& text);

// The source for a scanner of the node's kind.
std::unique_ptr<ScanSource> MakeScanSource(const tag_dev_online_node& node,
                                           const SourceSettings& settings, SourceHooks hooks);
