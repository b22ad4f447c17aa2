// Reading an already open port without the hotplug thread, on the caller's
// thread or on a thread of its own.
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "serial_framing.h"
#include "serial_source.h"
#include "ttyUSB.h"

namespace {

// Prints the seconds of the time of day modulo 1000, with microseconds.
void PrintTimestamp(const char* format) {
    timeval now;
    gettimeofday(&now, nullptr);
    std::printf(format, static_cast<double>(now.tv_sec % 1000) + now.tv_usec * 0.000001);
}

}  // namespace

int CttyUSB::Read_sync(int encoding, ScanCallback callback) {
    m_encoding = encoding;
    m_callback = callback;
    return run();
}

int CttyUSB::Read_async(int encoding, ScanCallback callback) {
    m_encoding = encoding;
    m_callback = callback;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, StartReadThread, this) != 0) {
        return -1;
    }
    pthread_detach(thread);
    return 0;
}

void* CttyUSB::StartReadThread(void* self) {
    static_cast<CttyUSB*>(self)->run();
    pthread_exit(nullptr);
}

int CttyUSB::run() {
    std::printf("---------%s-----------\n", "run");
    Set_Block(true);
    m_connected = true;
    // Each complete scan: dropped, or converted and handed on; then reads
    // wait for the next scan again.
    auto complete = [this](ScanBuffer& scan, bool failed) {
        if (failed || scan.Overflowed()) {
            if (failed) {
                tcflush(m_fd, TCIOFLUSH);
            } else {
                std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
            }
            Dropped(failed ? ScanDrop::kIncomplete : ScanDrop::kTooLong);
            return;
        }
        std::string text;
        if (!ConvertScan(m_encoding, scan, text)) {
            std::puts("convert g2u fail");
            tcflush(m_fd, TCIOFLUSH);
            Dropped(ScanDrop::kConversion);
            return;
        }
        PrintTimestamp("[%lf]send the serial data\n ");
        Report(0, text);
        PrintTimestamp("[%lf]send the serial data\n ");
        Set_Block(true);
    };
    SerialFraming framing({m_fd, m_databits, m_parity, m_stopbits}, m_options.log_scan_data, true,
                          complete, [this] { return CheckWorkingGun() == 0; });
    char chunk[512];
    for (;;) {
        if (m_stop != 0) {
            std::printf("exit:tavi gun  exit\n ");
            Report(-1);
            break;
        }
        if (!m_connected) {
            Report(-2);
            break;
        }
        PrintTimestamp("[%lf]\n");
        PrintTimestamp("[%lf]\n");
        const ssize_t got = read(m_fd, chunk, sizeof chunk);
        PrintTimestamp("[%lf]\n");
        framing.Take(got, chunk);
        if (framing.gone()) {
            m_connected = false;
        }
    }
    if (m_stop != 0) {
        m_stop = 0;
    }
    std::printf("---------%s----------- end \n", "run");
    Close();
    return 0;
}
