// The whole daemon as it is used: the real binary in a private mount and pid
// namespace (a tmpfs over /opt holds its configuration), a umockdev virtual
// scanner that this process types into, and real WebSocket clients on
// loopback. Prints a table and writes the figures as JSON.
//
// Usage (under umockdev-wrapper, as root):
//   bench_daemon DAEMON [--json FILE] [--scans N] [--sustain-seconds S] [--idle-seconds S]
//                [--clients 1,100,1000]
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "latency_stats.h"
#include "support/virtual_scanner.h"
#include "ws_load_clients.h"

namespace {

constexpr int kPort = 19310;

double ThreadCpuMs() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void SleepMs(double ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * 1000)));
}

bool Accepting() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> found;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (tasks == nullptr) {
        return found;
    }
    while (dirent* task = readdir(tasks)) {
        std::ifstream children(dir + "/" + task->d_name + "/children");
        pid_t child;
        while (children >> child) {
            found.push_back(child);
        }
    }
    closedir(tasks);
    return found;
}

std::string Comm(pid_t pid) {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return name;
}

// The daemon in its namespaces, its standard output read on a thread.
class Daemon {
  public:
    explicit Daemon(const std::string& binary) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            std::abort();
        }
        const std::string conf =
            "<gunconf><WebsocketPort>" + std::to_string(kPort) +
            "</WebsocketPort><Encode>2</Encode><ttyAttr><baudrate>115200</baudrate>"
            "<databits>8</databits><stopbits>1</stopbits><parity>N</parity></ttyAttr></gunconf>";
        const std::string script =
            "mount -t tmpfs tmpfs /opt && mkdir -p /opt/apps/corvane/quillet/conf && "
            "printf '%s' '" +
            conf +
            "' > /opt/apps/corvane/quillet/conf/gunconf.xml && "
            "exec '" +
            binary + "'";
        m_started_ns = MonotonicNs();
        m_unshare = fork();
        if (m_unshare == 0) {
            dup2(out[1], STDOUT_FILENO);
            execlp("unshare", "unshare", "-m", "-p", "-f", "--mount-proc", "--propagation",
                   "private", "--kill-child", "--", "sh", "-c", script.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        m_reader = std::thread([this, fd = out[0]] { ReadOutput(fd); });
    }
    ~Daemon() { Stop(); }

    // Waits for the listener; the time from the start in ms, or -1.
    double WaitAccepting() {
        for (int i = 0; i < 10000; ++i) {
            if (Accepting()) {
                return static_cast<double>(MonotonicNs() - m_started_ns) / 1e6;
            }
            SleepMs(0.5);
        }
        return -1;
    }
    bool WaitLine(const std::string& line, int count = 1, int timeout_ms = 10000) {
        for (int waited = 0; waited < timeout_ms; waited += 2) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_counts[line] >= count) {
                    return true;
                }
            }
            SleepMs(2);
        }
        return false;
    }
    int Count(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts[line];
    }
    // The daemon: unshare's one child, which became it by exec (or became
    // whatever runs it, such as valgrind).
    pid_t Pid() {
        for (int i = 0; i < 1000 && m_pid == 0; ++i) {
            const std::vector<pid_t> children = Children(m_unshare);
            if (!children.empty() && Comm(children.front()) != "sh") {
                m_pid = children.front();
            } else {
                SleepMs(2);
            }
        }
        return m_pid;
    }
    // CPU time (user + system) and resident memory of the daemon.
    double CpuSeconds() {
        std::ifstream stat("/proc/" + std::to_string(Pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15) {
                ticks += std::stod(field);
            }
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    double RssMb() {
        std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stod(line.substr(6)) / 1024.0;
            }
        }
        return -1;
    }
    int Stop() {
        int status = -1;
        if (m_unshare > 0) {
            // A daemon under valgrind takes its time to end and write its report.
            for (int i = 0; i < 2000 && waitpid(m_unshare, &status, WNOHANG) == 0; ++i) {
                if (i == 1500) {
                    kill(m_unshare, SIGKILL);
                }
                SleepMs(10);
            }
            m_unshare = 0;
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
        return status;
    }
    void Kill() {
        if (Pid() > 0) {
            kill(m_pid, SIGKILL);
        }
    }

  private:
    void ReadOutput(int fd) {
        char block[65536];
        std::string partial;
        ssize_t got;
        while ((got = read(fd, block, sizeof block)) > 0) {
            partial.append(block, static_cast<size_t>(got));
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_counts[partial.substr(0, end)];
                partial.erase(0, end + 1);
            }
        }
        close(fd);
    }

    int64_t m_started_ns = 0;
    pid_t m_unshare = 0;
    pid_t m_pid = 0;
    std::thread m_reader;
    std::mutex m_mutex;
    std::map<std::string, int> m_counts;
};

constexpr int kWarmUpScans = 30;

const char kOpened[] = "connect and open device :add(vid(1a86)pid(7523))";

struct Options {
    std::string daemon;
    std::string json = "daemon-bench.json";
    int scans = 300;
    int sustain_seconds = 60;
    int idle_seconds = 60;
    std::vector<int> clients = {1, 100, 1000};
};

std::ostringstream g_json;
bool g_first_field = true;
std::vector<std::string> g_other;  // the table's second part

void Other(const char* format, double value, const char* target) {
    char line[160];
    std::snprintf(line, sizeof line, format, value);
    char row[256];
    std::snprintf(row, sizeof row, "  %-44s %s", line, target);
    g_other.push_back(row);
}

void Field(const std::string& name, double value) {
    g_json << (g_first_field ? "" : ",\n") << "  \"" << name << "\": " << value;
    g_first_field = false;
}

void Stats(const std::string& name, const LatencyStats& s) {
    Field(name + "_p50_ms", s.p50);
    Field(name + "_p90_ms", s.p90);
    Field(name + "_p99_ms", s.p99);
    Field(name + "_max_ms", s.max);
}

// Connects and registers `count` clients; every registration is seen in the
// daemon's output before this returns.
bool Register(Daemon& daemon, WsLoadClients& clients, int count) {
    const int before = daemon.Count("g_conn  get!");
    return clients.Connect(kPort, count) && daemon.WaitLine("g_conn  get!", before + count, 30000);
}

// Types scans one after the other, each once every client has the one before.
void TypePaced(Testbed& bed, WsLoadClients& clients, int scans, const char* terminator,
               double gap_ms, double* client_cpu_ms) {
    for (int i = 0; i < scans; ++i) {
        char text[64];
        const int64_t sent = MonotonicNs();
        std::snprintf(text, sizeof text, "%d %lld%s", i, static_cast<long long>(sent), terminator);
        bed.Write("ttyUSB0", text);
        const double cpu = ThreadCpuMs();
        clients.Receive(i + 1, 5000);
        *client_cpu_ms += ThreadCpuMs() - cpu;
        SleepMs(gap_ms);
    }
}

void Row(const char* what, const LatencyStats& s, const char* target) {
    std::printf("  %-34s %8.3f %8.3f %8.3f %8.3f   %s\n", what, s.p50, s.p90, s.p99, s.max, target);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (arg == "--json") {
            options.json = next();
        } else if (arg == "--scans") {
            options.scans = std::atoi(next().c_str());
        } else if (arg == "--sustain-seconds") {
            options.sustain_seconds = std::atoi(next().c_str());
        } else if (arg == "--idle-seconds") {
            options.idle_seconds = std::atoi(next().c_str());
        } else if (arg == "--clients") {
            options.clients.clear();
            std::istringstream list(next());
            for (std::string count; std::getline(list, count, ',');) {
                options.clients.push_back(std::atoi(count.c_str()));
            }
        } else {
            options.daemon = arg;
        }
    }
    if (options.daemon.empty()) {
        std::fprintf(stderr,
                     "usage: bench_daemon DAEMON [--json FILE] [--scans N] "
                     "[--sustain-seconds S] [--idle-seconds S]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    g_json << "{\n";

    // Start-up with a scanner present, and the idle cost while waiting for one.
    {
        Testbed empty;
        Daemon waiting(options.daemon);
        const double start_ms = waiting.WaitAccepting();
        Field("start_to_accepting_ms", start_ms);
        waiting.WaitLine("have no device");
        const double rss0 = waiting.RssMb();
        const double cpu0 = waiting.CpuSeconds();
        SleepMs(options.idle_seconds * 1000.0);
        const double idle_none = (waiting.CpuSeconds() - cpu0) / options.idle_seconds * 100;
        Field("idle_cpu_no_scanner_percent", idle_none);
        Field("rss_no_scanner_mb", rss0);
        waiting.Kill();
        waiting.Stop();
        Other("start to accepting connections: %.1f ms", start_ms, "");
        Other("idle CPU, no scanner: %.3f %% of a core", idle_none, "target < 0.1 %");
        Other("RSS, no scanner: %.1f MB", rss0, "");
    }

    Testbed bed;
    const std::string syspath = bed.AddScanner("ttyUSB0");
    Daemon daemon(options.daemon);
    if (daemon.WaitAccepting() < 0 || !daemon.WaitLine(kOpened)) {
        std::fprintf(stderr, "the daemon did not open the virtual scanner\n");
        return 1;
    }
    Field("rss_0_clients_mb", daemon.RssMb());
    Other("RSS, scanner open, 0 clients: %.1f MB", daemon.RssMb(), "");
    {
        const double cpu0 = daemon.CpuSeconds();
        SleepMs(options.idle_seconds * 1000.0);
        const double idle = (daemon.CpuSeconds() - cpu0) / options.idle_seconds * 100;
        Field("idle_cpu_scanner_open_percent", idle);
        Other("idle CPU, scanner open: %.3f %% of a core", idle, "target < 0.1 %");
    }

    std::printf("\n  %-34s %8s %8s %8s %8s   %s\n", "latency, ms", "p50", "p90", "p99", "max",
                "target");
    std::map<int, LatencyStats> all;
    for (int count : options.clients) {
        WsLoadClients clients;
        if (!Register(daemon, clients, count)) {
            std::fprintf(stderr, "%d clients could not register\n", count);
            return 1;
        }
        double client_cpu_ms = 0;
        const double gap_ms = count >= 1000 ? 20 : 5;
        // Unmeasured first scans: the first ones after an idle minute wake
        // caches and CPUs rather than measure the daemon.
        TypePaced(bed, clients, kWarmUpScans, "\r\n", gap_ms, &client_cpu_ms);
        clients.ResetCounts();
        client_cpu_ms = 0;
        TypePaced(bed, clients, options.scans, "\r\n", gap_ms, &client_cpu_ms);
        const std::string name = "crlf_" + std::to_string(count) + "_clients";
        const LatencyStats s = Summarise(clients.LatenciesMs());
        const LatencyStats first = Summarise(clients.FirstLatenciesMs());
        all[count] = s;
        Stats(name, s);
        Stats(name + "_first_receipt", first);
        Field(name + "_missing", static_cast<double>(clients.Missing(options.scans)));
        Field(name + "_duplicates", static_cast<double>(clients.Duplicates()));
        const double per_frame_us =
            client_cpu_ms * 1000 / (static_cast<double>(options.scans) * count);
        Field(name + "_client_cpu_us_per_frame", per_frame_us);
        Field("rss_" + std::to_string(count) + "_clients_mb", daemon.RssMb());
        Other(("RSS, " + std::to_string(count) + " clients: %.1f MB").c_str(), daemon.RssMb(),
              count == 1000 ? "target < 20 MB" : "");
        const char* target = count == 1     ? "p50 < 0.4, p99 < 1"
                             : count == 100 ? "p50 < 2, p99 < 6"
                                            : "p99 < 40, all received";
        Row((std::to_string(count) + " client(s), every receipt").c_str(), s, target);
        Row((std::to_string(count) + " client(s), first receipt").c_str(), first, "");
        std::printf(
            "  %-34s missing %lld, duplicates %lld, clients' CPU %.2f us a frame "
            "(%.3f ms a scan), RSS %.1f MB\n",
            "", static_cast<long long>(clients.Missing(options.scans)),
            static_cast<long long>(clients.Duplicates()), per_frame_us, per_frame_us * count / 1000,
            daemon.RssMb());
        clients.CloseAll();
        SleepMs(200);
    }

    // Unterminated scans: framed by the quiet time.
    {
        WsLoadClients one;
        Register(daemon, one, 1);
        double ignored = 0;
        TypePaced(bed, one, 20, "", 20, &ignored);
        const LatencyStats s = Summarise(one.LatenciesMs());
        Stats("unterminated", s);
        Row("unterminated scan, 1 client", s, "50 + at most 10");
        one.CloseAll();
    }

    // Sustained load: 50 scans a second to 100 clients.
    if (options.sustain_seconds > 0) {
        WsLoadClients clients;
        Register(daemon, clients, 100);
        const int total = 50 * options.sustain_seconds;
        const int64_t begin = MonotonicNs();
        for (int i = 0; i < total; ++i) {
            const int64_t due = begin + static_cast<int64_t>(i) * 20000000;
            while (MonotonicNs() < due) {
                clients.Receive(total, static_cast<int>((due - MonotonicNs()) / 1000000));
            }
            char text[64];
            std::snprintf(text, sizeof text, "%d %lld\r\n", i,
                          static_cast<long long>(MonotonicNs()));
            bed.Write("ttyUSB0", text);
        }
        clients.Receive(total, 5000);
        const LatencyStats s = Summarise(clients.LatenciesMs());
        Stats("sustained_100_clients", s);
        Field("sustained_scans", total);
        Field("sustained_lost", static_cast<double>(clients.Missing(total)));
        Field("sustained_duplicates", static_cast<double>(clients.Duplicates()));
        Field("sustained_merged", static_cast<double>(clients.Merged()));
        Row("50 scans/s to 100 clients", s, "");
        std::printf(
            "  %-34s %d scans: lost %lld, duplicated %lld (target 0 and 0); %lld "
            "arrived inside the frame before them\n",
            "", total, static_cast<long long>(clients.Missing(total)),
            static_cast<long long>(clients.Duplicates()), static_cast<long long>(clients.Merged()));
        clients.CloseAll();
    }

    std::printf("\n");
    bed.Unplug("ttyUSB0", syspath);
    const int status = daemon.Stop();
    Field("exit_status_after_unplug", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    g_json << "\n}\n";
    std::ofstream(options.json) << g_json.str();

    for (const std::string& row : g_other) {
        std::printf("%s\n", row.c_str());
    }
    std::printf("\nfigures in %s\n", options.json.c_str());
    return 0;
}
