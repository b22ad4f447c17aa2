#include "webserver.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "metrics.h"
#include "utf8.h"

namespace {

// How often a server that is going asks its thread again to end.
constexpr long kCloseRetryMillis = 10;

bool JoinedWithin(pthread_t thread, long ms) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += ms * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

}  // namespace

// Never destroyed: a server object of static duration closes its connections
// in its destructor, and the close callback still edits the list then, in
// whatever order the two were built.
std::vector<lws*>& CWebServer::m_conn_list = *new std::vector<lws*>();
std::mutex CWebServer::m_conn_mutex;
std::unordered_map<lws*, std::vector<std::string>>& CWebServer::m_sources =
    *new std::unordered_map<lws*, std::vector<std::string>>();

CWebServer::CWebServer() = default;

CWebServer::~CWebServer() {
    StopSocetServers();
}

int CWebServer::StopSocetServers() {
    if (m_ws_control != nullptr) {
        // The server thread releases the library itself; then it is joined. A
        // close that comes before the thread has begun its setup finds nothing
        // to close, so it is asked again until the thread has ended.
        m_ws_control->closeWebsocketServer();
        while (m_thread_running && !JoinedWithin(m_thread, kCloseRetryMillis)) {
            m_ws_control->closeWebsocketServer();
        }
        m_thread_running = false;
        delete m_ws_control;
    }
    m_gun_count = 0;
    m_ws_control = nullptr;
    return 0;
}

int CWebServer::StartSocetServers(const char* port) {
    if (m_ws_control == nullptr) {
        m_ws_control = new WebsocketControl();
    }
    m_port = port;
    m_ws_control->SocketLinkRecvSetCallback(socketPthreadGetDataCall, this);
    m_ws_control->SocketLinkCloseSetCallback(socketPthreadCloseConn);
    m_ws_control->SetNetworkPolicy(m_policy);
    if (m_thread_running || pthread_create(&m_thread, nullptr, socketPthreadStart, this) != 0) {
        std::puts("info:to create Socket pthread Error ");
        return -2;
    }
    m_thread_running = true;
    // The thread is joined when the server goes, rather than detached, so
    // that it never outlives the objects it serves.
    std::puts("pthread_detach ");
    return 0;
}

void* CWebServer::socketPthreadStart(void* server) {
    if (server == nullptr) {
        return nullptr;
    }
    CWebServer* self = static_cast<CWebServer*>(server);
    self->m_ws_control->setupWebsocketServer(self->m_port.c_str());
    return nullptr;
}

void* CWebServer::socketPthreadGetDataCall(lws* conn, char* text, int size, void* user) {
    CWebServer* self = static_cast<CWebServer*>(user);
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    if (self->m_serve_all) {
        self->TakePageRequest(conn, text, static_cast<size_t>(size));
    } else if (self->m_gun_count > 0) {
        self->Register(conn);
    } else {
        std::string reply = self->enJsonFormat(-2, 0, std::string());
        self->SendTo(conn, reply);
    }
    return nullptr;
}

void CWebServer::TakePageRequest(lws* conn, const char* text, size_t size) {
    // The text holds the message's first bytes, as many as were kept (a
    // zero byte among them included).
    const size_t stored = std::min(size, WebsocketControl::kKeptMessageBytes);
    const PageRequest request = ReadPageRequest(text, stored, size);
    std::string reply;
    switch (request.kind) {
        case PageRequest::Kind::kRefused:
            reply = RefusalMessage(request.error);
            SendTo(conn, reply);
            return;  // registered, or not, as before
        case PageRequest::Kind::kSubscribe:
            if (request.sources.empty()) {
                m_sources.erase(conn);
            } else {
                m_sources[conn] = request.sources;
            }
            break;
        case PageRequest::Kind::kScanners: {
            std::vector<ServedScanner> open = m_scanners;
            std::sort(open.begin(), open.end(), [](const ServedScanner& a, const ServedScanner& b) {
                return a.name < b.name;
            });
            reply = ScannersMessage(open);
            SendTo(conn, reply);
            break;
        }
        case PageRequest::Kind::kRegister:
            break;
    }
    // Told once, as it registers, that no scanner is open (registered all
    // the same): from then on it hears each scanner as it opens.
    if (Register(conn) && m_gun_count <= 0) {
        reply = enJsonFormat(-2, 0, std::string());
        SendTo(conn, reply);
    }
}

bool CWebServer::Register(lws* conn) {
    // A page stands in the list once, however often it writes (a keep-alive,
    // say): a second entry would send it every scan twice.
    if (std::find(m_conn_list.begin(), m_conn_list.end(), conn) != m_conn_list.end()) {
        return false;
    }
    m_conn_list.push_back(conn);
    Metrics::Get().pages_registered = static_cast<int64_t>(m_conn_list.size());
    std::puts("g_conn  get!");
    return true;
}

void* CWebServer::socketPthreadCloseConn(lws* conn) {
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    m_sources.erase(conn);
    m_conn_list.erase(std::remove(m_conn_list.begin(), m_conn_list.end(), conn), m_conn_list.end());
    Metrics::Get().pages_registered = static_cast<int64_t>(m_conn_list.size());
    std::puts("g_conn over!");
    return nullptr;
}

int CWebServer::ListenerState() const {
    return m_ws_control != nullptr ? m_ws_control->m_started.load() : 0;
}

std::string CWebServer::ListenerProblem() const {
    return m_ws_control != nullptr ? m_ws_control->Problem() : std::string();
}

size_t CWebServer::RegisteredPages() {
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    return m_conn_list.size();
}

int CWebServer::SayGoingAway(int wait_ms) {
    return m_ws_control != nullptr ? m_ws_control->goAway(wait_ms) : 0;
}

int CWebServer::SendStringToWeb(int code, std::string text) {
    if (code == 1) {
        ++m_gun_count;
        return 0;
    }
    if (code == 2) {
        --m_gun_count;
        return 0;
    }
    const unsigned long size = text.size();
    std::string message = enJsonFormat(code, size, std::move(text));
    Broadcast(message);
    return 0;
}

int CWebServer::ScannerOpened(const ServedScanner& scanner) {
    {
        std::lock_guard<std::mutex> lock(m_conn_mutex);
        m_scanners.push_back(scanner);
        ++m_gun_count;
    }
    std::string event = ScannerEventMessage("added", scanner);
    Broadcast(event, scanner.name);
    return 0;
}

int CWebServer::ScannerGone(const ServedScanner& scanner) {
    {
        std::lock_guard<std::mutex> lock(m_conn_mutex);
        m_scanners.erase(std::remove_if(m_scanners.begin(), m_scanners.end(),
                                        [&scanner](const ServedScanner& open) {
                                            return open.name == scanner.name &&
                                                   open.device == scanner.device;
                                        }),
                         m_scanners.end());
        --m_gun_count;
    }
    std::string event = ScannerEventMessage("removed", scanner);
    Broadcast(event, scanner.name);
    return 0;
}

int CWebServer::SendScanToWeb(const std::string& source, std::string text,
                              const std::string& symbology) {
    std::string message = ScanMessage(0, text.size(), text, source, symbology);
    Broadcast(message, source);
    return 0;
}

void CWebServer::Broadcast(std::string& message, const std::string& source) {
    if (message.empty()) {
        return;  // out of memory: nothing to send
    }
    const bool utf8 = IsUtf8(message.data(), message.size());  // once, not once a page
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    for (lws* conn : m_conn_list) {
        const auto chosen = source.empty() ? m_sources.end() : m_sources.find(conn);
        if (chosen == m_sources.end() || std::find(chosen->second.begin(), chosen->second.end(),
                                                   source) != chosen->second.end()) {
            SendTo(conn, message, utf8);
        }
    }
}

void CWebServer::SendTo(lws* conn, std::string& message) {
    SendTo(conn, message, IsUtf8(message.data(), message.size()));
}

void CWebServer::SendTo(lws* conn, std::string& message, bool utf8) {
    if (message.empty()) {
        return;
    }
    // A page fails a connection whose text frame is not UTF-8 (a scan in
    // GBK, or bytes passed on unchanged): such a message goes out as a
    // binary frame of the same bytes instead.
    if (utf8) {
        m_ws_control->doSendText(conn, &message[0], static_cast<int>(message.size()));
    } else {
        m_ws_control->doSendBinary(conn, &message[0], static_cast<int>(message.size()));
    }
}
