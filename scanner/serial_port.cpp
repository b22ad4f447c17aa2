// The scanner's serial port: opening, line settings, read modes, closing.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "line_attr.h"
#include "ttyUSB.h"

int CttyUSB::Open_monitor(int) {
    return OpenAnnounced(true);
}

int CttyUSB::OpenAnnounced(bool report) {
    const tag_dev_online_node node = AnnouncedNode();
    const bool serial = node.kind == ScannerKind::kSerial;
    m_fd = open(node.devname.c_str(),
                serial ? O_RDWR | O_NOCTTY | O_NDELAY : O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool prepared =
        m_fd >= 0 && (serial || (node.kind == ScannerKind::kHidPos ? PrepareHidPos(node)
                                                                   : PrepareKeyboard(node)));
    if (!prepared) {
        const int error = errno;
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
        if (report) {
            errno = error;
            perror("open serial port");
        }
        errno = error;
        return -1;
    }
    if (serial) {
        PreparePort();
        Set_attr(m_baud, m_databits, m_parity, m_stopbits);
    }
    m_open_node = node;
    m_opened = true;
    return m_fd;
}

bool CttyUSB::OpenPort(OpenRetry& retry) {
    if (retry.error != 0) {
        Nap(retry.delay_ms);
        if (m_stop != 0 || !m_connected) {
            return false;  // the loop sees why
        }
        retry.delay_ms = std::min(2 * retry.delay_ms, kOpenRetryMaxMillis);
    }
    ++retry.tries;
    if (OpenAnnounced(retry.error == 0) >= 0) {
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
        const std::string status = "cannot open " + AnnouncedNode().devname + " (" +
                                   std::strerror(retry.error) + "), retrying";
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
    m_fd = open(nodes.front().devname.c_str(), O_RDWR | O_NOCTTY | O_NDELAY);
    if (m_fd < 0) {
        perror("open serial port");
        return -1;
    }
    PreparePort();
    m_open_node = nodes.front();
    m_opened = true;
    return m_fd;
}

void CttyUSB::PreparePort() {
    // The open did not wait for the line; from now on reads wait as termios says.
    if (fcntl(m_fd, F_SETFL, 0) < 0) {
        perror("fcntl F_SETFL\n");
    }
    if (isatty(STDIN_FILENO) == 0) {
        perror("standard input is not a terminal device");
    }
    tcflush(m_fd, TCIOFLUSH);
}

int CttyUSB::Set_attr(int baud, int databits, char parity, int stopbits) {
    termios current;
    if (tcgetattr(m_fd, &current) != 0) {
        perror("tcgetattr old:");
        return -1;
    }
    const termios attr = MakeLineAttr(current, baud, databits, parity, stopbits);
    tcflush(m_fd, TCIOFLUSH);
    if (tcsetattr(m_fd, TCSANOW, &attr) != 0) {
        perror("tcsetattr");
        return -1;
    }
    return 0;
}

int CttyUSB::Set_Block(bool block) {
    termios current;
    if (tcgetattr(m_fd, &current) != 0) {
        perror("tcgetattr old:");
        return -1;
    }
    const termios attr = MakeBlockAttr(current, block, m_databits, m_parity, m_stopbits);
    if (tcsetattr(m_fd, TCSANOW, &attr) != 0) {
        perror("tcsetattr");
        return -1;
    }
    return 0;
}

int CttyUSB::Close() {
    if (m_fd > 0) {
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
