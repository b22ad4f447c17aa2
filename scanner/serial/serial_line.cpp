#include "serial_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "line_attr.h"

int OpenSerialLine(const char* path, bool report) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NDELAY);
    if (fd < 0) {
        if (report) {
            perror("open serial port");
        }
        return -1;
    }
    // Exclusive: later opens fail but for CAP_SYS_ADMIN, which the service
    // does not have. A tty that refuses is served all the same.
    const int saved = errno;
    if (ioctl(fd, TIOCEXCL) != 0) {
        errno = saved;
    }
    // The open did not wait for the line; from now on reads wait as termios says.
    if (fcntl(fd, F_SETFL, 0) < 0) {
        perror("fcntl F_SETFL\n");
    }
    if (isatty(STDIN_FILENO) == 0) {
        perror("standard input is not a terminal device");
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

int SetLineAttr(int fd, int baud, int databits, char parity, int stopbits) {
    termios current;
    if (tcgetattr(fd, &current) != 0) {
        perror("tcgetattr old:");
        return -1;
    }
    const termios attr = MakeLineAttr(current, baud, databits, parity, stopbits);
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &attr) != 0) {
        perror("tcsetattr");
        return -1;
    }
    return 0;
}

int SetLineBlock(int fd, bool block, int databits, char parity, int stopbits) {
    termios current;
    if (tcgetattr(fd, &current) != 0) {
        perror("tcgetattr old:");
        return -1;
    }
    const termios attr = MakeBlockAttr(current, block, databits, parity, stopbits);
    if (tcsetattr(fd, TCSANOW, &attr) != 0) {
        perror("tcsetattr");
        return -1;
    }
    return 0;
}
