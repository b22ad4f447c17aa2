#include "metrics_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// One scraper's exchange: its request as it comes, then the answer as it
// goes, within one deadline for the whole.
struct Client {
    int fd;
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point heard;  // its last byte in or out
    std::string request;
    std::string answer;  // empty until the request is whole
    size_t sent = 0;
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

// More of the exchange, as far as it goes without waiting: false once it is
// over (answered, or the client left).
bool Progress(Client& client) {
    if (client.answer.empty()) {
        char block[2048];
        const ssize_t got = recv(client.fd, block, sizeof block, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        if (got < 0) {
            return true;
        }
        client.heard = std::chrono::steady_clock::now();
        client.request.append(block, static_cast<size_t>(got));
        const bool whole = client.request.find("\r\n\r\n") != std::string::npos ||
                           client.request.find("\n\n") != std::string::npos;
        if (!whole && client.request.size() <= kMaxRequestBytes) {
            return true;
        }
        client.answer = Answer(whole ? client.request : std::string());
    }
    const ssize_t sent = send(client.fd, client.answer.data() + client.sent,
                              client.answer.size() - client.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    client.heard = std::chrono::steady_clock::now();
    client.sent += static_cast<size_t>(sent);
    return client.sent < client.answer.size();
}

// Makes room for one more client: the one heard from longest ago goes.
void DropQuietest(std::vector<Client>& clients) {
    auto quietest =
        std::min_element(clients.begin(), clients.end(),
                         [](const Client& a, const Client& b) { return a.heard < b.heard; });
    if (quietest != clients.end()) {
        close(quietest->fd);
        clients.erase(quietest);
    }
}

// Takes the clients that wait, up to kMaxClients at a time.
void AcceptWaiting(int listener, int wake_fd, std::vector<Client>& clients) {
    for (int taken = 0; taken < MetricsServer::kMaxClients; ++taken) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !clients.empty()) {
            DropQuietest(clients);  // a descriptor for the one that waits
            fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        }
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: the connection waits in the
                // queue rather than the listener spinning on it.
                pollfd wake = {wake_fd, POLLIN, 0};
                poll(&wake, 1, 100);
            }
            return;
        }
        // A scraper's request is there with it, as a rule: answered at once.
        const auto now = std::chrono::steady_clock::now();
        Client client = {fd,
                         now + std::chrono::milliseconds(MetricsServer::kClientMillis),
                         now,
                         std::string(),
                         std::string(),
                         0};
        if (!Progress(client)) {
            close(fd);
            continue;
        }
        if (clients.size() == static_cast<size_t>(MetricsServer::kMaxClients)) {
            DropQuietest(clients);
        }
        clients.push_back(std::move(client));
    }
}

}  // namespace

std::string MetricsProblem(const MetricsOptions& options) {
    in_addr address;
    const std::string bind = options.bind_address.empty() ? "127.0.0.1" : options.bind_address;
    return ParsePortText(options.port.c_str()) == 0 ? "not a port number"
           : inet_pton(AF_INET, bind.c_str(), &address) != 1
               ? "its BindAddress is not an IPv4 address"
               : "";
}

MetricsServer::~MetricsServer() {
    Stop();
}

int MetricsServer::Start(const MetricsOptions& options) {
    if (!options.enabled || m_thread.joinable()) {
        return 0;
    }
    m_address = options.bind_address.empty() ? "127.0.0.1" : options.bind_address;
    m_port = ParsePortText(options.port.c_str());
    const std::string why = MetricsProblem(options);
    if (!why.empty()) {
        std::fprintf(stderr, "no metrics listener on %s:%s: %s\n", m_address.c_str(),
                     options.port.c_str(), why.c_str());
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
        listen(fd, SOMAXCONN) == 0) {
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
    // A client that is slow, idle or never reads holds back no other: each
    // exchange goes on as far as it can without waiting, and a new client
    // that finds every place taken gets the place of the quietest.
    std::vector<Client> clients;
    std::vector<pollfd> waits;
    while (!m_quit) {
        const auto now = std::chrono::steady_clock::now();
        waits.assign({{m_wake[0], POLLIN, 0}, {listener, POLLIN, 0}});
        int timeout = -1;
        for (const Client& client : clients) {
            waits.push_back(
                {client.fd, static_cast<short>(client.answer.empty() ? POLLIN : POLLOUT), 0});
            const auto left = std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(client.deadline - now)
                       .count());
            timeout =
                timeout < 0 ? static_cast<int>(left) : std::min(timeout, static_cast<int>(left));
        }
        if (poll(waits.data(), waits.size(), timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "metrics listener stopped: %s\n", std::strerror(errno));
            break;
        }
        // Each client whose socket is ready goes on; those done, gone or out
        // of time are closed.
        const auto then = std::chrono::steady_clock::now();
        size_t kept = 0;
        for (size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            const bool going = waits[2 + i].revents == 0 || Progress(client);
            if (going && then < client.deadline) {
                clients[kept++] = std::move(client);
            } else {
                close(client.fd);
            }
        }
        clients.resize(kept);
        if ((waits[1].revents & POLLIN) != 0) {
            AcceptWaiting(listener, m_wake[0], clients);
        }
    }
    for (const Client& client : clients) {
        close(client.fd);
    }
}
