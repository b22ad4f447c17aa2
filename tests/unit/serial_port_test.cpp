// The serial port and the polling reader on a real pty pair (a pty forces 8
// data bits and no parity: the frame is checked on the termios record).
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "line_attr.h"
#include "ttyUSB.h"

namespace {

using namespace std::chrono_literals;

std::mutex g_mutex;
std::string g_events;  // "code:text;" for each event

void Record(int code, std::string text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events += std::to_string(code) + ":" + text + ";";
}

// The events once they end with `last`, or after 5 s.
std::string Events(const std::string& last) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (g_events.size() >= last.size() &&
                g_events.compare(g_events.size() - last.size(), last.size(), last) == 0)
                return g_events;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &tty_.m_fd, nullptr, nullptr, nullptr), 0);
        g_events.clear();
    }
    void TearDown() override { close(master_); }
    termios Current() {
        termios attr{};
        EXPECT_EQ(tcgetattr(tty_.m_fd, &attr), 0);
        return attr;
    }
    void Type(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    int master_ = -1;
    CttyUSB tty_;
};

TEST_F(SerialPort, SettingsReachTheDeviceAndReadModesSwitch) {
    ASSERT_EQ(tty_.Set_attr(9600, 8, 'N', 2), 0);
    termios attr = Current();
    EXPECT_EQ(cfgetispeed(&attr), B9600);
    EXPECT_NE(attr.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(attr.c_lflag & (ICANON | ECHO), 0u);
    ASSERT_EQ(tty_.Set_Block(false), 0);
    EXPECT_EQ(Current().c_cc[VMIN], 0);
    EXPECT_EQ(cfgetispeed(&attr), B9600);  // the rest stays
    char byte;
    Type("leftover");
    EXPECT_EQ(tty_.tbcflush(), 0);
    EXPECT_EQ(read(tty_.m_fd, &byte, 1), 0);  // drained, and returns at once
    ASSERT_EQ(tty_.Set_Block(true), 0);
    EXPECT_EQ(Current().c_cc[VMIN], 1);
}

TEST_F(SerialPort, PollingReaderDeliversScansUntilStoppedOrHungUp) {
    ASSERT_EQ(tty_.Set_attr(115200, 8, 'N', 1), 0);
    auto loop = std::async(std::launch::async, [this] { return tty_.Read_sync(2, Record); });
    Type("XYZ\r\n");
    ASSERT_EQ(Events(";"), "0:XYZ\r\n;");
    Type("\xd6\xd0");  // ended by the quiet time
    ASSERT_EQ(Events("\xad;"), "0:XYZ\r\n;0:\xe4\xb8\xad;");
    tty_.Wait();
    Type("!");  // the read waits for data before it sees the stop
    ASSERT_EQ(loop.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop.get(), 0);
    EXPECT_EQ(Events("-1:;"), "0:XYZ\r\n;0:\xe4\xb8\xad;-1:;");
    EXPECT_EQ(tty_.m_stop, 0);  // acknowledged
    EXPECT_EQ(tty_.m_fd, -1);

    g_events.clear();
    ASSERT_EQ(openpty(&master_, &tty_.m_fd, nullptr, nullptr, nullptr), 0);
    loop = std::async(std::launch::async, [this] { return tty_.Read_sync(2, Record); });
    close(master_);  // the line hangs up
    master_ = -1;
    EXPECT_EQ(loop.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(Events("-2:;"), "-2:;");
}

TEST(LineAttr, RawLineWithTheConfiguredFrame) {
    termios base{};
    base.c_cflag = CS8 | CREAD | CLOCAL | HUPCL | CRTSCTS;
    base.c_iflag = ICRNL | IXON | INPCK;
    base.c_oflag = OPOST | ONLCR;
    base.c_lflag = ICANON | ECHO | ECHOK | ECHOCTL | ECHOKE | IEXTEN | ISIG;
    const struct {
        int baud, databits;
        char parity;
        int stopbits;
        speed_t speed;
        tcflag_t frame;  // size, parity and stop bits
    } cases[] = {
        {2400, 8, 'N', 1, B2400, CS8},
        {4800, 7, 'E', 1, B4800, CS7 | PARENB},
        {9600, 7, 'e', 2, B9600, CS7 | PARENB | CSTOPB},
        {19200, 8, 'O', 1, B19200, CS8 | PARENB | PARODD},
        {38400, 5, 'o', 3, B38400, CS8 | PARENB | PARODD},
        {57600, 9, 'x', 0, B115200, CS8},
    };
    for (const auto& c : cases) {
        const termios attr = MakeLineAttr(base, c.baud, c.databits, c.parity, c.stopbits);
        EXPECT_EQ(attr.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.frame) << c.baud;
        EXPECT_EQ(cfgetispeed(&attr), c.speed) << c.baud;
        EXPECT_EQ(cfgetospeed(&attr), c.speed) << c.baud;
        EXPECT_EQ(attr.c_cflag & (CREAD | CLOCAL | CRTSCTS | HUPCL), CREAD | CLOCAL | CRTSCTS);
        EXPECT_EQ(attr.c_iflag & (ICRNL | IXON | INPCK | IGNBRK), static_cast<tcflag_t>(IGNBRK));
        EXPECT_EQ(attr.c_oflag & ONLCR, 0u);
        EXPECT_EQ(attr.c_lflag & (ICANON | ECHO | ECHOK | ECHOCTL | ECHOKE | IEXTEN | ISIG), 0u);
        EXPECT_EQ(attr.c_cc[VMIN], 1);
        EXPECT_EQ(attr.c_cc[VTIME], 10);
        // Switching the read mode keeps the line: 7E1 stays 7E1.
        for (bool block : {false, true}) {
            const termios mode = MakeBlockAttr(attr, block);
            EXPECT_EQ(mode.c_cflag, attr.c_cflag);
            EXPECT_EQ(mode.c_lflag, attr.c_lflag);
            EXPECT_EQ(mode.c_cc[VMIN], block ? 1 : 0);
            EXPECT_EQ(mode.c_cc[VTIME], 0);
        }
    }
}

TEST(PortState, NoPortToSetOrClose) {
    CttyUSB tty;
    EXPECT_EQ(tty.m_fd, -12);
    EXPECT_EQ(tty.Set_attr(9600, 8, 'N', 1) + tty.Set_Block(true), -2);
    EXPECT_EQ(tty.Close(), 0);
    EXPECT_EQ(tty.m_fd, -1);
    EXPECT_FALSE(tty.m_opened);
}

}  // namespace
