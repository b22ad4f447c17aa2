#pragma once

#include <atomic>
#include <string>
#include <thread>

// Where a fleet's Prometheus scrapes the daemon (<Metrics>).
struct MetricsOptions {
    bool enabled = false;
    std::string port;          // as written
    std::string bind_address;  // as written; empty: 127.0.0.1
};

// Why the options rule a metrics listener out (a port that is no port, a
// BindAddress that is no IPv4 address); empty when they don't.
std::string MetricsProblem(const MetricsOptions& options);

// A plain HTTP listener on a thread of its own that answers GET /metrics
// with Metrics' exposition text; any other path gets 404, any other method
// 405. It never touches the scan path: what it serves is read from atomics.
// An address that is not there yet, or a port another program holds, is
// tried again every 2 s; a port or address that can't be one opens no
// listener at all. The WebSocket listener is not affected either way.
class MetricsServer {
  public:
    MetricsServer() = default;
    ~MetricsServer();  // Stop()
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // 0 when its thread runs; -1 when the options rule a listener out
    // (standard error says why).
    int Start(const MetricsOptions& options);
    void Stop();

    // Clients served at once: one more takes the place of the one heard
    // from longest ago.
    static constexpr int kMaxClients = 16;
    // A client gets this long for the whole exchange: its request and the
    // answer.
    static constexpr int kClientMillis = 5000;
    static constexpr int kRetryMillis = 2000;

  private:
    void Run();
    int Listen();  // the listening socket, or -1
    void Serve(int listener);

    std::string m_address;
    int m_port = 0;
    int m_wake[2] = {-1, -1};  // a pipe: its write end ends the thread's waits
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};
