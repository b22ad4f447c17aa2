#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Many minimal WebSocket clients on loopback, served by one thread with epoll:
// they connect, register with one message, and take every scan message that
// arrives, time-stamping it the moment it is read. A scan's text carries
// "<sequence> <send time in ns of CLOCK_MONOTONIC>", so each receipt gives a
// latency.
class WsLoadClients {
  public:
    ~WsLoadClients();

    // Connects and registers `count` clients; false if any of them failed.
    bool Connect(int port, int count);
    // Reads until every client has `scans` scans or `timeout_ms` passed.
    void Receive(int scans, int timeout_ms);
    void CloseAll();

    // Latencies in ms of all receipts so far, and how many receipts are
    // missing or came twice for `scans` scans to every client.
    std::vector<double> LatenciesMs() const { return m_latencies_ms; }
    // For each scan, the latency of the first client that had it: the
    // server's own share, without the clients' reading of the others.
    std::vector<double> FirstLatenciesMs() const;
    int64_t Missing(int scans) const;
    int64_t Duplicates() const { return m_duplicates; }
    // Scans that arrived inside the frame of the scan before them.
    int64_t Merged() const { return m_merged; }
    void ResetCounts();

  private:
    struct Client {
        int fd = -1;
        std::string buffer;
        std::vector<bool> seen;
        int64_t received = 0;
    };
    bool Handshake(Client& client, int port);
    void TakeFrames(Client& client, int64_t now_ns);
    void Record(Client& client, long sequence, long long sent_ns, int64_t now_ns, bool merged);

    std::vector<Client> m_clients;
    int m_epoll = -1;
    std::vector<double> m_latencies_ms;
    std::vector<double> m_first_ms;  // by sequence; negative: none yet
    int64_t m_duplicates = 0;
    int64_t m_failed_pongs = 0;
    int64_t m_merged = 0;
};

// CLOCK_MONOTONIC now, in ns: the clock both sides of the measurement share.
int64_t MonotonicNs();
