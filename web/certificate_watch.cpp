#include "certificate_watch.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "metrics.h"
#include "tls_files.h"

namespace {

std::string Day(int64_t seconds) {
    const time_t time = static_cast<time_t>(seconds);
    tm day = {};
    gmtime_r(&time, &day);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &day);
    return text;
}

}  // namespace

CertificateWatch::~CertificateWatch() {
    Stop();
}

std::string CertificateWatch::Judge(const std::string& certificate, int64_t not_before,
                                    int64_t not_after, int64_t now) {
    if (now >= not_after) {
        return "certificate " + certificate + " expired on " + Day(not_after) +
               ": browsers refuse wss:// with it";
    }
    if (now < not_before) {
        return "certificate " + certificate + " is not valid until " + Day(not_before) +
               ": browsers refuse wss:// with it until then";
    }
    if (not_after - now <= kSoonSeconds) {
        return "certificate " + certificate + " ends on " + Day(not_after) +
               ", within 30 days: make a new one";
    }
    return std::string();
}

void CertificateWatch::Start(const std::string& certificate, Tell tell) {
    if (m_thread.joinable()) {
        return;
    }
    m_certificate = certificate;
    m_tell = std::move(tell);
    if (!CertificateDates(m_certificate, m_not_before, m_not_after)) {
        return;  // the listener's own check names what is wrong with the file
    }
    Metrics::Get().tls_not_after = m_not_after;
    Look();
    m_thread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::hours(kCheckHours), [this] { return m_quit; })) {
            lock.unlock();
            Look();
            lock.lock();
        }
    });
}

void CertificateWatch::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CertificateWatch::Look() {
    const std::string warning =
        Judge(m_certificate, m_not_before, m_not_after, static_cast<int64_t>(std::time(nullptr)));
    if (!warning.empty()) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
    if (m_tell) {
        m_tell(warning);
    }
}
