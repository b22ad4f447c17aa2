#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dev_node.h"
#include "scan_buffer.h"
#include "scanner_options.h"
#include "unique_fd.h"

class HidPosLayout;
class KeyText;

// Receives the read loops' events: 0 a scan (the converted text), 1 a scanner
// was opened, 2 the open scanner is gone, -1 the polling reader was stopped,
// -2 the polling reader lost its scanner. Called on the read loop's thread.
typedef void (*ScanCallback)(int code, std::string text);

// Told, on the read loop's thread, when the announced scanner's port can't be
// opened and is being tried again ("cannot open /dev/ttyUSB0 (Device or
// resource busy), retrying"), and with an empty text once that is over.
typedef void (*TroubleCallback)(const std::string& status);

// The scanner: its serial settings and port, the device announced by the
// hotplug thread and the one whose port is open, and the read loops. The
// scanner is a tty, or, beside the serial path, a HID point-of-sale scanner
// (hidraw) or a keyboard-mode scanner (evdev) that the configuration lists.
//
// Threads: the hotplug thread and the read loop meet at the atomic flags, at
// m_plug_node (under m_plug_mutex), at m_sem, which counts announcements, and
// at the eventfds that wake each other's waits.
// Read_byMonitor_sync stops and joins the hotplug thread before it returns, so
// the thread never outlives the call, let alone the object.
class CttyUSB {
  public:
    CttyUSB();
    ~CttyUSB();
    CttyUSB(const CttyUSB&) = delete;
    CttyUSB& operator=(const CttyUSB&) = delete;

    // Asks a running read loop to end and waits about a second at most for it
    // to acknowledge. Always 0.
    int Wait();

    // A copy of m_plug_node, the scanner the hotplug thread announced last.
    tag_dev_online_node AnnouncedNode();

    // Supported scanners (gun table, udev).
    int IsExist(unsigned int vid, unsigned int pid, const char* model);
    int GetVendoridList(std::string& list);
    int EnumOnLineGun(std::vector<tag_dev_online_node>& nodes);
    // The scanners of every kind: ttys (as EnumOnLineGun), then HID
    // point-of-sale scanners, then listed keyboards.
    int EnumOnLineScanners(std::vector<tag_dev_online_node>& nodes);
    int CheckWorkingGun();

    // Serial port.
    int Open_monitor(int);
    int Open(int);
    int Set_attr(int baud, int databits, char parity, int stopbits);
    int Set_Block(bool block);
    int Close();
    int tbcflush();

    // Character-set conversion by selector: 1 GB2312, 2 GB18030 to UTF-8,
    // 3 GB2312 to GBK, 4 unchanged copy; anything else fails.
    int encode(int type, char* src, unsigned long srclen, char* dst, unsigned long dstlen);

    // Hotplug-driven reading: the thread announces scanners, the loop serves one.
    int Read_byMonitor_sync(int encoding, ScanCallback callback);
    int run_byMonitor();
    static void* StartHotplugMonitor(void* self);

    // Polling reading of a port that is already open. The thread of Read_async
    // is detached: stop it with Wait before the object goes.
    int Read_sync(int encoding, ScanCallback callback);
    int Read_async(int encoding, ScanCallback callback);
    static void* StartReadThread(void* self);
    int run();

    // Serial settings, handed over once before reading starts.
    int m_baud = 0;
    int m_databits = 0;
    int m_stopbits = 0;
    char m_parity = 0;
    // The rest of the scanner settings, handed over alike.
    ScannerOptions m_options;

    int m_encoding = 0;
    ScanCallback m_callback = nullptr;
    TroubleCallback m_trouble_callback = nullptr;

    std::atomic<bool> m_opened{false};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_enum_pending{true};
    int m_fd = -12;  // -12 never opened, -1 closed again
    tag_dev_online_node m_open_node{};
    tag_dev_online_node m_plug_node{};  // guarded by m_plug_mutex: see AnnouncedNode
    std::atomic<int> m_stop{0};
    std::atomic<int> m_monitor_state{0};
    sem_t m_sem;

  private:
    // The fuzz harness of scan framing and conversion drives AfterRead,
    // DropBadScan and ConvertScan one chunk at a time, as the read loops do.
    friend struct ScanFramingHarness;

    // What one pass of the hotplug thread does with one udev event or the
    // start-up enumeration.
    void OnHotplugCandidate(const tag_dev_online_node& candidate);
    void HotplugLoop(struct udev_monitor* monitor);
    void WakeHotplug();
    void StopHotplugMonitor();

    // After a successful open: blocking reads, the stdin check, a flush.
    void PreparePort();
    // Opens the announced scanner's port, as Open_monitor does; says why it
    // failed (on standard error) only when `report`.
    int OpenAnnounced(bool report);

    // A port that won't open (held for a while by a modem prober or another
    // program, its node not made yet) is tried again for as long as udev
    // lists the scanner: 100 ms after the first failure, twice as long after
    // each further one, 2 s at most.
    static constexpr long kOpenRetryFirstMillis = 100;
    static constexpr long kOpenRetryMaxMillis = 2000;
    struct OpenRetry {
        int error = 0;  // errno of the first failure; 0 while not retrying
        long delay_ms = 0;
        int tries = 0;
    };
    // Opens the announced scanner's port, or tries again after the pause that
    // is due; true once it is open. One line says that it failed, and one
    // that it opened at last.
    bool OpenPort(OpenRetry& retry);
    // The retrying is over, whether it opened or the scanner went.
    void EndOpenRetry(OpenRetry& retry);

    // Sleeps up to ms milliseconds; an announcement or a stop request ends the
    // sleep early.
    void Nap(long ms);
    void WakeNap();
    // Ends the read loop's wait for data, so that it looks at the flags again.
    void WakeReadLoop();

    // Reads one scan from the readable port and delivers it.
    void ReadAndDeliverScan(ScanBuffer& scan);
    // Converts a complete scan as the encoding selector says and delivers
    // it; one that outgrew its array, or that won't convert, is dropped with
    // a line.
    void DeliverScan(ScanBuffer& scan);

    // A HID point-of-sale scanner: its descriptor's layout, after the open;
    // then each readable moment's reports, a scan per barcode.
    bool PrepareHidPos(const tag_dev_online_node& node);
    void ReadHidScan();
    // A keyboard-mode scanner: grabbed, and typed out in its layout; then
    // keys until Enter or the quiet time, a scan each.
    bool PrepareKeyboard(const tag_dev_online_node& node);
    void ReadKeyScan();
    // A scan typed on a keyboard is over: delivered as typed (not too long,
    // not empty), with a line for the keys that typed nothing.
    void DeliverKeys(std::string& text, int& unmapped);

    // A scan being read chunk by chunk.
    struct ScanProgress {
        bool have_data = false;
        bool failed = false;  // a read failed: the scan is dropped when complete
        std::chrono::steady_clock::time_point last_chunk;
    };
    enum class ReadStep { kMore, kNotReady, kComplete };
    // Takes the result of one read of a scan in progress (got bytes in chunk,
    // or 0, or a failure): keeps the bytes, checks a port that has nothing,
    // and tells whether the scan is complete (terminator or quiet time).
    ReadStep AfterRead(ssize_t got, const char* chunk, ScanProgress& progress, ScanBuffer& scan,
                       bool dump_with_leading_blanks);
    // A scan is complete: notes whether it ended in a CR whose LF may follow
    // in the next read.
    ReadStep Complete(const ScanBuffer& scan);
    // Drops a complete scan that had a read error or outgrew its array, and
    // flushes the port; false when the scan is good to deliver.
    bool DropBadScan(const ScanProgress& progress, const ScanBuffer& scan);
    // Converts a good scan into `text`, whole, however much its character set
    // grows in conversion; false when the conversion failed.
    bool ConvertScan(ScanBuffer& scan, std::string& text);
    // Hands an event to the callback, if one is set.
    void Report(int code, std::string text = std::string());
    // Hands a scan to the callback, and says so on standard output: with its
    // text, or its size alone where scans are kept out of the log.
    void ReportScan(const std::string& text);

    bool m_lf_pending = false;  // the read loop's: the last scan ended in a CR
    // The read loop's, for the open HID or keyboard scanner.
    std::unique_ptr<HidPosLayout> m_hid;
    std::string m_hid_scan;  // a barcode whose last report is still to come
    std::unique_ptr<KeyText> m_keys;
    std::string m_key_events;  // the bytes of an input event not yet whole
    std::mutex m_plug_mutex;   // guards m_plug_node
    std::mutex m_nap_mutex;
    std::condition_variable m_nap_cv;
    bool m_nap_woken = false;  // guarded by m_nap_mutex
    UniqueFd m_wake;           // eventfd that interrupts the hotplug wait
    UniqueFd m_read_wake;      // eventfd set by WakeReadLoop
    std::atomic<bool> m_hotplug_quit{false};
    pthread_t m_hotplug_thread{};
    bool m_hotplug_running = false;  // only the reading thread touches it
};
