// The scanner's port: opening (the announced scanner as a source of its kind,
// or the first tty found), line settings, read modes, closing.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial_line.h"
#include "ttyUSB.h"

int CttyUSB::Open_monitor(int) {
    return OpenAnnounced(true);
}

int CttyUSB::OpenAnnounced(bool report) {
    const tag_dev_online_node node = AnnouncedNode();
    SourceHooks hooks;
    hooks.deliver = [this](Scan scan) { ReportScan(scan.text); };
    hooks.wanted = [this] { return m_stop == 0 && m_monitor_state >= 0 && m_connected; };
    hooks.present = [this] { return CheckWorkingGun() == 0; };
    hooks.dropped = [this](ScanDrop reason) { Dropped(reason); };
    std::unique_ptr<ScanSource> source = MakeScanSource(node, Settings(), std::move(hooks));
    m_fd = source->Open();
    if (m_fd < 0) {
        const int error = errno;
        if (report) {
            perror("open serial port");
        }
        errno = error;  // for the retry's line
        return -1;
    }
    m_source = std::move(source);
    m_open_node = node;
    m_opened = true;
    return m_fd;
}

bool CttyUSB::OpenPort(OpenRetry& retry) {
    if (retry.error != 0) {
        Nap(retry.delay_ms);
        if (m_stop != 0 || !m_connected || AnnouncedNode().devname != retry.devname) {
            // Stopped, or gone (and perhaps another announced meanwhile): the
            // loop sees why, and takes the next announcement afresh.
            EndOpenRetry(retry);
            return false;
        }
        retry.delay_ms = std::min(2 * retry.delay_ms, kOpenRetryMaxMillis);
    }
    ++retry.tries;
    const bool opened = OpenAnnounced(retry.error == 0) >= 0;
    if (m_open_tried_callback != nullptr) {
        const int error = errno;
        m_open_tried_callback(opened, retry.error != 0);
        errno = error;
    }
    if (opened) {
        if (retry.error != 0) {
            std::printf("opened %s after %d tries\n", m_open_node.devname.c_str(), retry.tries);
            EndOpenRetry(retry);
        }
        retry.tries = 0;
        return true;
    }
    if (retry.error == 0) {
        retry.error = errno;
        retry.delay_ms = kOpenRetryFirstMillis;
        retry.devname = AnnouncedNode().devname;
        const std::string status =
            "cannot open " + retry.devname + " (" + std::strerror(retry.error) + "), retrying";
        std::puts(status.c_str());
        if (m_trouble_callback != nullptr) {
            m_trouble_callback(status);
        }
    }
    return false;
}

void CttyUSB::EndOpenRetry(OpenRetry& retry) {
    if (retry.error != 0 && m_trouble_callback != nullptr) {
        m_trouble_callback(std::string());
    }
    retry = OpenRetry();
}

int CttyUSB::Open(int) {
    if (m_opened) {
        return 0;
    }
    std::vector<tag_dev_online_node> nodes;
    if (EnumOnLineGun(nodes) <= 0) {
        return -1;
    }
    m_fd = OpenSerialLine(nodes.front().devname.c_str(), true);
    if (m_fd < 0) {
        return -1;
    }
    m_open_node = nodes.front();
    m_opened = true;
    return m_fd;
}

int CttyUSB::Set_attr(int baud, int databits, char parity, int stopbits) {
    return SetLineAttr(m_fd, baud, databits, parity, stopbits);
}

int CttyUSB::Set_Block(bool block) {
    return SetLineBlock(m_fd, block, m_databits, m_parity, m_stopbits);
}

int CttyUSB::Close() {
    if (m_source) {
        m_source.reset();  // closes the node it opened
    } else if (m_fd >= 0) {
        close(m_fd);
    }
    m_opened = false;
    m_fd = -1;
    return 0;
}

int CttyUSB::tbcflush() {
    char discard[2048];
    while (read(m_fd, discard, sizeof discard) > 0) {
    }
    return 0;
}
