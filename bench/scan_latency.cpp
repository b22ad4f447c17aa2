// How long a scan takes from the pty to the scan callback: the read loop with
// its hotplug thread, serving a umockdev virtual scanner. Run it under
// umockdev-wrapper (bench/run-scan-latency does). The daemon's own output goes
// to /dev/null; the table goes to standard error.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/virtual_scanner.h"
#include "ttyUSB.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_events{0};
std::atomic<int> g_last_code{-100};
std::atomic<Clock::rep> g_received{0};

void OnEvent(int code, std::string) {
    g_received = Clock::now().time_since_epoch().count();
    g_last_code = code;
    g_events.fetch_add(1);
}

// Waits for the event after `seen`, at most `limit`.
bool AwaitEvent(int seen, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (g_events.load() == seen) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

struct Stats {
    double p50, p90, p99, max;
};

Stats Summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[static_cast<size_t>(q * (ms.size() - 1))]; };
    return {at(0.50), at(0.90), at(0.99), ms.back()};
}

// Writes each scan, waits for its delivery and records the time from the write
// of its last byte; a pause between scans lets the loop go back to its wait.
std::vector<double> Measure(Testbed& bed, const char* terminator, int count) {
    std::vector<double> ms;
    char scan[32];
    for (int i = 0; i < count; ++i) {
        const int length = std::snprintf(scan, sizeof scan, "SCAN%06d%s", i, terminator);
        const int seen = g_events.load();
        const int master = bed.Master("ttyUSB0");
        const auto sent = Clock::now();
        if (write(master, scan, static_cast<size_t>(length)) != length ||
            !AwaitEvent(seen, std::chrono::seconds(2)) || g_last_code != 0) {
            std::fprintf(stderr, "scan %d was not delivered\n", i);
            break;
        }
        const Clock::duration took = Clock::duration(g_received.load()) - sent.time_since_epoch();
        ms.push_back(std::chrono::duration<double, std::milli>(took).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
    const int quiet_count = std::max(10, count / 20);

    const int null = open("/dev/null", O_WRONLY);
    const int table = dup(STDOUT_FILENO);
    dup2(null, STDOUT_FILENO);
    FILE* report = fdopen(table, "w");

    Testbed bed;
    const std::string syspath = bed.AddScanner("ttyUSB0");
    CttyUSB tty;
    tty.m_baud = 115200;
    tty.m_databits = 8;
    tty.m_stopbits = 1;
    tty.m_parity = 'N';
    auto loop = std::async(std::launch::async, [&] { return tty.Read_byMonitor_sync(2, OnEvent); });
    if (!AwaitEvent(0, std::chrono::seconds(10)) || g_last_code != 1) {
        std::fprintf(stderr, "the scanner was not opened\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const std::vector<double> terminated = Measure(bed, "\r\n", count);
    const std::vector<double> quiet = Measure(bed, "", quiet_count);

    bed.Unplug("ttyUSB0", syspath);
    loop.wait();
    if (terminated.empty() || quiet.empty()) {
        return 1;
    }

    std::fprintf(report, "%-28s %6s %8s %8s %8s %8s\n", "scan, pty to callback", "scans", "p50 ms",
                 "p90 ms", "p99 ms", "max ms");
    const Stats t = Summarise(terminated);
    const Stats q = Summarise(quiet);
    std::fprintf(report, "%-28s %6zu %8.3f %8.3f %8.3f %8.3f\n", "CR LF terminated",
                 terminated.size(), t.p50, t.p90, t.p99, t.max);
    std::fprintf(report, "%-28s %6zu %8.3f %8.3f %8.3f %8.3f\n", "unterminated (quiet time)",
                 quiet.size(), q.p50, q.p90, q.p99, q.max);
    std::fclose(report);
    return 0;
}
