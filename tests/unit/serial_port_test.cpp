// The serial port on a real pty pair, and the termios record handed to the
// driver (a pty forces 8 data bits and no parity, so those are checked on the
// record itself).
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "line_attr.h"
#include "ttyUSB.h"

namespace {

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        tty_.m_fd = slave_;
    }
    void TearDown() override {
        tty_.Close();
        close(master_);
    }
    termios Current() {
        termios attr{};
        EXPECT_EQ(tcgetattr(slave_, &attr), 0);
        return attr;
    }

    int master_ = -1;
    int slave_ = -1;
    CttyUSB tty_;
};

TEST_F(SerialPort, SpeedTableOnTheDevice) {
    const struct {
        int baud;
        speed_t speed;
    } cases[] = {{2400, B2400},   {4800, B4800},     {9600, B9600},    {19200, B19200},
                 {38400, B38400}, {115200, B115200}, {57600, B115200}, {1200, B115200},
                 {0, B115200},    {-9600, B115200}};
    for (const auto& c : cases) {
        ASSERT_EQ(tty_.Set_attr(c.baud, 8, 'N', 1), 0);
        const termios now = Current();
        EXPECT_EQ(cfgetispeed(&now), c.speed) << c.baud;
        EXPECT_EQ(cfgetospeed(&now), c.speed) << c.baud;
    }
}

TEST_F(SerialPort, StopBitsAndReadModeOnTheDevice) {
    for (int stopbits : {0, 1, 3, 2}) {
        ASSERT_EQ(tty_.Set_attr(9600, 8, 'N', stopbits), 0);
        EXPECT_EQ((Current().c_cflag & CSTOPB) != 0, stopbits == 2) << stopbits;
    }
    termios attr = Current();
    EXPECT_EQ(attr.c_cc[VMIN], 1);
    EXPECT_EQ(attr.c_cc[VTIME], 10);
    EXPECT_EQ(attr.c_lflag & (ICANON | ECHO), 0u);

    ASSERT_EQ(tty_.Set_Block(false), 0);
    attr = Current();
    EXPECT_EQ(attr.c_cc[VMIN], 0);
    EXPECT_EQ(attr.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&attr), B9600);  // the rest stays
    EXPECT_NE(attr.c_cflag & CSTOPB, 0u);

    ASSERT_EQ(tty_.Set_Block(true), 0);
    EXPECT_EQ(Current().c_cc[VMIN], 1);
    EXPECT_EQ(Current().c_cc[VTIME], 0);
}

TEST_F(SerialPort, NonBlockingReadReturnsAtOnceAndFlushDrains) {
    ASSERT_EQ(tty_.Set_attr(115200, 8, 'N', 1), 0);
    ASSERT_EQ(tty_.Set_Block(false), 0);
    char byte;
    EXPECT_EQ(read(slave_, &byte, 1), 0);
    ASSERT_EQ(write(master_, "leftover", 8), 8);
    EXPECT_EQ(tty_.tbcflush(), 0);
    EXPECT_EQ(read(slave_, &byte, 1), 0);
}

TEST(LineAttr, CharacterSizeAndParity) {
    termios base{};
    base.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
    for (int databits : {5, 6, 8, 9}) {
        EXPECT_EQ(MakeLineAttr(base, 9600, databits, 'N', 1).c_cflag & CSIZE, CS8) << databits;
    }
    EXPECT_EQ(MakeLineAttr(base, 9600, 7, 'N', 1).c_cflag & CSIZE, CS7);

    for (char none : {'N', 'n', 'S', 's', '\0', 'x'}) {
        EXPECT_EQ(MakeLineAttr(base, 9600, 8, none, 1).c_cflag & PARENB, 0u) << none;
    }
    for (char even : {'E', 'e'}) {
        const tcflag_t c = MakeLineAttr(base, 9600, 8, even, 1).c_cflag;
        EXPECT_EQ(c & (PARENB | PARODD), static_cast<tcflag_t>(PARENB)) << even;
    }
    for (char odd : {'O', 'o'}) {
        const tcflag_t c = MakeLineAttr(base, 9600, 8, odd, 1).c_cflag;
        EXPECT_EQ(c & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD)) << odd;
    }
}

TEST(LineAttr, RawLineKeepsTheDevicesOwnControlBits) {
    termios base{};
    base.c_cflag = CS8 | CREAD | CLOCAL | HUPCL | CRTSCTS;
    base.c_iflag = ICRNL | IXON | INPCK;
    base.c_oflag = OPOST | ONLCR;
    base.c_lflag = ICANON | ECHO | ECHOK | ECHOCTL | ECHOKE | IEXTEN | ISIG;
    const termios attr = MakeLineAttr(base, 9600, 8, 'N', 1);
    EXPECT_EQ(attr.c_cflag & (CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(attr.c_cflag & HUPCL, 0u);
    EXPECT_EQ(attr.c_iflag & (ICRNL | IXON | INPCK), 0u);
    EXPECT_NE(attr.c_iflag & IGNBRK, 0u);
    EXPECT_EQ(attr.c_oflag & ONLCR, 0u);
    EXPECT_EQ(attr.c_lflag & (ICANON | ECHO | ECHOK | ECHOCTL | ECHOKE | IEXTEN | ISIG), 0u);
}

// Switching the read mode must not undo the configured line: 7E1 stays 7E1.
TEST(LineAttr, BlockModeKeepsSevenBitsEvenParity) {
    const termios line = MakeLineAttr(termios{}, 9600, 7, 'E', 2);
    for (bool block : {false, true}) {
        const termios attr = MakeBlockAttr(line, block);
        EXPECT_EQ(attr.c_cflag, line.c_cflag);
        EXPECT_EQ(attr.c_iflag, line.c_iflag);
        EXPECT_EQ(attr.c_lflag, line.c_lflag);
        EXPECT_EQ(cfgetispeed(&attr), B9600);
        EXPECT_EQ(attr.c_cc[VMIN], block ? 1 : 0);
        EXPECT_EQ(attr.c_cc[VTIME], 0);
    }
}

TEST(PortState, CloseOnAnObjectThatNeverOpened) {
    CttyUSB tty;
    EXPECT_EQ(tty.m_fd, -12);
    EXPECT_FALSE(tty.m_opened);
    EXPECT_EQ(tty.Close(), 0);
    EXPECT_EQ(tty.m_fd, -1);
    EXPECT_FALSE(tty.m_opened);
}

TEST(PortState, OpenMonitorOnAVanishedNode) {
    CttyUSB tty;
    tty.m_plug_node = {1, 0x1a86, 0x7523, "/dev/ttyUSB-gone", "add"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(tty.Open_monitor(0), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("open serial port: ", 0), 0u) << err;
    EXPECT_FALSE(tty.m_opened);
    EXPECT_LT(tty.m_fd, 0);
    EXPECT_EQ(tty.m_open_node.devname, "");
}

TEST(PortState, AttributesOfNoPortFail) {
    CttyUSB tty;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tty.Set_attr(9600, 8, 'N', 1), -1);
    EXPECT_EQ(tty.Set_Block(false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tcgetattr old:: Bad file descriptor\ntcgetattr old:: Bad file descriptor\n");
}

}  // namespace
