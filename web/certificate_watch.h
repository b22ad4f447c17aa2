#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The wss:// certificate's dates, read when the daemon starts and judged then
// and once a day after: one that has expired, is not valid yet, or ends within 30
// days is said on standard error and to whoever is told (systemd's status).
// The listener serves it all the same: what a browser accepts is the
// browser's call. Its end goes to the metrics.
class CertificateWatch {
  public:
    // What to say now, or empty once all is well again.
    using Tell = std::function<void(const std::string& warning)>;

    static constexpr int64_t kSoonSeconds = 30 * 86400;
    static constexpr int kCheckHours = 24;

    CertificateWatch() = default;
    ~CertificateWatch();  // Stop()
    CertificateWatch(const CertificateWatch&) = delete;
    CertificateWatch& operator=(const CertificateWatch&) = delete;

    // Looks now, on the calling thread, then daily on a thread of its own.
    void Start(const std::string& certificate, Tell tell);
    void Stop();

    // What to say of a certificate with these dates at `now`; empty when
    // nothing.
    static std::string Judge(const std::string& certificate, int64_t not_before, int64_t not_after,
                             int64_t now);

  private:
    void Look();

    // The dates of the certificate that the listener serves: read once, at
    // start, as the listener reads the file once.
    std::string m_certificate;
    int64_t m_not_before = 0;
    int64_t m_not_after = 0;
    Tell m_tell;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_quit = false;  // guarded by m_mutex
};
