// The hotplug thread: announces a supported scanner (a tty, a HID
// point-of-sale scanner or a listed keyboard) that is present at start or
// plugged in later, and notices when the announced one is unplugged.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "scanner_enum.h"
#include "scanner_match.h"
#include "ttyUSB.h"
#include "udev_handles.h"

void* CttyUSB::StartHotplugMonitor(void* self) {
    CttyUSB* tty = static_cast<CttyUSB*>(self);
    UdevContext udev(udev_new());
    if (!udev) {
        std::puts("create udev failure");
        tty->m_monitor_state = -1;
        return nullptr;
    }
    UdevMonitor monitor = MakeScannerMonitor(udev.get());
    if (!monitor) {
        tty->m_monitor_state = -1;
        return nullptr;
    }
    tty->HotplugLoop(monitor.get());
    return nullptr;
}

void CttyUSB::HotplugLoop(udev_monitor* monitor) {
    pollfd waits[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
    bool first = true;
    while (m_monitor_state >= 0 && m_stop == 0 && !m_hotplug_quit) {
        tag_dev_online_node candidate{};
        if (m_enum_pending) {
            // Scanners plugged in before we listened are looked for once, and
            // again when the one announced went without ever opening.
            m_enum_pending = false;
            std::vector<tag_dev_online_node> nodes;
            EnumOnLineScanners(nodes, first);
            first = false;
            // udev may list the one that just went a moment longer.
            nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                                       [this](const tag_dev_online_node& node) {
                                           return node.devname == m_gone_devname;
                                       }),
                        nodes.end());
            m_gone_devname.clear();
            if (nodes.empty()) {
                continue;
            }
            candidate = nodes.front();
        } else {
            if (poll(waits, 2, -1) <= 0) {
                std::puts("monitor time out");
                continue;
            }
            if (waits[1].revents != 0) {
                uint64_t count;
                if (read(m_wake.get(), &count, sizeof count) < 0) {
                    // Already drained: nothing to do but look at the flags again.
                }
                continue;
            }
            if (waits[0].revents & POLLIN) {
                UdevDevice device(udev_monitor_receive_device(monitor));
                if (!device) {
                    continue;
                }
                const char* action = udev_device_get_action(device.get());
                const char* devname = udev_device_get_property_value(device.get(), "DEVNAME");
                // A removed HID scanner's descriptor is gone with it: the
                // announced scanner's removal is known by its node alone.
                const bool announced_gone =
                    action != nullptr && std::strcmp(action, "remove") == 0 && devname != nullptr &&
                    AnnouncedNode().devname == devname;
                tag_dev_online_node node;
                if (MatchScanner(device.get(), m_options, node) || announced_gone) {
                    candidate = std::move(node);
                    candidate.devname = devname;
                    candidate.action = action != nullptr ? action : "";
                    std::printf("find guns  actions11:%s\n", candidate.action.c_str());
                } else if (action != nullptr && std::strcmp(action, "add") == 0) {
                    SayIfUnlistedScanner(device.get(), m_options);
                }
            }
        }
        std::printf("find guns  actions:%s\n", candidate.action.c_str());
        OnHotplugCandidate(candidate);
    }
}

void CttyUSB::OnHotplugCandidate(const tag_dev_online_node& candidate) {
    if (candidate.action.find("add") != std::string::npos) {
        if (m_connected) {
            return;  // one scanner at a time; this one is not remembered
        }
        {
            std::lock_guard<std::mutex> lock(m_plug_mutex);
            m_plug_node = candidate;
        }
        m_connected = true;
        // Said before the read loop is told, so that the log reads in order.
        std::printf("connect device (vid:pid)%04X:%04X\n", candidate.vid, candidate.pid);
        sem_post(&m_sem);
        WakeNap();
    } else if (candidate.action.find("remove") != std::string::npos && m_connected) {
        // Only the announced scanner's removal counts: unplugging an idle second
        // scanner must not end the service of the one in use.
        std::lock_guard<std::mutex> lock(m_plug_mutex);
        if (candidate.devname == m_plug_node.devname) {
            m_connected = false;
            // One that never opened leaves nothing to end: the scanners
            // present now are looked for again, and the first is served.
            m_enum_pending = !m_opened;
            m_gone_devname = candidate.devname;
            WakeReadLoop();  // its line need not hang up to tell the read loop
            WakeNap();       // nor a port that would not open be tried again
        }
    }
}

tag_dev_online_node CttyUSB::AnnouncedNode() {
    std::lock_guard<std::mutex> lock(m_plug_mutex);
    return m_plug_node;
}

void CttyUSB::WakeHotplug() {
    const uint64_t one = 1;
    if (write(m_wake.get(), &one, sizeof one) < 0) {
        // The counter is already set: the thread wakes all the same.
    }
}

void CttyUSB::StopHotplugMonitor() {
    if (!m_hotplug_running) {
        return;
    }
    m_hotplug_quit = true;
    WakeHotplug();
    pthread_join(m_hotplug_thread, nullptr);
    m_hotplug_running = false;
    m_hotplug_quit = false;
}
