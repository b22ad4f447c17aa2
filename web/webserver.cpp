#include "webserver.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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

void* CWebServer::socketPthreadGetDataCall(lws* conn, char*, int, void* user) {
    CWebServer* self = static_cast<CWebServer*>(user);
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    if (self->m_gun_count > 0) {
        // A page stands in the list once, however often it writes (a
        // keep-alive, say): a second entry would send it every scan twice.
        if (std::find(m_conn_list.begin(), m_conn_list.end(), conn) == m_conn_list.end()) {
            m_conn_list.push_back(conn);
            std::puts("g_conn  get!");
        }
    } else {
        std::string reply = self->enJsonFormat(-2, 0, std::string());
        if (!reply.empty()) {
            self->m_ws_control->doSendText(conn, &reply[0], static_cast<int>(reply.size()));
        }
    }
    return nullptr;
}

void* CWebServer::socketPthreadCloseConn(lws* conn) {
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    m_conn_list.erase(std::remove(m_conn_list.begin(), m_conn_list.end(), conn), m_conn_list.end());
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

int CWebServer::ScannerOpened() {
    ++m_gun_count;
    return 0;
}

int CWebServer::ScannerGone() {
    --m_gun_count;
    return 0;
}

int CWebServer::SendScanToWeb(const std::string& source, std::string text,
                              const std::string& symbology) {
    std::string message = ScanMessage(0, text.size(), text, source, symbology);
    Broadcast(message);
    return 0;
}

void CWebServer::Broadcast(std::string& message) {
    if (message.empty()) {
        return;  // out of memory: nothing to send
    }
    // A page fails a connection whose text frame is not UTF-8 (a scan in
    // GBK, or bytes passed on unchanged): such a message goes out as a
    // binary frame of the same bytes instead.
    const bool utf8 = IsUtf8(message.data(), message.size());
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    for (lws* conn : m_conn_list) {
        if (utf8) {
            m_ws_control->doSendText(conn, &message[0], static_cast<int>(message.size()));
        } else {
            m_ws_control->doSendBinary(conn, &message[0], static_cast<int>(message.size()));
        }
    }
}
