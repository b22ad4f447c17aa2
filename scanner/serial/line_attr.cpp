#include "line_attr.h"

namespace {

speed_t SpeedOf(int baud) {
    switch (baud) {
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        default:
            return B115200;
    }
}

// Raw mode with the configured frame. CLOCAL, CREAD and flow control stay as
// the device had them.
void MakeRawLine(termios& attr, int databits, char parity, int stopbits) {
    cfmakeraw(&attr);
    attr.c_cflag &= ~CSIZE;
    attr.c_cflag |= databits == 7 ? CS7 : CS8;
    switch (parity) {
        case 'E':
        case 'e':
            attr.c_cflag |= PARENB;
            attr.c_cflag &= ~PARODD;
            break;
        case 'O':
        case 'o':
            attr.c_cflag |= PARENB | PARODD;
            break;
        default:
            attr.c_cflag &= ~PARENB;
            break;
    }
    if (stopbits == 2) {
        attr.c_cflag |= CSTOPB;
    } else {
        attr.c_cflag &= ~CSTOPB;
    }
    attr.c_cflag &= ~HUPCL;
    attr.c_iflag &= ~(IXON | ICRNL | INPCK);
    attr.c_iflag |= IGNBRK;
    attr.c_oflag &= ~ONLCR;
    attr.c_lflag &= ~(ECHOK | ECHOCTL | ECHOKE | IEXTEN);
}

}  // namespace

termios MakeLineAttr(const termios& current, int baud, int databits, char parity, int stopbits) {
    termios attr = current;
    MakeRawLine(attr, databits, parity, stopbits);
    cfsetispeed(&attr, SpeedOf(baud));
    cfsetospeed(&attr, SpeedOf(baud));
    attr.c_cc[VTIME] = 10;
    attr.c_cc[VMIN] = 1;
    return attr;
}

termios MakeBlockAttr(const termios& current, bool block, int databits, char parity, int stopbits) {
    termios attr = current;
    MakeRawLine(attr, databits, parity, stopbits);
    attr.c_cc[VTIME] = 0;
    attr.c_cc[VMIN] = block ? 1 : 0;
    return attr;
}
