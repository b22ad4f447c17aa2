// The serial port and the polling reader on a real pty pair (a pty forces 8
// data bits and no parity: the frame is checked on the termios record).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "encode.h"
#include "line_attr.h"
#include "serial_line.h"
#include "ttyUSB.h"

namespace {

using namespace std::chrono_literals;

std::mutex g_mutex;
std::condition_variable g_recorded;
std::string g_events;  // "code:text;" for each event

void Record(int code, std::string text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events += std::to_string(code) + ":" + text + ";";
    g_recorded.notify_all();
}

// The events once they end with `last`, or after 5 s.
std::string Events(const std::string& last) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_recorded.wait_for(lock, 5s, [&] {
        return g_events.size() >= last.size() &&
               g_events.substr(g_events.size() - last.size()) == last;
    });
    return g_events;
}

// A scanner object whose port is the slave end of a fresh pty; typing goes
// into the master end.
struct PtyPort {
    PtyPort() {
        EXPECT_EQ(openpty(&master, &tty.m_fd, nullptr, nullptr, nullptr), 0);
        g_events.clear();
    }
    ~PtyPort() { close(master); }
    void Type(const std::string& bytes) {
        EXPECT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    termios Attr() {
        termios attr{};
        EXPECT_EQ(tcgetattr(tty.m_fd, &attr), 0);
        return attr;
    }
    int master = -1;
    CttyUSB tty;
};

// Runs first, before any conversion from GB18030 has loaded its module.
TEST(Encode, AConversionThatFailedToOpenIsOpenedAgain) {
    char in[] = "\xd6\xd0", out[16];
    EXPECT_EQ(CEncode().iconv_encode("no-such-set", "utf-8", in, 2, out, sizeof out), -1);
    if (std::getenv("GCONV_PATH") != nullptr)  // the arm64 build under qemu
        GTEST_SKIP() << "glibc keeps a failed module load when it reads GCONV_PATH, not its cache";
    CttyUSB tty;
    ASSERT_EQ(tty.encode(1, in, 2, out, sizeof out), 0);  // iconv's configuration is read
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit low = {64, saved.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> taken;  // no descriptor left to load a converter with
    for (int fd; (fd = dup(0)) >= 0;)
        taken.push_back(fd);
    EXPECT_EQ(tty.encode(2, in, 2, out, sizeof out), -1);
    for (int fd : taken)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(tty.encode(2, in, 2, out, sizeof out), 0);
}

TEST(SerialPort, PollingReaderDeliversScansUntilStoppedOrHungUp) {
    PtyPort port;  // never given its settings: a fresh tty is cooked
    auto loop = std::async(std::launch::async, [&] { return port.tty.Read_sync(2, Record); });
    for (int i = 0; i < 500 && (port.Attr().c_lflag & ICANON) != 0; ++i)
        std::this_thread::sleep_for(10ms);  // the reader makes the line raw
    port.Type("XYZ\r\n");
    ASSERT_EQ(Events(";"), "0:XYZ\r\n;");
    port.Type("\xd6\xd0");  // ended by the quiet time
    ASSERT_EQ(Events("\xad;"), "0:XYZ\r\n;0:\xe4\xb8\xad;");
    EXPECT_EQ(port.tty.Wait(), 0);
    port.Type("!");  // the read waits for data before it sees the stop
    ASSERT_EQ(loop.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop.get(), 0);
    EXPECT_EQ(Events("-1:;"), "0:XYZ\r\n;0:\xe4\xb8\xad;-1:;");
    EXPECT_EQ(port.tty.m_stop, 0);  // acknowledged
    EXPECT_EQ(port.tty.m_fd, -1);

    PtyPort lost;
    EXPECT_EQ(lost.tty.Set_attr(9600, 7, 'E', 1) + lost.tty.Set_Block(false), 0);
    loop = std::async(std::launch::async, [&] { return lost.tty.Read_sync(2, Record); });
    close(lost.master);  // the line hangs up
    lost.master = -1;
    EXPECT_EQ(loop.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(Events("-2:;"), "-2:;");
}

// A modem prober (or any program without CAP_SYS_ADMIN) that opens the
// scanner's tty after the daemon gets EBUSY, rather than a share of its scans.
TEST(SerialPort, OpenedForTheDaemonAlone) {
    PtyPort port;
    const char* path = ptsname(port.master);
    const int fd = OpenSerialLine(path, true);
    ASSERT_GE(fd, 0);
    const pid_t prober = fork();
    if (prober == 0) {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        syscall(SYS_capget, &header, caps);
        caps[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
        syscall(SYS_capset, &header, caps);
        _exit(open(path, O_RDWR | O_NOCTTY) < 0 ? errno : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(prober, &status, 0), prober);
    EXPECT_EQ(WEXITSTATUS(status), EBUSY);
    close(fd);
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
        EXPECT_EQ(cfgetispeed(&attr) + cfgetospeed(&attr), 2 * c.speed) << c.baud;
        // Raw, and the device's own control bits kept, but for the hang-up on close.
        EXPECT_EQ(attr.c_cflag & (CREAD | CLOCAL | CRTSCTS | HUPCL), CREAD | CLOCAL | CRTSCTS);
        EXPECT_EQ(attr.c_iflag & (ICRNL | IXON | INPCK | IGNBRK), static_cast<tcflag_t>(IGNBRK));
        EXPECT_EQ((attr.c_oflag & ONLCR) + (attr.c_lflag & base.c_lflag), 0u);
        EXPECT_EQ(attr.c_cc[VMIN] * 100 + attr.c_cc[VTIME], 110);
        // Switching the read mode of a cooked port makes it raw with the line's
        // frame, its speed kept: 7E1 stays 7E1.
        for (bool block : {false, true}) {
            termios mode = base;
            cfsetspeed(&mode, c.speed);
            mode = MakeBlockAttr(mode, block, c.databits, c.parity, c.stopbits);
            EXPECT_EQ(mode.c_cflag, attr.c_cflag);
            EXPECT_EQ(mode.c_iflag + mode.c_oflag + mode.c_lflag,
                      attr.c_iflag + attr.c_oflag + attr.c_lflag);
            EXPECT_EQ(mode.c_cc[VMIN] * 10 + mode.c_cc[VTIME], block ? 10 : 0);
        }
    }
}

}  // namespace
