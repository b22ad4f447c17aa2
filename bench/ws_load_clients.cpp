#include "ws_load_clients.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

WsLoadClients::~WsLoadClients() {
    CloseAll();
    if (m_epoll >= 0) {
        close(m_epoll);
    }
}

bool WsLoadClients::Handshake(Client& client, int port) {
    client.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (client.fd < 0 ||
        connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    const int one = 1;
    setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (write(client.fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return false;
    }
    std::string answer;
    char byte;
    while (answer.size() < 4096 && answer.find("\r\n\r\n") == std::string::npos) {
        if (read(client.fd, &byte, 1) != 1) {
            return false;
        }
        answer += byte;
    }
    if (answer.compare(0, 12, "HTTP/1.1 101") != 0) {
        return false;
    }
    // One masked text frame: "register".
    const unsigned char frame[] = {0x81,    0x88,    1,       2,       3,       4,       'r' ^ 1,
                                   'e' ^ 2, 'g' ^ 3, 'i' ^ 4, 's' ^ 1, 't' ^ 2, 'e' ^ 3, 'r' ^ 4};
    if (write(client.fd, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
        return false;
    }
    fcntl(client.fd, F_SETFL, fcntl(client.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool WsLoadClients::Connect(int port, int count) {
    if (m_epoll < 0) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
    }
    for (int i = 0; i < count; ++i) {
        m_clients.emplace_back();
        if (!Handshake(m_clients.back(), port)) {
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(m_clients.size() - 1);
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_clients.back().fd, &event);
    }
    return true;
}

void WsLoadClients::Record(Client& client, long sequence, long long sent_ns, int64_t now_ns,
                           bool merged) {
    if (client.seen.size() <= static_cast<size_t>(sequence)) {
        client.seen.resize(static_cast<size_t>(sequence) + 1);
    }
    if (client.seen[static_cast<size_t>(sequence)]) {
        ++m_duplicates;
        return;
    }
    m_merged += merged;
    client.seen[static_cast<size_t>(sequence)] = true;
    ++client.received;
    const double latency_ms = static_cast<double>(now_ns - sent_ns) / 1e6;
    m_latencies_ms.push_back(latency_ms);
    if (m_first_ms.size() <= static_cast<size_t>(sequence)) {
        m_first_ms.resize(static_cast<size_t>(sequence) + 1, -1.0);
    }
    double& first = m_first_ms[static_cast<size_t>(sequence)];
    if (first < 0 || latency_ms < first) {
        first = latency_ms;
    }
}

void WsLoadClients::TakeFrames(Client& client, int64_t now_ns) {
    std::string& in = client.buffer;
    size_t at = 0;
    for (;;) {
        if (in.size() - at < 2) {
            break;
        }
        const unsigned char* head = reinterpret_cast<const unsigned char*>(in.data() + at);
        size_t length = head[1] & 0x7f;
        size_t header = 2;
        if (length == 126) {
            if (in.size() - at < 4) {
                break;
            }
            length = (static_cast<size_t>(head[2]) << 8) | head[3];
            header = 4;
        } else if (length == 127) {
            if (in.size() - at < 10) {
                break;
            }
            length = 0;
            for (int i = 2; i < 10; ++i) {
                length = (length << 8) | head[i];
            }
            header = 10;
        }
        if (in.size() - at < header + length) {
            break;
        }
        const std::string payload = in.substr(at + header, length);
        at += header + length;
        if ((head[0] & 0x0f) == 9 && length <= 125) {
            // A ping: answer it as every browser does, or the server drops
            // the connection as dead after its idle timeout.
            std::string pong = {static_cast<char>(0x8a),
                                static_cast<char>(0x80 | length),
                                0,
                                0,
                                0,
                                0};  // masked, with a zero mask
            pong += payload;
            if (write(client.fd, pong.data(), pong.size()) != static_cast<ssize_t>(pong.size())) {
                ++m_failed_pongs;
            }
            continue;
        }
        // "Data":<tab>"<sequence> <sent ns>"
        const size_t data = payload.find("\"Data\":\t\"");
        if ((head[0] & 0x0f) != 1 || data == std::string::npos) {
            continue;
        }
        // Two scans that reached the daemon within one read are one scan to
        // it: one frame whose text holds both ("<a> <ns>\r\n<b> <ns>\r\n").
        const char* text = payload.c_str() + data + 9;
        for (int in_frame = 0;; ++in_frame) {
            char* end = nullptr;
            const long sequence = std::strtol(text, &end, 10);
            if (end == text || sequence < 0) {
                break;
            }
            const long long sent_ns = std::strtoll(end, &end, 10);
            Record(client, sequence, sent_ns, now_ns, in_frame > 0);
            text = std::strncmp(end, "\\r\\n", 4) == 0 ? end + 4 : end;
        }
    }
    in.erase(0, at);
}

void WsLoadClients::Receive(int scans, int timeout_ms) {
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(timeout_ms) * 1000000;
    epoll_event events[256];
    char buffer[65536];
    while (Missing(scans) > 0 && MonotonicNs() < deadline) {
        const int ready = epoll_wait(m_epoll, events, 256, 10);
        for (int i = 0; i < ready; ++i) {
            Client& client = m_clients[events[i].data.u32];
            ssize_t got;
            while ((got = read(client.fd, buffer, sizeof buffer)) > 0) {
                client.buffer.append(buffer, static_cast<size_t>(got));
            }
            TakeFrames(client, MonotonicNs());
        }
    }
}

std::vector<double> WsLoadClients::FirstLatenciesMs() const {
    std::vector<double> firsts;
    for (double first : m_first_ms) {
        if (first >= 0) {
            firsts.push_back(first);
        }
    }
    return firsts;
}

int64_t WsLoadClients::Missing(int scans) const {
    int64_t missing = 0;
    for (const Client& client : m_clients) {
        missing += scans - client.received;
    }
    return missing;
}

void WsLoadClients::ResetCounts() {
    for (Client& client : m_clients) {
        client.seen.clear();
        client.received = 0;
    }
    m_latencies_ms.clear();
    m_first_ms.clear();
    m_duplicates = 0;
    m_merged = 0;
}

void WsLoadClients::CloseAll() {
    for (Client& client : m_clients) {
        if (client.fd >= 0) {
            close(client.fd);
        }
    }
    m_clients.clear();
}
