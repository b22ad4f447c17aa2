#include "metrics.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#ifndef TAVITTY_VERSION
#define TAVITTY_VERSION "unknown"
#endif

namespace {

// A label value as the exposition format writes it.
std::string Escaped(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void Family(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& text, const char* name, const std::string& labels, int64_t value) {
    char number[32];
    std::snprintf(number, sizeof number, " %" PRId64 "\n", value);
    text += name + (labels.empty() ? std::string() : "{" + labels + "}") + number;
}

// One counter or gauge of the web side: family and its one sample.
void Single(std::string& text, const char* name, const char* type, const char* help,
            int64_t value) {
    Family(text, name, type, help);
    Sample(text, name, std::string(), value);
}

}  // namespace

const char* const Metrics::kDropNames[kDropReasons] = {"conversion", "empty",      "hang_up",
                                                       "too_long",   "incomplete", "disabled"};

const char* const Metrics::kTokenRefusalNames[kTokenRefusals] = {
    "missing", "malformed", "signature", "expired", "not_yet_valid", "audience", "sources"};

void Metrics::CountTokenRefusal(const std::string& reason) {
    for (int i = 0; i < kTokenRefusals; ++i) {
        if (reason == kTokenRefusalNames[i]) {
            ++tokens_refused[i];
        }
    }
}

Metrics::Metrics() : m_start(static_cast<int64_t>(std::time(nullptr))) {}

Metrics& Metrics::Get() {
    static Metrics metrics;
    return metrics;
}

std::shared_ptr<Metrics::Scanner> Metrics::ScannerSlot(const std::string& name,
                                                       const std::string& kind,
                                                       const std::string& device) {
    std::lock_guard<std::mutex> lock(m_registry);
    ++m_uses;
    for (const auto& scanner : m_scanners) {
        if (scanner->name == name && scanner->kind == kind && scanner->device == device) {
            scanner->last_use = m_uses;
            return scanner;
        }
    }
    if (m_scanners.size() == kMaxScanners) {
        auto oldest = m_scanners.end();
        for (auto it = m_scanners.begin(); it != m_scanners.end(); ++it) {
            if ((*it)->open == 0 &&
                (oldest == m_scanners.end() || (*it)->last_use < (*oldest)->last_use)) {
                oldest = it;
            }
        }
        if (oldest == m_scanners.end()) {
            return nullptr;
        }
        m_scanners.erase(oldest);
    }
    m_scanners.push_back(std::shared_ptr<Scanner>(new Scanner{name, kind, device}));
    m_scanners.back()->last_use = m_uses;
    return m_scanners.back();
}

std::shared_ptr<Metrics::Scanner> Metrics::ScannerNamed(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_registry);
    std::shared_ptr<Scanner> last;
    for (const auto& scanner : m_scanners) {
        if (scanner->name == name && (!last || scanner->last_use > last->last_use)) {
            last = scanner;
        }
    }
    return last;
}

std::string Metrics::Exposition() const {
    std::string text;
    Family(text, "tavitty_build_info", "gauge", "The daemon's version; always 1.");
    Sample(text, "tavitty_build_info", "version=\"" TAVITTY_VERSION "\"", 1);
    Single(text, "tavitty_process_start_time_seconds", "gauge",
           "When the daemon started, in seconds since the epoch.", m_start);

    // Each scanner's families, the samples of every scanner under each.
    struct ScannerFamily {
        const char* name;
        const char* type;
        const char* help;
        int64_t (*value)(const Scanner&);
    };
    static const ScannerFamily kFamilies[] = {
        {"tavitty_scanner_open", "gauge", "Whether the scanner is open (1) or not (0).",
         [](const Scanner& s) -> int64_t { return s.open.load(); }},
        {"tavitty_scans_total", "counter",
         "Scans read and handed on to the pages, whether or not a page took them.",
         [](const Scanner& s) -> int64_t { return static_cast<int64_t>(s.scans.load()); }},
        {"tavitty_scan_bytes_total", "counter", "Bytes of the scans read, as converted.",
         [](const Scanner& s) -> int64_t { return static_cast<int64_t>(s.bytes.load()); }},
        {"tavitty_scanner_orders_failed_total", "counter",
         "Signals and orders (disable, enable) that could not be written to the scanner.",
         [](const Scanner& s) -> int64_t { return static_cast<int64_t>(s.orders_failed.load()); }},
        {"tavitty_scans_unreached_total", "counter",
         "Scans sent to no page by the time they were no longer kept (every scanner at once).",
         [](const Scanner& s) -> int64_t { return static_cast<int64_t>(s.unreached.load()); }},
        {"tavitty_scanner_open_failures_total", "counter", "Opens of the scanner that failed.",
         [](const Scanner& s) -> int64_t { return static_cast<int64_t>(s.open_failures.load()); }},
        {"tavitty_scanner_open_retries_total", "counter",
         "Opens of the scanner tried again after one failed.",
         [](const Scanner& s) -> int64_t { return static_cast<int64_t>(s.open_retries.load()); }},
    };
    std::vector<std::shared_ptr<Scanner>> scanners;
    {
        std::lock_guard<std::mutex> lock(m_registry);
        scanners = m_scanners;
    }
    const size_t count = scanners.size();
    auto labels = [](const Scanner& s) {
        return "scanner=\"" + Escaped(s.name) + "\",kind=\"" + Escaped(s.kind) + "\",device=\"" +
               Escaped(s.device) + "\"";
    };
    for (const ScannerFamily& family : kFamilies) {
        Family(text, family.name, family.type, family.help);
        for (size_t i = 0; i < count; ++i) {
            Sample(text, family.name, labels(*scanners[i]), family.value(*scanners[i]));
        }
    }
    Family(text, "tavitty_scans_dropped_total", "counter", "Scans dropped, by reason.");
    for (size_t i = 0; i < count; ++i) {
        for (int reason = 0; reason < kDropReasons; ++reason) {
            Sample(text, "tavitty_scans_dropped_total",
                   labels(*scanners[i]) + ",reason=\"" + kDropNames[reason] + "\"",
                   static_cast<int64_t>(scanners[i]->dropped[reason].load()));
        }
    }

    Single(text, "tavitty_pages_connected", "gauge", "WebSocket connections open now.",
           pages_connected.load());
    Single(text, "tavitty_pages_registered", "gauge", "Pages registered for scans now.",
           pages_registered.load());
    Single(text, "tavitty_pages_refused_by_origin_total", "counter",
           "Pages refused because their origin is not allowed.",
           static_cast<int64_t>(pages_refused_by_origin.load()));
    if (page_tokens.load()) {
        Family(text, "tavitty_page_tokens_refused_total", "counter",
               "Page requests refused for their token (none, not valid, expired...), by reason.");
        for (int i = 0; i < kTokenRefusals; ++i) {
            Sample(text, "tavitty_page_tokens_refused_total",
                   std::string("reason=\"") + kTokenRefusalNames[i] + "\"",
                   static_cast<int64_t>(tokens_refused[i].load()));
        }
    }
    Family(text, "tavitty_pages_dropped_total", "counter",
           "Pages disconnected by the daemon: they stopped reading, or answering pings.");
    Sample(text, "tavitty_pages_dropped_total", "reason=\"slow_reader\"",
           static_cast<int64_t>(pages_dropped_slow.load()));
    Sample(text, "tavitty_pages_dropped_total", "reason=\"ping_timeout\"",
           static_cast<int64_t>(pages_dropped_ping.load()));
    Single(text, "tavitty_messages_sent_total", "counter", "WebSocket messages sent to pages.",
           static_cast<int64_t>(messages_sent.load()));
    Single(text, "tavitty_listener_up", "gauge",
           "Whether the WebSocket listener listens (1) or not (0).", listener_up.load());
    Single(text, "tavitty_listener_failures_total", "counter",
           "Tries to set up the WebSocket listener that failed.",
           static_cast<int64_t>(listener_failures.load()));
    if (tls_not_after.load() != 0) {
        Single(text, "tavitty_tls_certificate_expiry_timestamp_seconds", "gauge",
               "When the wss:// certificate ends, in seconds since the epoch.",
               tls_not_after.load());
    }
    return text;
}
