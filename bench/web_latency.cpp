// From SendStringToWeb to the clients' receipt, on loopback, with 1, 100 and
// 1000 registered clients; and the server's RSS with that many idle clients.
// The clients run in a child process (bench/ws_load_clients), so the RSS is
// the server's alone. The table goes to standard error.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "latency_stats.h"
#include "webserver.h"
#include "ws_load_clients.h"

namespace {

void SendLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::exit(1);
    }
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

// The clients' side: commands from the server's side, answers back.
int RunClients(int fd, int port) {
    WsLoadClients clients;
    for (;;) {
        std::istringstream command(ReadLine(fd));
        std::string word;
        int number = 0;
        command >> word >> number;
        if (word == "connect") {
            SendLine(fd, clients.Connect(port, number) ? "ok" : "failed");
        } else if (word == "collect") {
            clients.Receive(number, 30000);
            const LatencyStats s = Summarise(clients.LatenciesMs());
            char line[256];
            std::snprintf(line, sizeof line, "%.3f %.3f %.3f %.3f %lld %lld", s.p50, s.p90, s.p99,
                          s.max, static_cast<long long>(clients.Missing(number)),
                          static_cast<long long>(clients.Duplicates()));
            clients.ResetCounts();
            SendLine(fd, line);
        } else if (word == "close") {
            clients.CloseAll();
            SendLine(fd, "ok");
        } else {
            return 0;
        }
    }
}

long RssKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

size_t Registered() {
    std::lock_guard<std::mutex> lock(CWebServer::m_conn_mutex);
    return CWebServer::m_conn_list.size();
}

template <typename Predicate>
bool WaitFor(Predicate predicate, int seconds) {
    for (int i = 0; i < seconds * 100 && !predicate(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return predicate();
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    const int scans = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return 1;
    }
    const int port = FreePort();
    const pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        return RunClients(pair[1], port);
    }
    close(pair[1]);
    const int control = pair[0];

    // The server's own lines are not part of the figures.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);

    CWebServer server;
    server.StartSocetServers(std::to_string(port).c_str());
    server.SendStringToWeb(1, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::fprintf(stderr, "server RSS with no client: %ld KiB\n\n", RssKib());
    std::fprintf(stderr, "%-8s %6s %8s %8s %8s %8s %8s %6s %10s\n", "clients", "scans", "p50 ms",
                 "p90 ms", "p99 ms", "max ms", "missing", "dups", "RSS KiB");
    for (const int count : {1, 100, 1000}) {
        SendLine(control, "connect " + std::to_string(count));
        if (ReadLine(control) != "ok" ||
            !WaitFor([&] { return Registered() == static_cast<size_t>(count); }, 30)) {
            std::fprintf(stderr, "%d clients could not register\n", count);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long rss = RssKib();
        // A pause between scans, as between real scans; longer when each
        // broadcast reaches more clients.
        const auto pause = std::chrono::microseconds(count >= 1000 ? 20000 : 2000);
        SendLine(control, "collect " + std::to_string(scans));  // the clients read from now on
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (int sequence = 0; sequence < scans; ++sequence) {
            server.SendStringToWeb(0,
                                   std::to_string(sequence) + " " + std::to_string(MonotonicNs()));
            std::this_thread::sleep_for(pause);
        }
        std::fprintf(stderr, "%-8d %6d %s %10ld\n", count, scans, ReadLine(control).c_str(), rss);
        SendLine(control, "close");
        ReadLine(control);
        WaitFor([] { return Registered() == 0; }, 30);
    }
    SendLine(control, "quit");
    waitpid(child, nullptr, 0);
    return 0;
}
