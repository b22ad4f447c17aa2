// The read path the daemon runs: wait for an announced scanner, open it, frame
// and deliver its scans, and end when it is gone.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "hex_dump.h"
#include "quiet_time.h"
#include "sleep_ms.h"
#include "ttyUSB.h"

int CttyUSB::Read_byMonitor_sync(int encoding, ScanCallback callback) {
    m_encoding = encoding;
    m_callback = callback;
    sem_destroy(&m_sem);
    sem_init(&m_sem, 0, 0);
    if (!m_wake.valid() ||
        pthread_create(&m_hotplug_thread, nullptr, StartHotplugMonitor, this) != 0) {
        return -1;
    }
    m_hotplug_running = true;
    run_byMonitor();
    StopHotplugMonitor();
    return 0;
}

int CttyUSB::run_byMonitor() {
    std::printf("---------%s-----------\n", "run_byMonitor");
    ScanBuffer scan;
    while (m_stop == 0 && m_monitor_state >= 0) {
        if (!m_connected) {
            std::puts("have no device");
            if (m_opened) {
                tcflush(m_fd, TCIOFLUSH);
                m_opened = false;
                Report(2);
                break;
            }
            Nap(3000);
            continue;
        }
        if (!m_opened) {
            if (sem_trywait(&m_sem) != 0) {
                std::puts("timeout wait for device connecting");
                Nap(3000);
                continue;
            }
            std::puts("connect and no open device");
            if (Open_monitor(0) < 0) {
                continue;
            }
            Report(1);
            std::printf("connect and open device :%s(vid(%04x)pid(%04x))\n",
                        m_open_node.action.c_str(), m_open_node.vid, m_open_node.pid);
        }
        std::puts("have device");
        pollfd port = {m_fd, POLLIN, 0};
        if (poll(&port, 1, -1) <= 0) {
            std::puts("exit wait for data");
            continue;
        }
        if (port.revents == 0) {
            std::puts("invalid data");
            continue;
        }
        std::puts("read data");
        ReadAndDeliverScan(scan);
    }
    if (m_stop != 0 || m_monitor_state < 0) {
        m_monitor_state = 0;
        m_stop = 0;
    }
    std::printf("---------%s----------- end \n", "run_byMonitor");
    Close();
    return 0;
}

void CttyUSB::ReadAndDeliverScan(ScanBuffer& scan) {
    char chunk[512];
    bool have_data = false;
    bool failed = false;
    auto last_chunk = std::chrono::steady_clock::now();
    for (;;) {
        if (m_stop != 0 || m_monitor_state < 0 || !m_connected) {
            return;  // abandoned
        }
        const ssize_t got = read(m_fd, chunk, sizeof chunk);
        if (got > 0) {
            if (!have_data) {
                failed = false;
                scan.Clear();
                Set_Block(false);
            }
            PrintHexChunk(chunk, static_cast<size_t>(got), false);
            scan.Append(chunk, static_cast<size_t>(got));
            have_data = true;
            last_chunk = std::chrono::steady_clock::now();
            continue;
        }
        if (got < 0) {
            std::puts("occur, clear data buffer");
            failed = true;
        }
        if (!have_data) {
            // Readable but nothing there: the device may be gone.
            SleepMs(100);
            tcflush(m_fd, TCIOFLUSH);
            if (CheckWorkingGun() < 0) {
                m_connected = false;
            }
            std::puts("Data read in not ready state, possible device disconnection");
            return;
        }
        if (scan.Terminated()) {
            break;
        }
        if (got < 0) {
            SleepMs(1);  // a port that keeps failing must not spin
            if (std::chrono::steady_clock::now() - last_chunk >= kQuietTime) {
                break;
            }
        } else if (QuietTimeOver(m_fd, last_chunk)) {
            break;
        }
    }

    if (failed) {
        tcflush(m_fd, TCIOFLUSH);
        return;
    }
    if (scan.Overflowed()) {
        // A cut barcode is a wrong barcode: drop the whole scan rather than
        // deliver its first 2048 bytes as if they were all of it.
        std::printf("scan longer than %zu bytes, dropped\n", ScanBuffer::kCapacity);
        tcflush(m_fd, TCIOFLUSH);
        return;
    }
    std::string text;
    if (!ConvertScan(scan, text)) {
        std::puts("convert g2u fail");
        return;
    }
    Report(0, text);
    std::printf("have data %s\n", text.c_str());
}
