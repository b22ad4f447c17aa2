#include "metrics_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "metrics.h"
#include "network_policy.h"

namespace {

// What a request may be, line and headers: far more than a scraper sends.
constexpr size_t kMaxRequestBytes = 8192;

struct Client {
    int fd;
    std::string request;
    std::chrono::steady_clock::time_point deadline;
};

// The answer to a whole request: its status line, headers and body.
std::string Answer(const std::string& request) {
    const size_t line_end = request.find_first_of("\r\n");
    const std::string line = request.substr(0, line_end);
    const size_t space = line.find(' ');
    const size_t second = space == std::string::npos ? space : line.find(' ', space + 1);
    auto reply = [](const char* status, const std::string& body, const char* extra = "") {
        const bool exposition = status[0] == '2';
        return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain; " +
               (exposition ? "version=0.0.4; " : "") +
               "charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
               "Connection: close\r\n\r\n" + body;
    };
    if (second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0) {
        return reply("400 Bad Request", "bad request\n");
    }
    const std::string target = line.substr(space + 1, second - space - 1);
    const std::string path = target.substr(0, target.find('?'));
    if (line.compare(0, space, "GET") != 0) {
        return reply("405 Method Not Allowed", "only GET\n", "Allow: GET\r\n");
    }
    if (path != "/metrics") {
        return reply("404 Not Found", "the metrics are at /metrics\n");
    }
    return reply("200 OK", Metrics::Get().Exposition());
}

void SendAll(int fd, const std::string& bytes) {
    // Blocking now, for as long as the client's time allows.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const timeval timeout = {1, 0};  // a stalled scraper holds the others back no longer
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

MetricsServer::~MetricsServer() {
    Stop();
}

int MetricsServer::Start(const MetricsOptions& options) {
    if (!options.enabled || m_thread.joinable()) {
        return 0;
    }
    m_address = options.bind_address.empty() ? "127.0.0.1" : options.bind_address;
    m_port = ParsePortText(options.port.c_str());
    in_addr address;
    const char* why = m_port == 0 ? "not a port number"
                      : inet_pton(AF_INET, m_address.c_str(), &address) != 1
                          ? "its BindAddress is not an IPv4 address"
                          : nullptr;
    if (why != nullptr) {
        std::fprintf(stderr, "no metrics listener on %s:%s: %s\n", m_address.c_str(),
                     options.port.c_str(), why);
        return -1;
    }
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    m_thread = std::thread(&MetricsServer::Run, this);
    return 0;
}

void MetricsServer::Stop() {
    m_quit = true;
    if (m_wake[1] >= 0 && write(m_wake[1], "q", 1) < 0) {
        // Full: the thread wakes all the same.
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (int& fd : m_wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

int MetricsServer::Listen() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(m_port));
    inet_pton(AF_INET, m_address.c_str(), &where.sin_addr);
    const int one = 1;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        listen(fd, kMaxClients) == 0) {
        return fd;
    }
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    errno = error;
    return -1;
}

void MetricsServer::Run() {
    for (bool first = true; !m_quit; first = false) {
        const int listener = Listen();
        if (listener >= 0) {
            std::fprintf(stderr, "metrics on http://%s:%d/metrics\n", m_address.c_str(), m_port);
            Serve(listener);
            close(listener);
            return;
        }
        if (first) {
            std::fprintf(stderr, "no metrics listener on %s:%d (%s), trying again every %d s\n",
                         m_address.c_str(), m_port, std::strerror(errno), kRetryMillis / 1000);
        }
        pollfd wake = {m_wake[0], POLLIN, 0};
        poll(&wake, 1, kRetryMillis);
    }
}

void MetricsServer::Serve(int listener) {
    std::vector<Client> clients;
    while (!m_quit) {
        std::vector<pollfd> waits = {{m_wake[0], POLLIN, 0}};
        if (clients.size() < kMaxClients) {
            waits.push_back({listener, POLLIN, 0});
        }
        int timeout = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const Client& client : clients) {
            waits.push_back({client.fd, POLLIN, 0});
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(client.deadline - now);
            timeout = timeout < 0
                          ? static_cast<int>(std::max<int64_t>(left.count(), 0))
                          : std::min(timeout, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        }
        if (poll(waits.data(), waits.size(), timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "metrics listener stopped: %s\n", std::strerror(errno));
            break;
        }
        if (clients.size() < kMaxClients && (waits[1].revents & POLLIN) != 0) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0 &&
                (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
                // Out of descriptors: the connection waits in the queue
                // rather than the listener spinning on it.
                pollfd wake = {m_wake[0], POLLIN, 0};
                poll(&wake, 1, 100);
            }
            if (fd >= 0) {
                clients.push_back(
                    {fd, std::string(),
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientMillis)});
            }
        }
        // Each client: more of its request, its answer once the request is
        // whole, or its end once its time is up or it leaves.
        for (auto it = clients.begin(); it != clients.end();) {
            char block[2048];
            const ssize_t got = recv(it->fd, block, sizeof block, 0);
            if (got > 0) {
                it->request.append(block, static_cast<size_t>(got));
            }
            const bool whole = it->request.find("\r\n\r\n") != std::string::npos ||
                               it->request.find("\n\n") != std::string::npos;
            const bool gone = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            if (whole || it->request.size() > kMaxRequestBytes) {
                SendAll(it->fd, Answer(whole ? it->request : std::string()));
            }
            if (whole || gone || it->request.size() > kMaxRequestBytes ||
                std::chrono::steady_clock::now() >= it->deadline) {
                close(it->fd);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const Client& client : clients) {
        close(client.fd);
    }
}
