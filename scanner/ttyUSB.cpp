#include "ttyUSB.h"

#include <sys/eventfd.h>

#include <cstdio>

#include "payment_code.h"
#include "sleep_ms.h"

CttyUSB::CttyUSB()
    : m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_read_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    sem_init(&m_sem, 0, 0);
}

CttyUSB::~CttyUSB() {
    StopHotplugMonitor();
    Close();
    sem_destroy(&m_sem);
}

int CttyUSB::Wait() {
    m_stop = 1;
    WakeHotplug();
    WakeNap();
    WakeReadLoop();
    for (int i = 0; i < 100; ++i) {
        SleepMs(10);
        if (m_stop == 0) {
            break;
        }
    }
    return 0;
}

void CttyUSB::Report(int code, std::string text) {
    if (m_callback != nullptr) {
        m_callback(code, std::move(text));
    }
}

void CttyUSB::Dropped(ScanDrop reason) {
    if (m_drop_callback != nullptr) {
        m_drop_callback(reason);
    }
}

void CttyUSB::ReportScan(const std::string& text) {
    Report(0, text);
    if (m_options.log_scan_data) {
        std::printf("have data %s\n", MaskedPaymentCode(text).c_str());  // a payment code masked
    } else {
        std::printf("have data (%zu bytes, not logged)\n", text.size());
    }
}

SourceSettings CttyUSB::Settings() const {
    SourceSettings settings;
    settings.encoding = m_encoding;
    settings.log_scan_data = m_options.log_scan_data;
    settings.baud = m_baud;
    settings.databits = m_databits;
    settings.stopbits = m_stopbits;
    settings.parity = m_parity;
    return settings;
}

void CttyUSB::Nap(long ms) {
    std::unique_lock<std::mutex> lock(m_nap_mutex);
    m_nap_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_nap_woken; });
    m_nap_woken = false;
}

void CttyUSB::WakeReadLoop() {
    const uint64_t one = 1;
    if (write(m_read_wake.get(), &one, sizeof one) < 0) {
        // Only a full counter refuses a write, and the loop wakes for that one.
    }
}

void CttyUSB::WakeNap() {
    {
        std::lock_guard<std::mutex> lock(m_nap_mutex);
        m_nap_woken = true;
    }
    m_nap_cv.notify_all();
}
