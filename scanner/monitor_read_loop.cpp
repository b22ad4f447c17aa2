// The read path the daemon runs: wait for an announced scanner, open it, frame
// and deliver its scans, and end when it is gone.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "ttyUSB.h"

int CttyUSB::Read_byMonitor_sync(int encoding, ScanCallback callback) {
    m_encoding = encoding;
    m_callback = callback;
    sem_destroy(&m_sem);
    sem_init(&m_sem, 0, 0);
    if (!m_wake.valid() || !m_read_wake.valid() ||
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
    OpenRetry retry;
    while (m_stop == 0 && m_monitor_state >= 0) {
        if (!m_connected) {
            EndOpenRetry(retry);  // unplugged before it would open
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
            if (retry.error == 0) {
                if (sem_trywait(&m_sem) != 0) {
                    std::puts("timeout wait for device connecting");
                    Nap(3000);
                    continue;
                }
                std::puts("connect and no open device");
            }
            if (!OpenPort(retry)) {
                continue;
            }
            Report(1);
            std::printf("connect and open device :%s(vid(%04x)pid(%04x))\n",
                        m_open_node.action.c_str(), m_open_node.vid, m_open_node.pid);
        }
        std::puts("have device");
        pollfd waits[2] = {{m_fd, POLLIN, 0}, {m_read_wake.get(), POLLIN, 0}};
        pollfd& port = waits[0];
        if (poll(waits, 2, -1) <= 0) {
            std::puts("exit wait for data");
            continue;
        }
        if (waits[1].revents != 0) {
            uint64_t count;  // taken, so that it wakes no later wait
            if (read(m_read_wake.get(), &count, sizeof count) < 0) {
                // Taken by an earlier pass.
            }
            continue;  // a stop request or the scanner's removal: the checks above see it
        }
        if (port.revents == 0) {
            std::puts("invalid data");
            continue;
        }
        std::puts("read data");
        if (!m_source->ReadScans()) {
            m_connected = false;  // hung up, or no longer listed: the next pass ends
        }
    }
    EndOpenRetry(retry);
    if (m_stop != 0 || m_monitor_state < 0) {
        m_monitor_state = 0;
        m_stop = 0;
    }
    std::printf("---------%s----------- end \n", "run_byMonitor");
    Close();
    return 0;
}
