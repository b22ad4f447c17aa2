#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "network_policy.h"

struct lws;
struct lws_context;
struct lws_context_creation_info;

// The receive and close callbacks: what a connection sent (at most
// kKeptMessageBytes of it, zero-terminated; size is the whole message's),
// and its end.
typedef void* (*RecvCallback)(lws* conn, char* text, int size, void* user);
typedef void* (*CloseCallback)(lws* conn);

// One set for the process, installed before the server thread starts.
extern RecvCallback callbackfunc;
extern CloseCallback callbackWebClose;
extern void* pWebServer;

// A WebSocket listener on all IPv4 interfaces, served by libwebsockets on the
// thread that calls setupWebsocketServer. Connections are the library's own
// handles; they are only valid on the server thread, so the other threads
// never touch them: doSendText queues a copy of the frame and wakes the
// server thread, which writes it if (and only if) that same connection is
// still open.
class WebsocketControl {
  public:
    WebsocketControl();
    ~WebsocketControl();
    WebsocketControl(const WebsocketControl&) = delete;
    WebsocketControl& operator=(const WebsocketControl&) = delete;

    int SocketLinkRecvSetCallback(RecvCallback callback, void* user);
    int SocketLinkCloseSetCallback(CloseCallback callback);
    // Where to listen and which pages to serve; before setupWebsocketServer.
    // Always 0.
    int SetNetworkPolicy(const NetworkPolicy& policy);

    // Listens on the port (decimal text, 1 to 65535) and serves until
    // closeWebsocketServer. 0 when served (or already serving), -1 when the
    // listener can't be set up: at once when the configuration rules it out
    // (a bad port or bind address, a restriction in a file that could not be
    // read), and otherwise once a close came while it was tried again every
    // kListenRetryMillis (the address is not there yet, the port is taken).
    // Standard error names the address and the origins served once it
    // listens. Connections are capped below the descriptor limit, with room
    // kept for the scanner's own descriptors: at the cap, new clients wait in
    // the listen queue until one leaves.
    int setupWebsocketServer(const char* port);
    // Why there is no listener ("Address already in use"); empty while it
    // listens or before it was tried.
    std::string Problem();
    // Stops the loop and waits until the server thread has released the
    // library; a setup under way on another thread returns without serving.
    // A later setupWebsocketServer serves again. Always 0.
    int closeWebsocketServer();
    // The daemon is stopping: every connection is closed with 1001 (going
    // away) once the frames queued for it are written, and new frames are
    // refused. Waits up to wait_ms for the connections to go; the loop serves
    // on until closeWebsocketServer. Always 0.
    int goAway(int wait_ms);

    // Queue one frame for a connection; any thread. 0 when queued, -1 when
    // the connection is closed (or the server is not serving).
    int doSendText(lws* conn, char* data, int length);
    int doSendBinary(lws* conn, char* data, int length);

    // Handlers, run on the server thread.
    static int on_connection_opened(lws_context* ctx, lws* conn, void* user);
    static void __nopoll_regression_on_close(lws_context* ctx, lws* conn, void* user);

    // The library's callback for every event of the scan protocol.
    static int Callback(lws* wsi, int reason, void* user, void* in, size_t len);

    // 1 while serving, -1 when the last setup could not listen, -2 while a
    // listener that could not be set up is tried again, else 0.
    std::atomic<int> m_started{0};

    // How much of a message is kept for the receive callback: more than any
    // request a page makes.
    static constexpr size_t kKeptMessageBytes = 16384;
    // Per-connection queue bound: a client that stops reading is closed when
    // this much is waiting for it.
    static constexpr size_t kMaxQueuedBytes = 1 << 20;
    // Bound of the frames handed over by other threads and not yet taken.
    static constexpr size_t kMaxInboxBytes = 64 << 20;
    // Descriptors kept back from the connections for the rest of the
    // process: up to 16 scanners with their wake descriptors, the metrics
    // listener and its clients, udev, the relay and the rest.
    static constexpr unsigned kReservedDescriptors = 128;
    // How often a listener that could not be set up is tried again.
    static constexpr int kListenRetryMillis = 2000;

  private:
    struct Frame {
        uint64_t id;  // the connection's; frames for a closed one are dropped
        bool binary;
        std::shared_ptr<const std::string> bytes;
    };
    struct Connection {
        lws* wsi = nullptr;
        std::deque<Frame> queue;
        size_t queued_bytes = 0;
        bool closing = false;                              // we close it: it stopped reading
        bool peer_closed = false;                          // it sent its close
        std::chrono::steady_clock::time_point last_heard;  // a message or a pong
        std::string message;      // the message being received, its first bytes
        size_t message_size = 0;  // its whole size
    };

    // Runs the library's loop until closeWebsocketServer, then releases it.
    void Serve(lws_context* ctx);
    // Why the configuration rules a listener out; empty when it does not.
    std::string RefusalOf(const char* port) const;
    // "any origin", or "origins https://a.example, https://b.example".
    std::string OriginsText() const;
    void SetProblem(const std::string& problem);

    int Send(lws* conn, char* data, int length, bool binary);
    void TakeInbox();
    // Closes a page that reads too slowly to be sent more (server thread).
    void Drop(Connection& conn);
    void Receive(lws* wsi, uint64_t id, const char* in, size_t len);
    int Write(lws* wsi, uint64_t id);
    void Closed(lws* wsi, uint64_t id);
    // The page said something (a message, a pong), or sent its close.
    void Heard(uint64_t id, bool closing);
    // The handshake check of the Origin header against the allowed origins.
    bool AcceptHandshake(lws* wsi) const;

    // Set before the server thread starts, read-only afterwards.
    NetworkPolicy m_policy;

    // Server thread only.
    std::unordered_map<uint64_t, Connection> m_conns;
    bool m_saying_goodbye = false;  // goAway was seen: close each page once written
    uint64_t m_next_id = 0;
    std::vector<unsigned char> m_write_buffer;

    // Shared with the other threads.
    std::mutex m_mutex;
    std::condition_variable m_changed;          // the loop ended, or a connection went
    lws_context* m_ctx = nullptr;               // set while the loop runs
    bool m_setting_up = false;                  // setupWebsocketServer makes or retries the context
    bool m_closing = false;                     // closeWebsocketServer waits for the loop or setup
    bool m_going_away = false;                  // goAway was called
    std::string m_problem;                      // why there is no listener
    std::unordered_map<lws*, uint64_t> m_live;  // open connections and their ids
    std::vector<Frame> m_inbox;
    size_t m_inbox_bytes = 0;         // each frame's bytes once, however many pages get it
    std::vector<uint64_t> m_dropped;  // pages whose frame found the inbox full
    std::shared_ptr<const std::string> m_last_frame;  // shared by a broadcast's copies
};

// Runs on the server thread for every complete message.
void listener_on_message(lws_context* ctx, lws* conn, const char* payload, size_t stored,
                         size_t size, void* user);
