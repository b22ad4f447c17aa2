#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "certificate_watch.h"
#include "conf_check.h"
#include "conf_reader.h"
#include "instance_guard.h"
#include "metrics.h"
#include "metrics_server.h"
#include "output_relay.h"
#include "payment_code.h"
#include "scanner_set.h"
#include "service_notifier.h"
#include "ttyUSB.h"
#include "tty_attr.h"
#include "webserver.h"

namespace {

// How long pages get to take their close on a stop.
constexpr int kGoingAwayMillis = 1000;

// Built in this order and destroyed in the reverse one: the notifier (which
// asks the web server) first, the web server (its thread joined) before the
// scanner object, and the output relay last, so that every line printed up to
// the end reaches standard output.
OutputRelay g_outputRelay;
CttyUSB g_ttyUSB;
CWebServer g_webServer;
MetricsServer g_metricsServer;
ServiceNotifier g_notifier;
CertificateWatch g_certificateWatch;
std::string g_webPort;
TtyAttr g_ttyAttr;
int g_nSelectEncoding;
NetworkPolicy g_netPolicy;
ScannerOptions g_scannerOptions;

int ReadConfInfo() {
    return ReadConfFile(kConfPath, g_webPort, g_nSelectEncoding, g_ttyAttr, g_netPolicy,
                        g_scannerOptions);
}

static_assert(kScanDropReasons == Metrics::kDropReasons, "drop reasons, one list");

// A scanner's counts for the metrics: by its name, or by its node where
// scanners are served one a run. Null past the registry's bound.
using Counts = std::shared_ptr<Metrics::Scanner>;

Counts CountsOf(const std::string& name, ScannerKind kind, const std::string& node) {
    return Metrics::Get().ScannerSlot(name, KindName(kind), node);
}

Counts CountsOf(const tag_dev_online_node& node) {
    return CountsOf(node.devname, node.kind, node.devname);
}

void CountOpen(const Counts& counts, bool open) {
    if (counts != nullptr) {
        counts->open = open ? 1 : 0;
    }
}

void CountScan(const Counts& counts, size_t bytes) {
    if (counts != nullptr) {
        ++counts->scans;
        counts->bytes += bytes;
    }
}

void CountDrop(const Counts& counts, ScanDrop reason) {
    if (counts != nullptr) {
        ++counts->dropped[static_cast<int>(reason)];
    }
}

void CountOpenTry(const Counts& counts, bool opened, bool retry) {
    if (counts != nullptr) {
        counts->open_failures += opened ? 0 : 1;
        counts->open_retries += retry ? 1 : 0;
    }
}

// The one seam between the scanner layer and the web layer: every event goes
// on unchanged.
void recvStringfromGun(int code, std::string text) {
    if (code == 0) {
        CountScan(CountsOf(g_ttyUSB.m_open_node), text.size());
    }
    g_webServer.SendStringToWeb(code, std::string(text.data(), text.size()));
    if (code == 1 || code == 2) {
        CountOpen(CountsOf(g_ttyUSB.m_open_node), code == 1);
    }
    if (code == 1) {
        g_notifier.ScannerOpened(g_ttyUSB.m_open_node.devname, g_ttyUSB.m_open_node.vid,
                                 g_ttyUSB.m_open_node.pid);
    } else if (code == 2) {
        g_notifier.ScannerGone();
    }
}

// With <ServeAllScanners>: every scanner at once, each scan naming its
// scanner. Set once the web server runs (a page's order may read it at any
// time), and cleared once it has stopped.
std::atomic<ScannerSet*> g_scannerSet{nullptr};

void TellSystemdTheScanners() {
    // Called from every scanner's thread: the list taken last is told last.
    static std::mutex telling;
    std::lock_guard<std::mutex> lock(telling);
    std::vector<std::string> open;
    ScannerSet* set = g_scannerSet;
    for (const ScannerInfo& scanner : set->Open()) {
        open.push_back(scanner.name + " " + scanner.devname);
    }
    g_notifier.ScannersServed(open, set->Trouble());
}

ServedScanner AsPagesSeeIt(const ScannerInfo& scanner) {
    ServedScanner seen;
    seen.name = scanner.name;
    seen.kind = KindName(scanner.kind);
    seen.device = scanner.devname;
    seen.vid = scanner.vid;
    seen.pid = scanner.pid;
    for (const ScannerOrder signal :
         {ScannerOrder::kGood, ScannerOrder::kError, ScannerOrder::kNotOnFile}) {
        if ((scanner.orders & OrderBit(signal)) != 0) {
            seen.signals.emplace_back(OrderName(signal));
        }
    }
    // Told to stop only where it can be told to start again.
    const unsigned both = OrderBit(ScannerOrder::kDisable) | OrderBit(ScannerOrder::kEnable);
    seen.can_disable = (scanner.orders & both) == both;
    seen.auto_disable = scanner.auto_disable;
    return seen;
}

ScannerSet::Events ScannerSetEvents() {
    ScannerSet::Events events;
    auto counts = [](const ScannerInfo& scanner) {
        return CountsOf(scanner.name, scanner.kind, scanner.devname);
    };
    events.opened = [counts](const ScannerInfo& scanner) {
        CountOpen(counts(scanner), true);
        g_webServer.ScannerOpened(AsPagesSeeIt(scanner));
    };
    events.scan = [counts](const ScannerInfo& scanner, Scan scan) {
        const size_t size = scan.text.size();
        size_t first = 0;
        size_t digits = 0;
        const bool payment = FindPaymentCode(scan.text.data(), size, first, digits);
        if (g_webServer.SendScanToWeb(scanner.name, std::move(scan.text), scan.symbology, payment) <
            0) {
            CountDrop(counts(scanner), ScanDrop::kDisabled);
        } else {
            CountScan(counts(scanner), size);
        }
    };
    events.gone = [counts](const ScannerInfo& scanner) {
        CountOpen(counts(scanner), false);
        g_webServer.ScannerGone(AsPagesSeeIt(scanner));
    };
    events.dropped = [counts](const ScannerInfo& scanner, ScanDrop reason) {
        CountDrop(counts(scanner), reason);
    };
    events.open_tried = [counts](const ScannerInfo& scanner, bool opened, bool retry) {
        CountOpenTry(counts(scanner), opened, retry);
    };
    events.order_failed = [counts](const ScannerInfo& scanner, ScannerOrder) {
        if (const Counts counted = counts(scanner)) {
            ++counted->orders_failed;
        }
    };
    events.changed = TellSystemdTheScanners;
    return events;
}

SourceSettings ScannerSettings() {
    SourceSettings settings;
    settings.encoding = g_nSelectEncoding;
    settings.log_scan_data = g_scannerOptions.log_scan_data;
    settings.symbology = true;
    settings.baud = g_ttyAttr.baudrate;
    settings.databits = g_ttyAttr.databits;
    settings.stopbits = g_ttyAttr.stopbits;
    settings.parity = g_ttyAttr.parity;
    return settings;
}

// For calls whose failure changes nothing about what happens next.
void Ignore(int) {}

// SIGTERM (systemctl stop, docker stop) and SIGINT end the service cleanly:
// the handler only notes the signal and wakes the stopper thread, which asks
// the read loop to end. A handler, rather than the default action, also makes
// the daemon stoppable as the first process of a pid namespace.
std::atomic<bool> g_stopSignalled{false};
int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const int saved = errno;
    g_stopSignalled = true;
    Ignore(static_cast<int>(write(g_stopPipe[1], "s", 1)));
    errno = saved;
}

// Until the read loop has ended on its own ("e" down the pipe) or a signal
// came: then the loop is asked to end.
void StopOnSignal() {
    char byte = 0;
    while (read(g_stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ScannerSet* set = g_scannerSet;
    if (byte == 's' && set != nullptr) {
        set->Stop();
    } else if (byte == 's') {
        g_ttyUSB.Wait();
    }
}

bool InstallStopSignals() {
    // The handler's end never blocks: signals that come once the stopper has
    // gone only fill the pipe.
    if (pipe2(g_stopPipe, O_CLOEXEC) != 0 || fcntl(g_stopPipe[1], F_SETFL, O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

#ifndef TAVITTY_VERSION
#define TAVITTY_VERSION "unknown"
#define TAVITTY_COMMIT "unknown"
#endif

void Usage(FILE* to) {
    std::fprintf(to,
                 "Usage: Tavitty                         serve the scanners as %s says\n"
                 "       Tavitty --check-config [FILE]   tell what a configuration means, and its\n"
                 "                                       problems, before a restart\n"
                 "       Tavitty --version               the version and the build's commit\n"
                 "       Tavitty --help                  this\n",
                 kConfPath);
}

// The options a user may give by hand; -1 where the daemon is to start (no
// option), else the exit status.
int TakeOptions(int argc, char** argv) {
    const std::string option = argc > 1 ? argv[1] : "";
    if (argc == 1) {
        return -1;
    }
    if (option == "--version" && argc == 2) {
        std::printf("Tavitty %s (commit %s)\n", TAVITTY_VERSION, TAVITTY_COMMIT);
        return 0;
    }
    if (option == "--help" && argc == 2) {
        Usage(stdout);
        return 0;
    }
    if (option == "--check-config" && argc <= 3) {
        return CheckConfig(argc == 3 ? argv[2] : kConfPath);
    }
    Usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Lines must reach a pipe or the journal as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const int done = TakeOptions(argc, argv);
    if (done >= 0) {
        return done;
    }

    if (IsProceRunning()) {
        std::puts("程序已经打开，请勿重复打开!");
        return -1;
    }
    if (getuid() != 0) {
        std::puts("current user is not root");
        Ignore(setuid(0));
        Ignore(setgid(0));
    }
    std::signal(SIGCHLD, SIG_IGN);
    ReadConfInfo();
    std::puts("程序打开成功!");

    const bool stoppable = InstallStopSignals();

    // The certificate's dates, looked at before the server thread reads it.
    if (g_netPolicy.tls) {
        g_certificateWatch.Start(g_netPolicy.tls_certificate, [](const std::string& warning) {
            g_notifier.CertificateWarning(warning);
        });
    }
    g_webServer.m_policy = g_netPolicy;
    g_webServer.m_serve_all = g_scannerOptions.serve_all;
    g_webServer.m_keep_scans_seconds = g_scannerOptions.keep_scans_seconds;
    g_webServer.m_unreached = [](const std::string& source) {
        if (const Counts counts = Metrics::Get().ScannerNamed(source)) {
            ++counts->unreached;
        }
    };
    // Set before the stopper thread starts; pages give orders only to
    // scanners that the set serves.
    g_webServer.m_order = [](const std::string& source, const char* name) {
        ScannerOrder order;
        ScannerSet* set = g_scannerSet;
        if (set != nullptr && OrderNamed(name, order)) {
            set->Order(source, order);
        }
    };
    if (g_webServer.StartSocetServers(g_webPort.c_str()) < 0) {
        std::puts("open websocket server:failure");
        return -1;
    }
    g_metricsServer.Start(g_netPolicy.metrics);
    g_notifier.Start(
        g_webPort,
        [](std::string& problem) {
            problem = g_webServer.ListenerProblem();
            return g_webServer.ListenerState();
        },
        [] { return CWebServer::RegisteredPages(); });
    std::unique_ptr<ScannerSet> all;
    if (g_scannerOptions.serve_all) {
        all = std::make_unique<ScannerSet>(ScannerSettings(), g_scannerOptions, ScannerSetEvents());
        g_scannerSet = all.get();
    }
    std::thread stopper;
    if (stoppable) {
        stopper = std::thread(StopOnSignal);  // a signal that came already is in the pipe
    }
    g_ttyUSB.m_baud = g_ttyAttr.baudrate;
    g_ttyUSB.m_databits = g_ttyAttr.databits;
    g_ttyUSB.m_stopbits = g_ttyAttr.stopbits;
    g_ttyUSB.m_parity = g_ttyAttr.parity;
    g_ttyUSB.m_options = g_scannerOptions;
    g_ttyUSB.m_trouble_callback = [](const std::string& status) {
        g_notifier.ScannerTrouble(status);
    };
    g_ttyUSB.m_drop_callback = [](ScanDrop reason) {
        CountDrop(CountsOf(g_ttyUSB.m_open_node), reason);
    };
    g_ttyUSB.m_open_tried_callback = [](bool opened, bool retry) {
        CountOpenTry(CountsOf(g_ttyUSB.AnnouncedNode()), opened, retry);
    };
    if (all) {
        // Serves until a stop signal comes: scanners come and go meanwhile.
        all->Serve();
    } else {
        // Returns once the scanner it served is gone or a stop signal came;
        // both helper threads have ended or end with the objects' destructors.
        g_ttyUSB.Read_byMonitor_sync(g_nSelectEncoding, recvStringfromGun);
    }
    if (stoppable) {
        Ignore(static_cast<int>(write(g_stopPipe[1], "e", 1)));
        stopper.join();
    }
    if (g_stopSignalled) {
        g_webServer.SayGoingAway(kGoingAwayMillis);
    }
    // Everything that uses the web server or the libraries under it ends
    // here: exit() tears OpenSSL down before the static objects go.
    g_certificateWatch.Stop();
    g_metricsServer.Stop();
    g_notifier.Stop();
    g_webServer.StopSocetServers();
    g_scannerSet = nullptr;
    return 0;
}
