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
#include "scan_source.h"
#include "scanner_options.h"
#include "unique_fd.h"

// Receives the read loops' events: 0 a scan (the converted text), 1 a scanner
// was opened, 2 the open scanner is gone, -1 the polling reader was stopped,
// -2 the polling reader lost its scanner. Called on the read loop's thread.
typedef void (*ScanCallback)(int code, std::string text);

// Told, on the read loop's thread, when the announced scanner's port can't be
// opened and is being tried again ("cannot open /dev/ttyUSB0 (Device or
// resource busy), retrying"), and with an empty text once that is over.
typedef void (*TroubleCallback)(const std::string& status);

// Told, on the read loop's thread, of a scan that was dropped and why; and of
// each try to open the announced scanner (retry: a try again after a failure).
typedef void (*DropCallback)(ScanDrop reason);
typedef void (*OpenTriedCallback)(bool opened, bool retry);

// The scanner, one a run: its serial settings and port, the device announced
// by the hotplug thread and the one whose port is open, and the read loops.
// The scanner is a tty, a HID point-of-sale scanner (hidraw) or a
// keyboard-mode scanner (evdev) that the configuration lists; once it is
// announced the read loop opens it as a ScanSource of its kind, which frames
// its scans.
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
    // point-of-sale scanners, then listed keyboards; with `say_unlisted`, a
    // line for each scanner in keyboard mode that no entry lists.
    int EnumOnLineScanners(std::vector<tag_dev_online_node>& nodes, bool say_unlisted = false);
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
    DropCallback m_drop_callback = nullptr;
    OpenTriedCallback m_open_tried_callback = nullptr;

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
    // What one pass of the hotplug thread does with one udev event or the
    // start-up enumeration.
    void OnHotplugCandidate(const tag_dev_online_node& candidate);
    void HotplugLoop(struct udev_monitor* monitor);
    void WakeHotplug();
    void StopHotplugMonitor();

    // Opens the announced scanner, as Open_monitor does; says why it failed
    // (on standard error) only when `report`.
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
        std::string devname;  // the scanner tried
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

    // What the sources of the read loop are told.
    SourceSettings Settings() const;
    // Hands an event to the callback, if one is set.
    void Report(int code, std::string text = std::string());
    // Tells the drop callback, if one is set.
    void Dropped(ScanDrop reason);
    // Hands a scan to the callback, and says so on standard output: with its
    // text, or its size alone where scans are kept out of the log.
    void ReportScan(const std::string& text);

    // The read loop's: the open scanner, of whichever kind.
    std::unique_ptr<ScanSource> m_source;
    std::mutex m_plug_mutex;  // guards m_plug_node
    std::mutex m_nap_mutex;
    std::condition_variable m_nap_cv;
    bool m_nap_woken = false;  // guarded by m_nap_mutex
    UniqueFd m_wake;           // eventfd that interrupts the hotplug wait
    UniqueFd m_read_wake;      // eventfd set by WakeReadLoop
    std::atomic<bool> m_hotplug_quit{false};
    pthread_t m_hotplug_thread{};
    bool m_hotplug_running = false;  // only the reading thread touches it
    std::string m_gone_devname;      // the hotplug thread's: a removal to look past
};
