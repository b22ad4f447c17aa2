#include "websocket_control.h"

#include "metrics.h"
#include "page_protocol.h"
#include "tls_files.h"

#include <libwebsockets.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

RecvCallback callbackfunc = nullptr;
CloseCallback callbackWebClose = nullptr;
void* pWebServer = nullptr;

namespace {

// What the library keeps for each connection of ours.
struct Session {
    uint64_t id;  // 0 until the connection is established
};

int ServiceCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    return WebsocketControl::Callback(wsi, reason, user, in, len);
}

// Every client, whatever it asks for (or not), is served by the first protocol.
const lws_protocols kProtocols[] = {
    {"tavitty-scan", ServiceCallback, sizeof(Session), 4096, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// Peers that have gone silent are pinged, and dropped when they don't answer.
constexpr uint16_t kHangUpSeconds = 40;
const lws_retry_bo_t kIdlePolicy = {
    nullptr, 0, 0, /* secs_since_valid_ping */ 30, /* secs_since_valid_hangup */ kHangUpSeconds, 0};

// Why the listener could not be made, as far as a bind of our own can tell:
// the library says only that it failed.
std::string BindProblem(const char* address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::strerror(errno);
    }
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &where.sin_addr);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // as the library binds
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    const int error = errno;
    close(fd);
    return bound ? "see the log" : std::strerror(error);
}

void LogToStderr(int, const char* line) {
    std::fputs(line, stderr);
}

// How many descriptors the library may use for its listener and connections:
// the process's limit less a reserve for the scanner side (port, udev, wake
// descriptors). At that count the library stops accepting until one closes,
// so running out of descriptors never turns into a failing accept loop.
unsigned ConnectionDescriptorCap() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;  // the library's own choice
    }
    const rlim_t floor = 2 * WebsocketControl::kReservedDescriptors;
    const rlim_t usable = limit.rlim_cur > floor ? limit.rlim_cur : floor;
    return static_cast<unsigned>(usable - WebsocketControl::kReservedDescriptors);
}

}  // namespace

WebsocketControl::WebsocketControl() {
    callbackfunc = nullptr;
    callbackWebClose = nullptr;
}

WebsocketControl::~WebsocketControl() {
    closeWebsocketServer();
    callbackfunc = nullptr;
    callbackWebClose = nullptr;
}

int WebsocketControl::SocketLinkRecvSetCallback(RecvCallback callback, void* user) {
    callbackfunc = callback;
    pWebServer = user;
    return 0;
}

int WebsocketControl::SocketLinkCloseSetCallback(CloseCallback callback) {
    callbackWebClose = callback;
    return 0;
}

int WebsocketControl::SetNetworkPolicy(const NetworkPolicy& policy) {
    m_policy = policy;
    return 0;
}

int WebsocketControl::setupWebsocketServer(const char* port) {
    if (m_started == 1) {
        return 0;
    }
    std::puts("setup websocket");

    // A client that vanishes while we write to it never ends the process: the
    // library sends with MSG_NOSIGNAL.
    // Before the context exists: errors only, and never on standard output.
    lws_set_log_level(LLL_ERR, LogToStderr);

    lws_context_creation_info info;
    std::memset(&info, 0, sizeof info);
    // The library itself takes 0 for "any port" and -1 for "no listener".
    info.port = ParsePortText(port);
    info.iface = m_policy.bind_address.empty() ? "0.0.0.0" : m_policy.bind_address.c_str();
    info.fd_limit_per_thread = ConnectionDescriptorCap();
    info.protocols = kProtocols;
    info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
    info.retry_and_idle_policy = &kIdlePolicy;
    info.user = this;
    if (m_policy.tls) {
        // wss:// alone: a handshake in plain text fails.
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        info.ssl_cert_filepath = m_policy.tls_certificate.c_str();
        info.ssl_private_key_filepath = m_policy.tls_private_key.c_str();
    }

    // What the configuration rules out is not tried at all, and never again.
    const std::string refused = RefusalOf(port);
    if (!refused.empty()) {
        std::puts("ERROR: Expected to find proper listener connection status, but found..");
        std::fprintf(stderr, "no listener on port %s: %s\n", port, refused.c_str());
        SetProblem(refused);
        m_started = -1;
        return -1;
    }
    // What may pass (an address the box does not have yet, a port another
    // program holds for a while) is tried again every kListenRetryMillis.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_setting_up = true;
    }
    for (bool first = true;; first = false) {
        // The library says why a try failed the first time only: one line
        // every 2 s would fill the journal while the port stays taken.
        lws_set_log_level(first ? LLL_ERR : 0, LogToStderr);
        lws_context* ctx = lws_create_context(&info);
        lws_set_log_level(LLL_ERR, LogToStderr);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (ctx != nullptr) {
            const bool serve = !m_closing;
            m_setting_up = false;
            m_closing = false;  // a close that came meanwhile is done with
            if (!serve) {
                lock.unlock();
                lws_context_destroy(ctx);
                return 0;
            }
            m_ctx = ctx;
            m_problem.clear();
            m_started = 1;
            Metrics::Get().listener_up = 1;
            lock.unlock();
            std::fprintf(stderr, "listening on %s:%d for %s%s\n", info.iface, info.port,
                         OriginsText().c_str(), m_policy.tls ? " (wss:// only)" : "");
            if (!m_policy.page_tokens.enabled && std::strncmp(info.iface, "127.", 4) != 0) {
                std::fprintf(stderr,
                             "listening beyond loopback without PageTokens: any program on the "
                             "network can read every scan, payment codes included; set "
                             "PageTokens (and wss://)\n");
            }
            Serve(ctx);
            return 0;
        }
        if (!m_closing) {
            m_problem = BindProblem(info.iface, info.port);
            m_started = -2;
            ++Metrics::Get().listener_failures;
            if (first) {
                std::puts("ERROR: Expected to find proper listener connection status, but found..");
                std::fprintf(stderr, "no listener on %s:%d (%s), trying again every %d s\n",
                             info.iface, info.port, m_problem.c_str(), kListenRetryMillis / 1000);
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(kListenRetryMillis),
                               [this] { return m_closing; });
        }
        if (m_closing) {
            m_setting_up = false;
            m_closing = false;
            return -1;
        }
    }
}

void WebsocketControl::Serve(lws_context* ctx) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closing) {
                break;
            }
        }
        lws_service(ctx, 0);
    }
    // Destroying the context closes every connection, through our callback,
    // on this thread; only then may the other threads stop waiting for it.
    Metrics::Get().listener_up = 0;
    lws_context_destroy(ctx);
    m_conns.clear();
    m_saying_goodbye = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ctx = nullptr;
        m_closing = false;
        m_going_away = false;
        m_live.clear();
        m_inbox.clear();
        m_inbox_bytes = 0;
        m_dropped.clear();
    }
    m_changed.notify_all();
}

std::string WebsocketControl::RefusalOf(const char* port) const {
    return ListenerProblem(m_policy, port);
}

std::string WebsocketControl::OriginsText() const {
    if (m_policy.allowed_origins.empty()) {
        return "any origin";
    }
    std::string text = "origins";
    for (const std::string& origin : m_policy.allowed_origins) {
        text += (text.size() == 7 ? " " : ", ") + origin;
    }
    return text;
}

void WebsocketControl::SetProblem(const std::string& problem) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_problem = problem;
}

std::string WebsocketControl::Problem() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_problem;
}

int WebsocketControl::closeWebsocketServer() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_ctx != nullptr) {
        m_closing = true;
        lws_cancel_service(m_ctx);
        m_changed.wait(lock, [this] { return m_ctx == nullptr; });
    } else if (m_setting_up) {
        m_closing = true;  // seen by the setup once its context is made, or as it waits
        m_changed.notify_all();
    }
    m_started = 0;
    return 0;
}

int WebsocketControl::goAway(int wait_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_ctx == nullptr) {
        return 0;
    }
    m_going_away = true;
    lws_cancel_service(m_ctx);
    m_changed.wait_for(lock, std::chrono::milliseconds(wait_ms),
                       [this] { return m_live.empty() || m_ctx == nullptr; });
    return 0;
}

int WebsocketControl::doSendText(lws* conn, char* data, int length) {
    std::puts("call websocket doSend");
    return Send(conn, data, length, false);
}

int WebsocketControl::doSendBinary(lws* conn, char* data, int length) {
    std::puts("call websocket doSend");
    return Send(conn, data, length, true);
}

int WebsocketControl::Send(lws* conn, char* data, int length, bool binary) {
    if (length < 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto live = m_live.find(conn);
    if (m_ctx == nullptr || m_closing || m_going_away || live == m_live.end()) {
        return -1;
    }
    // A broadcast hands the same bytes over once per client: keep one copy,
    // and count it once.
    const bool same = m_last_frame && m_last_frame->size() == static_cast<size_t>(length) &&
                      std::memcmp(m_last_frame->data(), data, static_cast<size_t>(length)) == 0;
    if (!same && m_inbox_bytes + static_cast<size_t>(length) > kMaxInboxBytes) {
        // The server thread is that far behind: this page is dropped rather
        // than silently skipped, and comes back for what it missed.
        m_dropped.push_back(live->second);
        lws_cancel_service(m_ctx);
        return -1;
    }
    if (!same) {
        m_last_frame = std::make_shared<const std::string>(data, static_cast<size_t>(length));
        m_inbox_bytes += static_cast<size_t>(length);
    }
    const bool wake = m_inbox.empty();
    m_inbox.push_back({live->second, binary, m_last_frame});
    if (wake) {
        lws_cancel_service(m_ctx);
    }
    return 0;
}

// Server thread: moves the frames handed over into their connections' queues.
void WebsocketControl::TakeInbox() {
    std::vector<Frame> frames;
    std::vector<uint64_t> dropped;
    bool going_away;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        frames.swap(m_inbox);
        dropped.swap(m_dropped);
        m_inbox_bytes = 0;
        m_last_frame.reset();
        going_away = m_going_away;
    }
    for (const uint64_t id : dropped) {
        const auto found = m_conns.find(id);
        if (found != m_conns.end() && !found->second.closing) {
            Drop(found->second);
        }
    }
    for (Frame& frame : frames) {
        const auto found = m_conns.find(frame.id);
        if (found == m_conns.end() || found->second.closing) {
            continue;  // closed since: the frame goes nowhere
        }
        Connection& conn = found->second;
        if (conn.queued_bytes + frame.bytes->size() > kMaxQueuedBytes) {
            Drop(conn);  // it doesn't read: closed rather than held ever more for
            continue;
        }
        conn.queued_bytes += frame.bytes->size();
        conn.queue.push_back(std::move(frame));
        lws_callback_on_writable(conn.wsi);
    }
    if (going_away && !m_saying_goodbye) {
        // After the frames handed over before: each page gets its close once
        // its queue is written.
        m_saying_goodbye = true;
        for (auto& entry : m_conns) {
            lws_callback_on_writable(entry.second.wsi);
        }
    }
}

void WebsocketControl::Drop(Connection& conn) {
    conn.closing = true;
    ++Metrics::Get().pages_dropped_slow;
    conn.queue.clear();
    conn.queued_bytes = 0;
    lws_set_timeout(conn.wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

int WebsocketControl::Write(lws* wsi, uint64_t id) {
    const auto found = m_conns.find(id);
    if (found == m_conns.end()) {
        return 0;
    }
    Connection& conn = found->second;
    if (conn.queue.empty()) {
        if (!m_saying_goodbye) {
            return 0;
        }
        lws_close_reason(wsi, LWS_CLOSE_STATUS_GOINGAWAY, nullptr, 0);
        return -1;
    }
    const Frame frame = std::move(conn.queue.front());
    conn.queue.pop_front();
    conn.queued_bytes -= frame.bytes->size();
    const std::string& bytes = *frame.bytes;
    m_write_buffer.resize(LWS_PRE + bytes.size());
    std::memcpy(m_write_buffer.data() + LWS_PRE, bytes.data(), bytes.size());
    const int written = lws_write(wsi, m_write_buffer.data() + LWS_PRE, bytes.size(),
                                  frame.binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT);
    if (written < static_cast<int>(bytes.size())) {
        return -1;  // the connection is closed
    }
    ++Metrics::Get().messages_sent;
    if (!conn.queue.empty() || m_saying_goodbye) {
        lws_callback_on_writable(wsi);
    }
    return 0;
}

// Server thread: one more piece of a message. Messages may come in fragments,
// and a fragment in several pieces; the first kKeptMessageBytes are kept.
void WebsocketControl::Receive(lws* wsi, uint64_t id, const char* in, size_t len) {
    const auto found = m_conns.find(id);
    if (found == m_conns.end()) {
        return;
    }
    Connection& conn = found->second;
    const size_t room = kKeptMessageBytes - conn.message.size();
    conn.message.append(in, len < room ? len : room);
    conn.message_size += len;
    if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) != 0) {
        return;
    }
    const std::string message = std::exchange(conn.message, std::string());
    const size_t size = std::exchange(conn.message_size, 0);
    listener_on_message(lws_get_context(wsi), wsi, message.data(), message.size(), size, nullptr);
}

void WebsocketControl::Heard(uint64_t id, bool closing) {
    const auto found = m_conns.find(id);
    if (found != m_conns.end()) {
        found->second.last_heard = std::chrono::steady_clock::now();
        found->second.peer_closed = found->second.peer_closed || closing;
    }
}

bool WebsocketControl::AcceptHandshake(lws* wsi) const {
    const int length = lws_hdr_total_length(wsi, WSI_TOKEN_ORIGIN);
    if (length <= 0 || m_policy.allowed_origins.empty()) {
        return true;
    }
    std::string origin(static_cast<size_t>(length) + 1, '\0');
    if (lws_hdr_copy(wsi, &origin[0], length + 1, WSI_TOKEN_ORIGIN) != length) {
        return false;
    }
    origin.resize(static_cast<size_t>(length));
    if (m_policy.OriginAllowed(origin)) {
        return true;
    }
    std::fprintf(stderr, "refused a page from origin %s\n", origin.c_str());
    ++Metrics::Get().pages_refused_by_origin;
    // Answered as a web server would: 403, and the reason in one line (not
    // the origins that are allowed). A browser shows only a failed
    // connection; a program or curl sees why.
    const std::string body = "origin " + origin + " is not allowed to reach this scanner service\n";
    const std::string answer =
        "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    std::vector<unsigned char> buffer(LWS_PRE + answer.size());
    std::memcpy(buffer.data() + LWS_PRE, answer.data(), answer.size());
    lws_write(wsi, buffer.data() + LWS_PRE, answer.size(), LWS_WRITE_HTTP_HEADERS);
    return false;
}

void WebsocketControl::Closed(lws* wsi, uint64_t id) {
    const auto found = m_conns.find(id);
    if (found != m_conns.end()) {
        const Connection& conn = found->second;
        // Closed neither by us nor by the page, after it stayed silent for
        // as long as the idle policy allows: the library hung it up.
        if (!conn.closing && !conn.peer_closed && !m_saying_goodbye &&
            std::chrono::steady_clock::now() - conn.last_heard >=
                std::chrono::seconds(kHangUpSeconds)) {
            ++Metrics::Get().pages_dropped_ping;
        }
        m_conns.erase(found);
        --Metrics::Get().pages_connected;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live.erase(wsi);
    }
    m_changed.notify_all();
    __nopoll_regression_on_close(lws_get_context(wsi), wsi, nullptr);
}

int WebsocketControl::on_connection_opened(lws_context* ctx, lws* conn, void*) {
    WebsocketControl* self = static_cast<WebsocketControl*>(lws_context_user(ctx));
    Session* session = static_cast<Session*>(lws_wsi_user(conn));
    session->id = ++self->m_next_id;
    Connection& connection = self->m_conns[session->id];
    connection.wsi = conn;
    connection.last_heard = std::chrono::steady_clock::now();
    ++Metrics::Get().pages_connected;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_live[conn] = session->id;
    }
    std::printf("new conn id %d\n", static_cast<int>(session->id));
    if (self->m_saying_goodbye) {
        lws_callback_on_writable(conn);  // closed at once, as the others were
    }
    return 1;
}

void WebsocketControl::__nopoll_regression_on_close(lws_context*, lws* conn, void*) {
    std::printf("Reg test: called connection close (TLS: %d)..\n", 0);
    if (callbackWebClose != nullptr) {
        callbackWebClose(conn);
    }
}

void listener_on_message(lws_context*, lws* conn, const char* payload, size_t stored, size_t size,
                         void*) {
    if (size == 0) {
        const Session* session = static_cast<const Session*>(lws_wsi_user(conn));
        std::printf("size of msg is 0 or msg = nullptr(connet id = %d)",
                    static_cast<int>(session->id));
        std::fflush(stdout);  // no line feed of its own, but out as it happens
        return;
    }
    // Zero-terminated: the receiver may read it as text. A page's token
    // never reaches the log.
    std::string text(payload, stored);
    std::printf("debug:%.1023s \n", WithoutTokens(text).c_str());
    if (callbackfunc != nullptr) {
        callbackfunc(conn, &text[0], static_cast<int>(size), pWebServer);
    }
}

int WebsocketControl::Callback(lws* wsi, int reason, void* user, void* in, size_t len) {
    Session* session = static_cast<Session*>(user);
    lws_context* ctx = lws_get_context(wsi);
    WebsocketControl* self = static_cast<WebsocketControl*>(lws_context_user(ctx));
    switch (reason) {
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
            return self->AcceptHandshake(wsi) ? 0 : -1;
        case LWS_CALLBACK_ESTABLISHED:
            return on_connection_opened(ctx, wsi, nullptr) == 1 ? 0 : -1;
        case LWS_CALLBACK_RECEIVE:
            self->Heard(session->id, false);
            self->Receive(wsi, session->id, static_cast<const char*>(in), len);
            return 0;
        case LWS_CALLBACK_RECEIVE_PONG:
            self->Heard(session->id, false);
            return 0;
        case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
            self->Heard(session->id, true);
            return 0;
        case LWS_CALLBACK_SERVER_WRITEABLE:
            return self->Write(wsi, session->id);
        case LWS_CALLBACK_CLOSED:
            if (session != nullptr && session->id != 0) {
                self->Closed(wsi, session->id);
                session->id = 0;
            }
            return 0;
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            self->TakeInbox();
            return 0;
        default:
            // Plain HTTP requests get the library's answer: not found.
            return lws_callback_http_dummy(wsi, static_cast<lws_callback_reasons>(reason), user, in,
                                           len);
    }
}
