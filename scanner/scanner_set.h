#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dev_node.h"
#include "scan_source.h"
#include "scanner_options.h"
#include "unique_fd.h"

struct udev_device;
struct udev_monitor;

// One scanner that the set serves, as others see it.
struct ScannerInfo {
    std::string name;  // unique among the scanners served
    ScannerKind kind = ScannerKind::kSerial;
    std::string devname;
    uint32_t vid = 0;
    uint32_t pid = 0;
    unsigned orders = 0;        // what it can be told (OrderBit), once open
    bool auto_disable = false;  // disabled after each scan, as its entry says
};

// Every supported scanner at once, each of any kind (ServeAllScanners): the
// scanners present at start and those plugged in later, up to kMaxScanners.
// Each is served on a thread of its own, which opens it (trying again while
// its port won't open), reads it through the source of its kind and closes
// it when it goes; its scans never mix with another's. The hotplug monitor
// runs on the thread that calls Serve.
class ScannerSet {
  public:
    static constexpr size_t kMaxScanners = 16;

    // What the set tells; each on the thread of the scanner concerned, in
    // the order its events happen: opened, its scans, gone.
    struct Events {
        std::function<void(const ScannerInfo&)> opened;
        std::function<void(const ScannerInfo&, Scan)> scan;
        std::function<void(const ScannerInfo&)> gone;
        // A scan not delivered, and why; each try to open the scanner
        // (retry: a try again after a failure).
        std::function<void(const ScannerInfo&, ScanDrop)> dropped;
        std::function<void(const ScannerInfo&, bool opened, bool retry)> open_tried;
        // An order that could not be written to the scanner (its line said).
        std::function<void(const ScannerInfo&, ScannerOrder)> order_failed;
        // The scanners open, or why one is not, changed (for a status line).
        std::function<void()> changed;
    };

    ScannerSet(const SourceSettings& settings, const ScannerOptions& options, Events events);
    ~ScannerSet();  // Stop(), and every thread joined
    ScannerSet(const ScannerSet&) = delete;
    ScannerSet& operator=(const ScannerSet&) = delete;

    // Serves until Stop(): 0 then, or -1 at once when udev can't be watched
    // (its line said).
    int Serve();
    // Ends Serve and every scanner's service; any thread.
    void Stop();

    // The scanners open now, in the order they were found.
    std::vector<ScannerInfo> Open() const;
    // Tells the open scanner of that name to carry out the order, on its
    // thread, without waiting for it; -1 where none of that name is open.
    // Any thread.
    int Order(const std::string& name, ScannerOrder order);
    // Why a scanner found is not open ("cannot open /dev/ttyACM0 (Device or
    // resource busy), retrying"); empty when all are.
    std::string Trouble() const;

  private:
    // One scanner found, and the thread that serves it.
    struct Served {
        tag_dev_online_node node;
        // udev lists it and its thread serves it; false once either ends,
        // before its thread says that it is gone.
        std::atomic<bool> present{true};
        std::atomic<bool> done{false};  // its thread has ended
        UniqueFd wake;                  // eventfd that ends its thread's waits
        std::thread thread;
        bool open = false;                 // guarded by m_mutex
        std::string trouble;               // guarded by m_mutex
        std::vector<ScannerOrder> orders;  // guarded by m_mutex: not carried out yet
        // Its thread's own: reading was told off; an enable that failed is
        // owed (tried again each second: a lane must not stay dead).
        bool held = false;
        bool enable_owed = false;
    };

    void Watch(udev_monitor* monitor);
    void OnDevice(udev_device* device);
    // Serves a scanner that was found, unless it is served already or
    // kMaxScanners are (then it is looked for again once one goes).
    void Add(tag_dev_online_node node);
    // A name that no scanner served has: the node's, or it with "-2", "-3"...
    std::string UniqueName(const tag_dev_online_node& node) const;  // under m_mutex
    void Remove(const std::string& devname);
    // Takes out the scanners whose service ends (their thread has ended,
    // or was told to: `all`), and joins their threads.
    void Reap(bool all);
    // The scanners refused for want of room that udev still lists are
    // served, as far as there is room now.
    void AddRefused();
    // A scanner's thread: open, read until it goes, close.
    void ServeOne(Served& served);
    // Opens the scanner, trying again while it is present; false once it is
    // gone or the set stops.
    bool OpenOne(Served& served, const ScannerInfo& info, ScanSource& source);
    void SetTrouble(Served& served, const std::string& trouble);
    // Carries out the orders given meanwhile, and an enable owed; the
    // scanner's thread.
    void CarryOrders(Served& served, const ScannerInfo& info, ScanSource& source);
    bool Wanted(const Served& served) const { return !m_stopping && served.present; }
    // Waits up to ms milliseconds (-1: for good) for the descriptor, or for
    // the served scanner's wake; true when the descriptor is readable.
    static bool WaitFor(int fd, const Served& served, int ms);
    static void Wake(const UniqueFd& eventfd);

    const SourceSettings m_settings;
    const ScannerOptions m_options;
    const Events m_events;

    std::atomic<bool> m_stopping{false};
    UniqueFd m_wake;  // ends the monitor's wait: a stop, or a thread that ended
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Served>> m_served;  // guarded by m_mutex
    // The nodes of the scanners refused while kMaxScanners were served.
    // Hotplug thread only.
    std::vector<std::string> m_refused;
};
