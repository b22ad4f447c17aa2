// The hotplug thread against umockdev's uevents.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/eventually.h"
#include "support/stdout_tap.h"
#include "support/virtual_scanner.h"
#include "ttyUSB.h"

namespace {

using namespace std::chrono_literals;

class Hotplug : public ::testing::Test {
  protected:
    void Start() {
        ASSERT_EQ(pthread_create(&thread_, nullptr, CttyUSB::StartHotplugMonitor, &tty_), 0);
        running_ = true;
    }
    // Ends the thread through the stop request; false if it did not end in time.
    bool Stop() {
        if (!running_) {
            return true;
        }
        auto joined = std::async(std::launch::async, [this] { pthread_join(thread_, nullptr); });
        tty_.Wait();
        if (joined.wait_for(5s) == std::future_status::timeout) {
            ADD_FAILURE() << "the hotplug thread did not end";
            std::terminate();  // it would outlive the object
        }
        running_ = false;
        return true;
    }
    void TearDown() override { Stop(); }

    int Announcements() {
        int value = -1;
        sem_getvalue(&tty_.m_sem, &value);
        return value;
    }
    std::string PlugNode() { return tty_.AnnouncedNode().devname; }
    // Plugs in until the thread, which may not be listening yet, has seen it.
    bool PlugUntilAnnounced(const std::string& syspath) {
        for (int attempt = 0; attempt < 50 && !tty_.m_connected; ++attempt) {
            bed_.Uevent(syspath, "add");
            Eventually([this] { return tty_.m_connected.load(); }, 200ms);
        }
        return tty_.m_connected;
    }
    // Returns once the thread has handled every event sent before: udev's
    // events arrive in order, so it waits for the line of one more, with an
    // action that no other event here uses.
    void Settle(StdoutTap& out) {
        if (sentinel_.empty()) {
            sentinel_ = bed_.AddScanner("ttyUSB9");
        }
        const std::string line = "find guns  actions:online\n";
        const size_t seen = out.Count(line);
        bed_.Uevent(sentinel_, "online");
        EXPECT_TRUE(Eventually([&] { return out.Count(line) > seen; }));
    }

    Testbed bed_;
    CttyUSB tty_;
    pthread_t thread_{};
    bool running_ = false;
    std::string sentinel_;
};

TEST_F(Hotplug, ScannerPresentAtStartIsAnnouncedWithoutAnEvent) {
    bed_.AddTty("ttyS0", "", "", "");
    bed_.AddScanner("ttyUSB0");
    bed_.AddTty("ttyUSB1", "1a86", "7523", "HALVERMONT");
    StdoutTap out;
    Start();
    ASSERT_TRUE(out.WaitFor("connect device (vid:pid)1A86:7523\n"));
    // The line comes first, then the read loop is told.
    EXPECT_TRUE(Eventually([this] { return Announcements() == 1; }));
    EXPECT_TRUE(tty_.m_connected);
    EXPECT_FALSE(tty_.m_enum_pending);
    EXPECT_EQ(PlugNode(), "/dev/ttyUSB0");  // the first of two, in udev's order
    EXPECT_EQ(tty_.AnnouncedNode().index, 1);
    EXPECT_EQ(tty_.AnnouncedNode().action, "add");
    EXPECT_NE(out.Text().find("find guns  actions:add\nconnect device (vid:pid)1A86:7523\n"),
              std::string::npos);
}

TEST_F(Hotplug, PlugInAnotherScannerAndRemovals) {
    StdoutTap out;
    Start();
    // umockdev announces a device it adds with an "add" event of its own.
    const std::string first = bed_.AddTty("ttyUSB0", "067b", "2303", "ZR4420");
    ASSERT_TRUE(PlugUntilAnnounced(first));  // by its event, or by the start-up look
    Settle(out);
    EXPECT_TRUE(out.WaitFor("connect device (vid:pid)067B:2303\n"));
    EXPECT_EQ(PlugNode(), "/dev/ttyUSB0");
    EXPECT_EQ(tty_.AnnouncedNode().index, 4);
    const int announced = Announcements();

    // A second scanner while one is announced changes nothing.
    const std::string second = bed_.AddScanner("ttyUSB1");
    bed_.Uevent(second, "add");
    Settle(out);
    EXPECT_EQ(PlugNode(), "/dev/ttyUSB0");
    EXPECT_EQ(Announcements(), announced);

    // Neither does its removal, nor a change of the announced one.
    bed_.Uevent(second, "remove");
    Settle(out);
    EXPECT_TRUE(tty_.m_connected);
    bed_.Uevent(first, "change");
    Settle(out);
    EXPECT_TRUE(out.WaitFor("find guns  actions11:change\nfind guns  actions:change\n"));
    EXPECT_TRUE(tty_.m_connected);

    // An unsupported tty is looked at and left alone.
    const std::string modem = bed_.AddTty("ttyACM0", "2341", "0043", "Uno");
    bed_.Uevent(modem, "remove");
    Settle(out);
    EXPECT_TRUE(out.WaitFor("find guns  actions:\n"));
    EXPECT_TRUE(tty_.m_connected);

    // The announced scanner's removal does.
    bed_.Uevent(first, "remove");
    Settle(out);
    EXPECT_FALSE(tty_.m_connected);

    // And the next scanner plugged in is announced through its event.
    bed_.Uevent(second, "add");
    Settle(out);
    EXPECT_TRUE(
        out.WaitFor("find guns  actions11:add\nfind guns  actions:add\n"
                    "connect device (vid:pid)1A86:7523\n"));
    EXPECT_TRUE(tty_.m_connected);
    EXPECT_EQ(PlugNode(), "/dev/ttyUSB1");
    EXPECT_EQ(Announcements(), announced + 1);
}

TEST_F(Hotplug, StopRequestEndsTheWaitWithoutAnEvent) {
    StdoutTap out;
    Start();
    // Nothing is plugged in: the thread waits for udev with no time-out.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Stop());
    EXPECT_EQ(out.Count("find guns"), 0u);
}

}  // namespace
