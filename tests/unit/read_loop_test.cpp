// The read loops against a virtual scanner: umockdev devices whose nodes are
// ptys, with the hotplug thread listening to umockdev's uevents.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/event_recorder.h"
#include "support/eventually.h"
#include "support/stdout_tap.h"
#include "support/virtual_scanner.h"
#include "ttyUSB.h"

namespace {

using namespace std::chrono_literals;

class ReadLoop : public ::testing::Test {
  protected:
    void SetUp() override { EventRecorder::Get().Clear(); }
    void TearDown() override {
        if (loop_.valid() && loop_.wait_for(10s) == std::future_status::timeout) {
            ADD_FAILURE() << "the read loop did not end";
            std::terminate();  // it would outlive the object
        }
    }

    // Runs the monitor-driven loop with the recording callback on a thread.
    void StartMonitorLoop(int encoding = 2) {
        tty_.m_baud = 115200;
        tty_.m_databits = 8;
        tty_.m_stopbits = 1;
        tty_.m_parity = 'N';
        loop_ = std::async(std::launch::async, [this, encoding] {
            return tty_.Read_byMonitor_sync(encoding, EventRecorder::Callback);
        });
    }
    ScanEvent Next(std::chrono::milliseconds timeout = 10s) {
        ScanEvent event{-100, "no event"};
        EventRecorder::Get().Next(event, timeout);
        return event;
    }
    // A scanner present at start, opened by the loop.
    void StartWithScanner(int encoding = 2) {
        syspath_ = bed_.AddScanner("ttyUSB0");
        StartMonitorLoop(encoding);
        const ScanEvent opened = Next();
        ASSERT_EQ(opened.code, 1);
        ASSERT_EQ(opened.text, "");
        ASSERT_TRUE(out_.WaitFor("have device\n"));
    }
    void Unplug() { bed_.Unplug("ttyUSB0", syspath_); }
    // Unplugs and expects event 2 and the loop to end with 0.
    void ExpectEndOnUnplug() {
        Unplug();
        const ScanEvent gone = Next();
        EXPECT_EQ(gone.code, 2);
        EXPECT_EQ(gone.text, "");
        ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(loop_.get(), 0);
        EXPECT_EQ(tty_.m_fd, -1);
        EXPECT_FALSE(tty_.m_opened);
    }

    StdoutTap out_;
    Testbed bed_;
    std::string syspath_;
    CttyUSB tty_;
    std::future<int> loop_;
};

TEST_F(ReadLoop, ScansFramedByTerminatorOrQuiet) {
    StartWithScanner();
    EXPECT_TRUE(out_.WaitFor("connect and open device :add(vid(1a86)pid(7523))\n"));

    bed_.Write("ttyUSB0", "ABC\r\n");
    ScanEvent scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text, "ABC\r\n");
    EXPECT_TRUE(out_.WaitFor("41   42   43   0d   0a   \n"));
    EXPECT_TRUE(out_.WaitFor("have data ABC\r\n\n"));

    bed_.Write("ttyUSB0", "abc");  // no terminator: quiet time
    scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text, "abc");

    bed_.Write("ttyUSB0", "\r");  // a lone CR is a scan of its own
    scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text, "\r");

    bed_.Write("ttyUSB0", "\xd6\xd0\xce\xc4\r\n");  // 中文 in GB18030
    scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text, "\xe4\xb8\xad\xe6\x96\x87\r\n");

    ExpectEndOnUnplug();
    EXPECT_TRUE(out_.WaitFor("---------run_byMonitor----------- end \n"));
}

TEST_F(ReadLoop, BadScansAreDroppedAndTheNextOneArrives) {
    StartWithScanner();

    bed_.Write("ttyUSB0", "AB\xd6\r\n");  // ends inside a character... then CR LF
    ASSERT_TRUE(out_.WaitFor("convert g2u fail\n"));

    // 10 KB in one burst: nothing past the array, the whole scan dropped.
    bed_.Write("ttyUSB0", std::string(10 * 1024, '7') + "\r\n");
    ASSERT_TRUE(out_.WaitFor("scan longer than 2048 bytes, dropped\n"));

    bed_.Write("ttyUSB0", "OK\r\n");
    const ScanEvent scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text, "OK\r\n");
    EXPECT_EQ(EventRecorder::Get().Pending(), 0u);
    ExpectEndOnUnplug();
}

TEST_F(ReadLoop, ConvertedTextStopsAtAZeroByteAndFitsItsArray) {
    StartWithScanner(4);
    bed_.Write("ttyUSB0", std::string("ab\0cd\r\n", 7));
    ScanEvent scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text, "ab");

    // 2047 bytes fill the converted array but for its final zero.
    bed_.Write("ttyUSB0", std::string(2045, 'x') + "\r\n");
    scan = Next();
    EXPECT_EQ(scan.code, 0);
    EXPECT_EQ(scan.text.size(), 2047u);

    bed_.Write("ttyUSB0", std::string(2046, 'x') + "\r\n");  // one byte too many
    ASSERT_TRUE(out_.WaitFor("convert g2u fail\n"));
    ExpectEndOnUnplug();
}

// A port that reports readable and then fails to read: the error is reported,
// the loop does not spin, and scans go on once the port reads again.
TEST_F(ReadLoop, ReadErrorIsReportedAndServiceGoesOn) {
    StartWithScanner();
    const int port = tty_.m_fd;
    const int saved = dup(port);
    const int directory = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    ASSERT_EQ(dup2(directory, port), port);  // reads now fail with EISDIR
    close(directory);
    bed_.Write("ttyUSB0", "x");  // wakes the wait on the pty
    ASSERT_TRUE(out_.WaitFor("occur, clear data buffer\n"));
    ASSERT_TRUE(out_.WaitFor("Data read in not ready state, possible device disconnection\n"));
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(out_.Count("occur, clear data buffer"), 10u);  // 0.1 s apart at most

    // Back to the pty; write once the loop waits on it again, past its flush.
    ASSERT_EQ(dup2(saved, port), port);
    close(saved);
    const size_t waits = out_.Count("have device\n");
    ASSERT_TRUE(Eventually([&] { return out_.Count("have device\n") > waits; }));
    bed_.Write("ttyUSB0", "again\r\n");
    // The byte that woke the wait may still be there, alone or in front.
    ScanEvent scan = Next();
    if (scan.text == "x") {
        scan = Next();
    }
    EXPECT_EQ(scan.code, 0);
    EXPECT_TRUE(scan.text == "again\r\n" || scan.text == "xagain\r\n") << scan.text;
    ExpectEndOnUnplug();
}

// A hung-up line reads nothing for good: the scanner counts as gone even
// while udev still lists it, so the loop ends (and the daemon's supervisor
// starts afresh) instead of finding nothing to read every 0.1 s for ever.
TEST_F(ReadLoop, HungUpLineEndsTheLoopWhileStillListed) {
    StartWithScanner();
    bed_.HangUp("ttyUSB0");
    const ScanEvent gone = Next();
    EXPECT_EQ(gone.code, 2);
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop_.get(), 0);
    EXPECT_EQ(out_.Count("Data read in not ready state, possible device disconnection\n"), 1u);
}

TEST_F(ReadLoop, UnplugWhileIdleEndsTheLoop) {
    StartWithScanner();
    // Only the announced scanner's removal counts.
    const std::string other = bed_.AddTty("ttyUSB1", "1a86", "7523", "ZR4410");
    bed_.Uevent(other, "add");
    bed_.Uevent(other, "remove");
    ASSERT_TRUE(out_.WaitFor("find guns  actions11:remove\n"));
    EXPECT_TRUE(tty_.m_connected);

    Unplug();
    const ScanEvent gone = Next();
    EXPECT_EQ(gone.code, 2);
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop_.get(), 0);
}

TEST_F(ReadLoop, StopWhileWaitingForAScannerIsAcknowledged) {
    StartMonitorLoop();
    ASSERT_TRUE(out_.WaitFor("have no device\n"));
    EXPECT_EQ(tty_.Wait(), 0);
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop_.get(), 0);
    EXPECT_EQ(tty_.m_stop, 0);  // acknowledged
    EXPECT_EQ(EventRecorder::Get().Pending(), 0u);
}

TEST_F(ReadLoop, StopRequestedBeforeTheLoopEndsItAtOnce) {
    tty_.Wait();
    EXPECT_EQ(tty_.m_stop, 1);
    StartMonitorLoop();
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop_.get(), 0);
    EXPECT_EQ(tty_.m_stop, 0);
    EXPECT_EQ(out_.Text(),
              "---------run_byMonitor-----------\n---------run_byMonitor----------- end \n");
}

// The polling reader on a port opened through enumeration.
class PollLoop : public ReadLoop {
  protected:
    void StartPolling() {
        syspath_ = bed_.AddScanner("ttyUSB0");
        ASSERT_GE(tty_.Open(0), 0);
        EXPECT_EQ(tty_.Open(0), 0);  // already open: nothing done
        loop_ = std::async(std::launch::async,
                           [this] { return tty_.Read_sync(2, EventRecorder::Callback); });
    }
};

TEST_F(PollLoop, ScanThenStop) {
    StartPolling();
    bed_.Write("ttyUSB0", "XYZ\r\n");
    ScanEvent event = Next();
    EXPECT_EQ(event.code, 0);
    EXPECT_EQ(event.text, "XYZ\r\n");
    EXPECT_TRUE(out_.WaitFor("  58  59  5a  0d  0a\n"));

    tty_.Wait();
    bed_.Write("ttyUSB0", "!");  // the read waits for data before it sees the stop
    event = Next();
    EXPECT_EQ(event.code, -1);
    EXPECT_EQ(event.text, "");
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop_.get(), 0);
    EXPECT_EQ(tty_.m_stop, 0);
    EXPECT_EQ(tty_.m_fd, -1);
    EXPECT_TRUE(out_.WaitFor("exit:tavi gun  exit\n ---------run----------- end \n"));
}

TEST_F(PollLoop, LossOfTheScanner) {
    StartPolling();
    Unplug();
    const ScanEvent event = Next();
    EXPECT_EQ(event.code, -2);
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop_.get(), 0);
}

// With no port open every read fails: the reader checks for its scanner, finds
// none and ends, instead of failing reads in a tight loop until stopped.
TEST_F(PollLoop, NoPortOpenEndsWithLoss) {
    loop_ = std::async(std::launch::async,
                       [this] { return tty_.Read_sync(2, EventRecorder::Callback); });
    const ScanEvent event = Next();
    EXPECT_EQ(event.code, -2);
    ASSERT_EQ(loop_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(out_.Count("occur, clear data buffer\n"), 1u);
}

}  // namespace
