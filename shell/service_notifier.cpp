#include "service_notifier.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// Until the listener's fate is known it is asked often; after that, the
// listener and the page count once a second.
constexpr auto kStartPoll = std::chrono::milliseconds(20);
constexpr auto kMinInterval = std::chrono::seconds(1);

}  // namespace

ServiceNotifier::~ServiceNotifier() {
    Stop();
}

void ServiceNotifier::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void ServiceNotifier::Start(const std::string& port, ListenerState listener, PageCount pages) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0' || m_thread.joinable()) {
        return;
    }
    m_port = port;
    m_listener = std::move(listener);
    m_pages = std::move(pages);
    m_thread = std::thread(&ServiceNotifier::Run, this);
}

void ServiceNotifier::ScannerOpened(const std::string& node, unsigned vid, unsigned pid) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vid & 0xffffu, pid & 0xffffu);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scanner = node + " (" + ids + ")";
        m_changed = true;
    }
    m_wake.notify_all();
}

void ServiceNotifier::ScannerGone() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scanner.clear();
        m_changed = true;
    }
    m_wake.notify_all();
}

void ServiceNotifier::ScannerTrouble(const std::string& status) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_trouble = status;
        m_changed = true;
    }
    m_wake.notify_all();
}

void ServiceNotifier::ScannersServed(const std::vector<std::string>& open,
                                     const std::string& trouble) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_all = true;
        m_open = open;
        m_trouble = trouble;
        m_changed = true;
    }
    m_wake.notify_all();
}

void ServiceNotifier::CertificateWarning(const std::string& warning) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_certificate = warning;
        m_changed = true;
    }
    m_wake.notify_all();
}

std::string ServiceNotifier::Status(int listener, const std::string& problem, size_t pages) const {
    const std::string certificate = m_certificate.empty() ? "" : "; " + m_certificate;
    std::string status;
    if (listener < 0) {
        status = "no listener on port " + m_port + " (" + problem + ")" +
                 (listener == -2 ? ", retrying; " : "; ");
    }
    std::string serving = m_scanner;
    if (m_all && !m_open.empty()) {
        serving =
            std::to_string(m_open.size()) + (m_open.size() == 1 ? " scanner (" : " scanners (");
        for (size_t i = 0; i < m_open.size(); ++i) {
            serving += (i == 0 ? "" : ", ") + m_open[i];
        }
        serving += ")";
    } else if (m_all) {
        serving.clear();
    }
    if (serving.empty()) {
        return status + (m_trouble.empty() ? "waiting for a scanner" : m_trouble) + certificate;
    }
    return status + "serving " + serving + " to " + std::to_string(pages) +
           (pages == 1 ? " page" : " pages") +
           (m_all && !m_trouble.empty() ? "; " + m_trouble : "") + certificate;
}

void ServiceNotifier::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::string sent;
    while (!m_quit) {
        // Asked every time: a listener that failed is tried again.
        std::string problem;
        const int listener = m_listener(problem);
        if (listener == 0) {
            m_wake.wait_for(lock, kStartPoll, [this] { return m_quit; });
            continue;
        }
        const std::string status = Status(listener, problem, m_pages());
        m_changed = false;
        if (status != sent) {
            const std::string message = (sent.empty() ? "READY=1\nSTATUS=" : "STATUS=") + status;
            sd_notify(0, message.c_str());
            sent = status;
            // At most one update a second: what changes meanwhile waits.
            m_wake.wait_for(lock, kMinInterval, [this] { return m_quit; });
            continue;
        }
        m_wake.wait_for(lock, kMinInterval, [this] { return m_quit || m_changed; });
    }
}
