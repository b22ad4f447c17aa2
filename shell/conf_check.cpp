#include "conf_check.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "conf_reader.h"
#include "line_attr.h"
#include "metrics_server.h"
#include "network_policy.h"
#include "page_tokens.h"

namespace {

// What a serial line is given, as the daemon sets it from the file's
// numbers: the speed and frame that the termios record takes.
std::string LineInForce(const TtyAttr& attr) {
    const termios line =
        MakeLineAttr(termios{}, attr.baudrate, attr.databits, attr.parity, attr.stopbits);
    const struct {
        speed_t speed;
        int baud;
    } speeds[] = {{B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B115200, 115200}};
    int baud = 0;
    for (const auto& speed : speeds) {
        baud = cfgetospeed(&line) == speed.speed ? speed.baud : baud;
    }
    const char parity = (line.c_cflag & PARENB) == 0 ? 'N' : (line.c_cflag & PARODD) ? 'O' : 'E';
    return std::to_string(baud) + " " + ((line.c_cflag & CSIZE) == CS7 ? "7" : "8") + parity +
           ((line.c_cflag & CSTOPB) ? "2" : "1");
}

const char* EncodingName(int encoding) {
    static const char* const kNames[] = {"fails every conversion", "GB2312 to UTF-8",
                                         "GB18030 to UTF-8",       "GB2312 to GBK",
                                         "bytes unchanged",        "fails every conversion",
                                         "fails every conversion"};
    return encoding >= 0 && encoding <= 6 ? kNames[encoding] : "?";
}

std::string Entry(const ScannerEntry& entry) {
    std::string text;
    auto add = [&text](const char* key, const std::string& value) {
        if (!value.empty()) {
            text += (text.empty() ? "" : ", ") + std::string(key) + " " + value;
        }
    };
    char id[8];
    std::snprintf(id, sizeof id, "%04x", entry.vid & 0xffffu);
    add("VendorId", entry.any_vendor ? "" : id);
    std::snprintf(id, sizeof id, "%04x", entry.pid & 0xffffu);
    add("ProductId", entry.any_product ? "" : id);
    add("Model", entry.model);
    add("Serial", entry.serial);
    add("Port", entry.port);
    add("Device", entry.device);
    add("Name", entry.name);
    add("Layout", entry.layout);
    add("AimPrefix", entry.aim_prefix ? "1" : "");
    add("AutoDisable", entry.auto_disable ? "1" : "");
    std::string signals;
    for (int order = 0; order < kScannerOrders; ++order) {
        if (!entry.order_bytes[order].empty()) {
            signals += (signals.empty() ? "" : " ") +
                       std::string(OrderName(static_cast<ScannerOrder>(order)));
        }
    }
    add("Signals", signals);
    return text;
}

std::string Join(const std::vector<std::string>& items, const char* none) {
    std::string text;
    for (const std::string& item : items) {
        text += item.empty() ? "" : (text.empty() ? "" : ", ") + item;
    }
    return text.empty() ? none : text;
}

// A labelled value, or nothing where it is empty.
std::string Labelled(const char* label, const std::string& value) {
    return value.empty() ? value : std::string(label) + " " + value;
}

}  // namespace

int CheckConfig(const char* path) {
    std::string port;
    int encoding = 0;
    TtyAttr attr{};
    NetworkPolicy policy;
    ScannerOptions scanners;
    ConfReport report;
    ReadConfFile(path, port, encoding, attr, policy, scanners, &report);

    auto say = [&report](const char* setting, const std::string& value) {
        bool from_file = false;
        for (const std::string& given : report.from_file) {
            from_file = from_file || given == setting;
        }
        std::printf("%s: %s (%s)\n", setting, value.c_str(),
                    from_file ? "from the file" : "default");
    };
    say("WebsocketPort", port);
    say("Encode", std::to_string(encoding) + ", " + EncodingName(encoding));
    say("ttyAttr/baudrate", std::to_string(attr.baudrate));
    say("ttyAttr/databits", std::to_string(attr.databits));
    say("ttyAttr/stopbits", std::to_string(attr.stopbits));
    say("ttyAttr/parity", std::string(1, attr.parity));
    std::printf("a serial line: %s\n", LineInForce(attr).c_str());
    say("BindAddress", policy.bind_address.empty() ? "every IPv4 interface" : policy.bind_address);
    say("AllowedOrigins", Join(policy.allowed_origins, "any origin"));
    say("Tls", policy.tls ? "wss:// only: " + policy.tls_certificate + ", " + policy.tls_private_key
                          : "none: plain ws://");
    const PageTokenOptions& tokens = policy.page_tokens;
    say("PageTokens", tokens.enabled ? Join({Labelled("PublicKey", tokens.public_key),
                                             Labelled("Secret", tokens.secret),
                                             Labelled("Audience", tokens.audience)},
                                            "no key")
                                     : "none: any page is served");
    const MetricsOptions& metrics = policy.metrics;
    say("Metrics", metrics.enabled ? "http://" +
                                         (metrics.bind_address.empty() ? std::string("127.0.0.1")
                                                                       : metrics.bind_address) +
                                         ":" + metrics.port + "/metrics"
                                   : "none");
    say("LogScanData", scanners.log_scan_data ? "1: each scan's bytes are logged"
                                              : "0: scans stay out of the log");
    say("ServeAllScanners",
        scanners.serve_all ? "1: every scanner at once" : "0: one scanner a run");
    say("KeepScans", std::to_string(scanners.keep_scans_seconds) + " s");
    for (const ScannerEntry& entry : scanners.serial) {
        std::printf("Scanners/Scanner: %s (from the file)\n", Entry(entry).c_str());
    }
    for (const ScannerEntry& entry : scanners.keyboards) {
        std::printf("KeyboardScanners/Scanner: %s (from the file)\n", Entry(entry).c_str());
    }

    // What the daemon would say at start, beyond what reading says.
    std::vector<std::string> problems = report.problems;
    if (!report.unusable.empty()) {
        problems.push_back(std::string(path) + " can't be used: " + report.unusable +
                           "; the defaults are in force");
    }
    // The key files are root's and open to nobody else: only root can read
    // them to check them.
    const bool root = geteuid() == 0;
    NetworkPolicy unkeyed = policy;
    unkeyed.tls = unkeyed.tls && root;
    for (const std::string& listener : {ListenerProblem(unkeyed, port.c_str()),
                                        root ? PageTokens().Load(tokens) : std::string()}) {
        if (!listener.empty()) {
            problems.push_back("no listener on port " + port + ": " + listener);
        }
    }
    if (!root && (policy.tls || tokens.enabled)) {
        std::printf("the key files are not checked: only root may read them\n");
    }
    const std::string metrics_problem = metrics.enabled ? MetricsProblem(metrics) : "";
    if (!metrics_problem.empty()) {
        problems.push_back("no metrics listener on port " + metrics.port + ": " + metrics_problem);
    }
    for (const std::string& problem : problems) {
        std::printf("problem: %s\n", problem.c_str());
    }
    std::printf("%s\n", problems.empty() ? "the daemon would start as written"
                                         : "the daemon would not start as written");
    return problems.empty() ? 0 : 1;
}
