#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Tells systemd how the service stands, when a unit of Type=notify started it
// (NOTIFY_SOCKET is set; without it nothing is sent at all): READY=1 once the
// listener is set up, or once it is known that it can't be (the daemon reads
// scans all the same, and must neither time out nor be restarted in a loop),
// and a STATUS= line for `systemctl status`:
//   "waiting for a scanner"
//   "cannot open /dev/ttyUSB0 (Device or resource busy), retrying"
//   "serving /dev/ttyUSB0 (1a86:7523) to 2 pages"
//   "serving 2 scanners (goods /dev/ttyACM0, payment /dev/hidraw1) to 3 pages"
//   (every scanner served at once), and after it why one is not open yet
//   "no listener on port 9010 (Address already in use), retrying; " and one
//   of the three above
// The status is sent when it changes, once a second at most, from a thread of
// the notifier's own.
class ServiceNotifier {
  public:
    // The listener's state: 0 not known yet, 1 listening, -1 failed, -2
    // failed and tried again; and why it failed, into `problem`.
    using ListenerState = std::function<int(std::string& problem)>;
    // How many pages are registered for scans.
    using PageCount = std::function<size_t()>;

    ServiceNotifier() = default;
    ~ServiceNotifier();  // Stop()
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // Starts the thread, which asks the two functions how things stand; they
    // must stay callable until this object goes. Nothing when systemd does
    // not listen.
    void Start(const std::string& port, ListenerState listener, PageCount pages);
    // Ends the thread: the two functions are not asked again.
    void Stop();
    // The read loop's news; any thread.
    void ScannerOpened(const std::string& node, unsigned vid, unsigned pid);
    void ScannerGone();
    // The announced scanner's port won't open and is tried again (the status
    // to show); empty once that is over.
    void ScannerTrouble(const std::string& status);
    // Every scanner served at once: those open now ("goods /dev/ttyACM0"
    // each), and why one that was found is not open (or empty).
    void ScannersServed(const std::vector<std::string>& open, const std::string& trouble);
    // What is wrong with the wss:// certificate's dates, said after the rest
    // of the status; empty once all is well.
    void CertificateWarning(const std::string& warning);

  private:
    void Run();
    // Under m_mutex.
    std::string Status(int listener, const std::string& problem, size_t pages) const;

    std::string m_port;
    ListenerState m_listener;
    PageCount m_pages;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_quit = false;     // guarded by m_mutex
    bool m_changed = false;  // guarded by m_mutex
    std::string m_scanner;   // guarded by m_mutex: "/dev/ttyUSB0 (1a86:7523)", or empty
    std::string m_trouble;   // guarded by m_mutex: why the scanner is not open yet, or empty
    bool m_all = false;      // guarded by m_mutex: every scanner served at once
    std::vector<std::string> m_open;  // guarded by m_mutex: the scanners then open
    std::string m_certificate;        // guarded by m_mutex: its warning, or empty
};
