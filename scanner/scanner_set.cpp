#include "scanner_set.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gun_table.h"
#include "payment_code.h"
#include "scanner_enum.h"
#include "scanner_match.h"
#include "udev_handles.h"

namespace {

// A port that won't open is tried again for as long as udev lists it: 100 ms
// after the first failure, twice as long after each further one, 2 s at most.
constexpr int kOpenRetryFirstMillis = 100;
constexpr int kOpenRetryMaxMillis = 2000;

bool Is(const char* text, const char* expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

ScannerInfo InfoOf(const tag_dev_online_node& node, unsigned orders = 0) {
    return {node.name, node.kind, node.devname, node.vid, node.pid, orders, node.auto_disable};
}

}  // namespace

ScannerSet::ScannerSet(const SourceSettings& settings, const ScannerOptions& options, Events events)
    : m_settings(settings),
      m_options(options),
      m_events(std::move(events)),
      m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ScannerSet::~ScannerSet() {
    Stop();
    std::vector<std::unique_ptr<Served>> served;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        served.swap(m_served);
    }
    for (const auto& one : served) {
        if (one->thread.joinable()) {
            one->thread.join();
        }
    }
}

void ScannerSet::Wake(const UniqueFd& eventfd) {
    const uint64_t one = 1;
    if (write(eventfd.get(), &one, sizeof one) < 0) {
        // The counter is set already: the waiter wakes all the same.
    }
}

void ScannerSet::Stop() {
    m_stopping = true;
    Wake(m_wake);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& one : m_served) {
        Wake(one->wake);
    }
}

int ScannerSet::Serve() {
    UdevContext udev(udev_new());
    if (!udev) {
        std::puts("create udev failure");
        return -1;
    }
    UdevMonitor monitor = MakeScannerMonitor(udev.get());
    if (!monitor || !m_wake.valid()) {
        return -1;
    }
    std::vector<tag_dev_online_node> present;
    EnumScanners(GunVendorList(), m_options, present, true);
    for (tag_dev_online_node& node : present) {
        Add(std::move(node));
    }
    if (present.empty()) {
        std::puts("have no device");
    }
    Watch(monitor.get());
    // Every scanner's thread ends with the stop; each says that its scanner
    // is gone as it does.
    std::vector<std::unique_ptr<Served>> served;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        served.swap(m_served);
    }
    for (const auto& one : served) {
        Wake(one->wake);
        one->thread.join();
    }
    return 0;
}

void ScannerSet::Watch(udev_monitor* monitor) {
    pollfd waits[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
    while (!m_stopping) {
        if (poll(waits, 2, -1) <= 0) {
            continue;  // a signal: look at the flag again
        }
        if (waits[1].revents != 0) {
            uint64_t count;
            if (read(m_wake.get(), &count, sizeof count) < 0) {
                // Drained already.
            }
            Reap(false);
            AddRefused();  // room for those refused before, where one went
        }
        if (waits[0].revents & POLLIN) {
            UdevDevice device(udev_monitor_receive_device(monitor));
            if (device) {
                OnDevice(device.get());
            }
        }
    }
}

void ScannerSet::OnDevice(udev_device* device) {
    const char* action = udev_device_get_action(device);
    if (Is(action, "remove")) {
        // A removed HID scanner's descriptor is gone with it: known by its node.
        const char* devname = udev_device_get_property_value(device, "DEVNAME");
        if (devname != nullptr) {
            m_refused.erase(std::remove(m_refused.begin(), m_refused.end(), devname),
                            m_refused.end());
            Remove(devname);
        }
        return;
    }
    // A device may become a scanner after its "add": once udev has read its
    // model, say, or its driver is bound.
    tag_dev_online_node node;
    if (MatchScanner(device, m_options, node)) {
        Add(std::move(node));
    } else if (Is(action, "add")) {
        SayIfUnlistedScanner(device, m_options);
    }
}

std::string ScannerSet::UniqueName(const tag_dev_online_node& node) const {
    auto taken = [this](const std::string& name) {
        return std::any_of(m_served.begin(), m_served.end(),
                           [&name](const auto& one) { return one->node.name == name; });
    };
    if (!taken(node.name)) {
        return node.name;
    }
    for (int n = 2;; ++n) {
        const std::string suffix = "-" + std::to_string(n);
        const std::string name = node.name.substr(0, 64 - suffix.size()) + suffix;
        if (!taken(name)) {
            return name;
        }
    }
}

void ScannerSet::Add(tag_dev_online_node node) {
    // A name is free once its holder has said that it is gone, and not
    // before: a scanner whose service is ending (unplugged and plugged in
    // again at once, a hub's reset) says so before the new one is named and
    // opens.
    Reap(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& one : m_served) {
        if (one->node.devname == node.devname ||
            (!node.syspath.empty() && one->node.syspath == node.syspath)) {
            return;  // served already
        }
    }
    if (m_served.size() == kMaxScanners) {
        if (std::find(m_refused.begin(), m_refused.end(), node.devname) == m_refused.end()) {
            std::fprintf(stderr, "%s (%04x:%04x) is not served: %zu scanners are served already\n",
                         node.devname.c_str(), node.vid, node.pid, kMaxScanners);
            m_refused.push_back(node.devname);
        }
        return;
    }
    m_refused.erase(std::remove(m_refused.begin(), m_refused.end(), node.devname), m_refused.end());
    const std::string name = UniqueName(node);
    if (name != node.name) {
        std::fprintf(stderr, "%s is named %s: %s is the name of another scanner served\n",
                     node.devname.c_str(), name.c_str(), node.name.c_str());
        node.name = name;
    }
    auto served = std::make_unique<Served>();
    served->wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!served->wake.valid()) {
        std::fprintf(stderr, "%s is not served: %s\n", node.devname.c_str(), std::strerror(errno));
        return;
    }
    served->node = std::move(node);
    Served& one = *served;
    one.thread = std::thread(&ScannerSet::ServeOne, this, std::ref(one));
    m_served.push_back(std::move(served));
}

void ScannerSet::AddRefused() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_refused.empty() || m_served.size() >= kMaxScanners) {
            return;
        }
    }
    // Those still listed are tried again (and refused again, should the room
    // be taken meanwhile); those that are not are forgotten.
    std::vector<std::string> refused;
    refused.swap(m_refused);
    std::vector<tag_dev_online_node> present;
    EnumScanners(GunVendorList(), m_options, present, true);
    for (tag_dev_online_node& node : present) {
        if (std::find(refused.begin(), refused.end(), node.devname) != refused.end()) {
            Add(std::move(node));
        }
    }
}

void ScannerSet::Remove(const std::string& devname) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& one : m_served) {
        if (one->present && one->node.devname == devname) {
            one->present = false;
            Wake(one->wake);
        }
    }
}

void ScannerSet::Reap(bool all) {
    std::vector<std::unique_ptr<Served>> ending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto end = std::stable_partition(m_served.begin(), m_served.end(), [all](const auto& one) {
            return !one->done && (!all || one->present);
        });
        std::move(end, m_served.end(), std::back_inserter(ending));
        m_served.erase(end, m_served.end());
    }
    for (const auto& one : ending) {
        one->thread.join();
    }
}

void ScannerSet::SetTrouble(Served& served, const std::string& trouble) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        served.trouble = trouble;
    }
    if (m_events.changed) {
        m_events.changed();
    }
}

bool ScannerSet::WaitFor(int fd, const Served& served, int ms) {
    pollfd waits[2] = {{fd, POLLIN, 0}, {served.wake.get(), POLLIN, 0}};
    const int ready = poll(fd >= 0 ? waits : waits + 1, fd >= 0 ? 2 : 1, ms);
    if (ready > 0 && waits[1].revents != 0) {
        uint64_t count;
        if (read(served.wake.get(), &count, sizeof count) < 0) {
            // Drained already.
        }
    }
    return ready > 0 && fd >= 0 && waits[0].revents != 0;
}

bool ScannerSet::OpenOne(Served& served, const ScannerInfo& info, ScanSource& source) {
    const std::string& devname = served.node.devname;
    int delay = kOpenRetryFirstMillis;
    for (int tries = 1; Wanted(served); ++tries) {
        const bool opened = source.Open() >= 0;
        const int error = errno;
        if (m_events.open_tried) {
            m_events.open_tried(info, opened, tries > 1);
        }
        errno = error;
        if (opened) {
            if (tries > 1) {
                std::printf("opened %s after %d tries\n", devname.c_str(), tries);
                SetTrouble(served, std::string());
            }
            return true;
        }
        if (tries == 1) {
            const std::string trouble =
                "cannot open " + devname + " (" + std::strerror(errno) + "), retrying";
            std::puts(trouble.c_str());
            SetTrouble(served, trouble);
        }
        WaitFor(-1, served, delay);
        delay = std::min(2 * delay, kOpenRetryMaxMillis);
    }
    return false;
}

void ScannerSet::CarryOrders(Served& served, const ScannerInfo& info, ScanSource& source) {
    std::vector<ScannerOrder> orders;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        orders.swap(served.orders);
    }
    if (served.enable_owed && orders.empty()) {
        orders.push_back(ScannerOrder::kEnable);
    }
    for (const ScannerOrder order : orders) {
        if ((info.orders & OrderBit(order)) == 0) {
            continue;
        }
        if (source.Carry(order)) {
            if (order == ScannerOrder::kDisable || order == ScannerOrder::kEnable) {
                served.held = order == ScannerOrder::kDisable;
                served.enable_owed = false;  // what it was told last stands
            }
            continue;
        }
        // Said and counted once: an enable owed is tried again quietly.
        const bool again = order == ScannerOrder::kEnable && served.enable_owed;
        served.enable_owed = order == ScannerOrder::kEnable || served.enable_owed;
        if (!again) {
            std::printf("%s was not told %s: %s\n", info.name.c_str(), OrderName(order),
                        std::strerror(errno));
            if (m_events.order_failed) {
                m_events.order_failed(info, order);
            }
        }
    }
}

int ScannerSet::Order(const std::string& name, ScannerOrder order) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& one : m_served) {
        if (one->present && one->open && one->node.name == name) {
            one->orders.push_back(order);
            Wake(one->wake);
            return 0;
        }
    }
    return -1;
}

void ScannerSet::ServeOne(Served& served) {
    ScannerInfo info = InfoOf(served.node);
    SourceHooks hooks;
    hooks.deliver = [this, &info](Scan scan) {
        const size_t size = scan.text.size();
        // A payment code is spendable by whoever reads the log: it shows masked.
        const std::string text =
            m_settings.log_scan_data ? MaskedPaymentCode(scan.text) : std::string();
        if (m_events.scan) {
            m_events.scan(info, std::move(scan));
        }
        if (m_settings.log_scan_data) {
            std::printf("have data from %s: %s\n", info.name.c_str(), text.c_str());
        } else {
            std::printf("have data from %s (%zu bytes, not logged)\n", info.name.c_str(), size);
        }
    };
    hooks.wanted = [this, &served] { return Wanted(served); };
    hooks.present = [&served] { return served.present.load(); };
    hooks.dropped = [this, &info](ScanDrop reason) {
        if (m_events.dropped) {
            m_events.dropped(info, reason);
        }
    };
    std::unique_ptr<ScanSource> source = MakeScanSource(served.node, m_settings, hooks);
    if (OpenOne(served, info, *source)) {
        info.orders = source->Orders();
        // It reads from the start, whatever an earlier run (stopped, or one
        // that crashed) left it told.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            served.orders.insert(served.orders.begin(), ScannerOrder::kEnable);
        }
        CarryOrders(served, info, *source);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            served.open = true;
        }
        if (m_events.opened) {
            m_events.opened(info);
        }
        std::printf("serving %s: %s %s (%04x:%04x)\n", info.name.c_str(), KindName(info.kind),
                    info.devname.c_str(), info.vid, info.pid);
        if (m_events.changed) {
            m_events.changed();
        }
        while (Wanted(served)) {
            if (WaitFor(source->fd(), served, served.enable_owed ? 1000 : -1) &&
                !source->ReadScans()) {
                break;  // hung up, or no longer listed
            }
            CarryOrders(served, info, *source);
        }
        if (m_stopping && served.present && served.held) {
            // Stopped with its reading held: it reads again for whatever
            // serves it next.
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                served.orders.assign(1, ScannerOrder::kEnable);
            }
            CarryOrders(served, info, *source);
        }
        served.present = false;  // its name waits for the word that it is gone
        source.reset();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            served.open = false;
        }
        std::printf("%s is gone: %s closed\n", info.name.c_str(), info.devname.c_str());
        if (m_events.gone) {
            m_events.gone(info);
        }
    }
    SetTrouble(served, std::string());
    served.present = false;
    served.done = true;
    Wake(m_wake);
}

std::vector<ScannerInfo> ScannerSet::Open() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ScannerInfo> open;
    for (const auto& one : m_served) {
        if (one->open) {
            open.push_back(InfoOf(one->node));  // for systemd's status: its name and node
        }
    }
    return open;
}

std::string ScannerSet::Trouble() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& one : m_served) {
        if (!one->trouble.empty()) {
            return one->trouble;
        }
    }
    return std::string();
}
