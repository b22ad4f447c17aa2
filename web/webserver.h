#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "page_protocol.h"
#include "page_tokens.h"
#include "scan_keeper.h"
#include "websocket_control.h"

// The scan message, "Source", "Symbology" and "Id" after "Data" where given.
std::string ScanMessage(int code, unsigned long size, const std::string& text,
                        const std::string& source, const std::string& symbology,
                        const std::string& id);

// The web side of the daemon: the WebSocket server on a thread of its own,
// the list of clients that asked for scans, and the count of open scanners.
// A client registers by sending any non-empty message while a scanner is
// open (later messages change nothing); while none is, it is told so with
// the -2 message instead.
class CWebServer {
  public:
    CWebServer();
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Starts the server thread on the port; 0, or -2 when the thread can't be
    // created. The listener is set up on that thread.
    int StartSocetServers(const char* port);
    // Ends the server: the library is released on its thread, and the thread
    // joined. The destructor does it too, but too late for the end of the
    // process: exit() tears down OpenSSL before the destructors of static
    // objects run. Always 0.
    int StopSocetServers();
    // Event 1 and 2 count open scanners; any other event goes to every
    // registered client as a scan message: a text frame, or a binary frame
    // of the same bytes where they are not UTF-8. Always 0.
    int SendStringToWeb(int code, std::string text);
    // The listener: 1 listening, -1 it could not be set up, -2 it is tried
    // again, 0 not yet known.
    int ListenerState() const;
    // Why there is no listener ("Address already in use"), or empty.
    std::string ListenerProblem() const;
    // How many pages are registered for scans.
    static size_t RegisteredPages();
    // The daemon is stopping: pages get what was sent to them, then a close
    // with 1001 (going away); waits up to wait_ms for them to go. Always 0.
    int SayGoingAway(int wait_ms);
    // The scan message: a formatted JSON object. Empty when it can't be built.
    std::string enJsonFormat(int code, unsigned long size, std::string text);

    // Every scanner served at once (ServeAllScanners): a page is registered
    // by its first message whether or not a scanner is open, may choose its
    // scanners (SUBSCRIBE) and ask which are open (SCANNERS), and is told
    // when one it wants opens or goes. Each scan names its scanner (and its
    // symbology, where known), carries its Id ("<run>:<seq>") and goes to
    // the pages that want it; it is kept a while for pages that come back
    // (a SUBSCRIBE with "After"), which get what they missed, or are told
    // (GAP) that they may have missed scans.
    //
    // A page may also tell a scanner of its list to give a signal (SIGNAL),
    // or to stop and start reading (DISABLE, ENABLE). A disabled scanner's
    // scans are dropped (SendScanToWeb says -1) and answered with its error
    // signal; it stays disabled until a page enables it, or every page that
    // disabled it has gone, or it goes. One whose entry says AutoDisable is
    // disabled after each scan it delivers, on behalf of the pages that got
    // it, until one enables it (or sends the good signal).
    int ScannerOpened(const ServedScanner& scanner);
    int ScannerGone(const ServedScanner& scanner);
    // 0 once handed on to the pages; -1 where the scanner is disabled and
    // the scan was dropped (said on standard output). A payment code is kept
    // 60 s at most, whatever KeepScans says.
    int SendScanToWeb(const std::string& source, std::string text, const std::string& symbology,
                      bool payment_code = false);
    // Set before StartSocetServers.
    bool m_serve_all = false;
    int m_keep_scans_seconds = 10;  // 0: none kept
    // A scan that reached no page by the time it was no longer kept, by its
    // scanner's name; on the keeper's thread, or the scanner's, no lock held.
    std::function<void(const std::string& source)> m_unreached;
    // A scanner is to be told an order ("good", "error", "not-on-file",
    // "disable", "enable"): it must not wait, as m_conn_mutex is held (that
    // lock is taken before any of the scanner side's, never after).
    std::function<void(const std::string& source, const char* order)> m_order;

    static void* socketPthreadStart(void* server);
    static void* socketPthreadGetDataCall(lws* conn, char* text, int size, void* user);
    static void* socketPthreadCloseConn(lws* conn);

    std::atomic<int> m_gun_count{0};
    std::string m_port = "9010";
    // Handed to the WebSocket server when it starts.
    NetworkPolicy m_policy;
    WebsocketControl* m_ws_control = nullptr;

    // The registered clients, in the order they registered, each once.
    // Guarded by m_conn_mutex.
    static std::vector<lws*>& m_conn_list;
    static std::mutex m_conn_mutex;
    // What each registered client chose (SUBSCRIBE) and was sent, when
    // every scanner is served at once. Guarded by m_conn_mutex.
    struct Page {
        std::vector<std::string> sources;  // empty: every scanner
        uint64_t last_seq = 0;             // the last scan queued for it
        // With page tokens: its token was valid, until then, and the
        // scanners it allows (where it is limited).
        bool admitted = false;
        std::chrono::steady_clock::time_point admitted_until;
        bool limited = false;
        std::vector<std::string> allowed;
    };
    static std::unordered_map<lws*, Page>& m_pages;

  private:
    // Sends the message to every registered client (that wants `source`,
    // where one is given): in a text frame, or a binary frame of the same
    // bytes where they are not UTF-8.
    void Broadcast(std::string& message, const std::string& source = std::string());
    // Sends one frame to one client: a text frame where it is UTF-8 (as
    // `utf8` says, where given), else a binary one; false where it is not
    // queued (the connection is closing). Under m_conn_mutex.
    bool SendTo(lws* conn, std::string& message);
    bool SendTo(lws* conn, std::string& message, bool utf8);
    // A message from a client when every scanner is served at once. Under
    // m_conn_mutex.
    void TakePageRequest(lws* conn, const char* text, size_t size);
    // Adds the client to the list, once: true where it was not listed yet.
    // Under m_conn_mutex.
    bool Register(lws* conn);
    // A SUBSCRIBE with After: a GAP where scans it wants may be lost, then
    // the kept ones after After that it was not sent yet. Under m_conn_mutex.
    void Resume(lws* conn, Page& page, const PageRequest& request);
    // A page's SIGNAL, DISABLE or ENABLE: the refusal's reason, or empty
    // once done. Under m_conn_mutex.
    std::string TakeOrder(lws* conn, const PageRequest& request);
    // The open scanner of that name, or null. Under m_conn_mutex.
    const ServedScanner* OpenScanner(const std::string& name) const;
    // Reading off for the page (or, with null, for the pages given), or on.
    // Under m_conn_mutex.
    void Disable(const ServedScanner& scanner, const std::vector<lws*>& pages, bool automatic);
    void Enable(const ServedScanner& scanner);
    // With page tokens: whether the page may go on with its request (a
    // SUBSCRIBE with a valid token admits it, and may have its Sources
    // filled in from the token's); else it was told why (ERROR -5). Under
    // m_conn_mutex.
    bool Admit(lws* conn, PageRequest& request);
    // A page no longer admitted: out of the list, its holds let go. Under
    // m_conn_mutex.
    void Unregister(lws* conn);
    // Lets go of the scanners that the page holds disabled (those no longer
    // in `page`'s list, where one is given), where it was the last. Under
    // m_conn_mutex.
    void ReleaseHolds(lws* conn, const Page* page = nullptr);
    // Forgets the kept scans whose time is up, and ends the pages whose
    // token expires, on time; its own thread.
    void TimeLoop();
    // Says and tells each scan that reached no page. No lock held.
    void TellUnreached(const std::vector<std::string>& sources);

    std::vector<ServedScanner> m_scanners;  // guarded by m_conn_mutex: those open
    // The scanners disabled, by name, and the pages on whose behalf: each
    // stays disabled while one of them is connected. Guarded by m_conn_mutex.
    struct Held {
        std::vector<lws*> pages;
        bool automatic = false;  // after its last scan (AutoDisable)
    };
    std::unordered_map<std::string, Held> m_disabled;
    // Guarded by m_conn_mutex: the scans numbered so far in this run, and
    // those kept.
    std::string m_run;  // this run: 16 lowercase hexadecimal digits, random
    uint64_t m_seq = 0;
    ScanKeeper m_kept;
    PageTokens m_tokens;  // loaded before the server thread starts
    std::thread m_keeper;
    std::condition_variable m_keeper_wake;
    bool m_keeper_stop = false;

    pthread_t m_thread{};
    bool m_thread_running = false;
};
