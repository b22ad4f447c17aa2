#include "scanner_enum.h"

#include <cstdio>
#include <sstream>

#include "scanner_match.h"

namespace {

// Appends a node for every scanner among the devices that `enumerate` lists
// and that is not there yet.
void AddScanners(udev* context, udev_enumerate* enumerate, const ScannerOptions& options,
                 std::vector<tag_dev_online_node>& nodes, bool say_unlisted = false) {
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        UdevDevice device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        tag_dev_online_node node;
        if (!device || !MatchScanner(device.get(), options, node)) {
            if (device && say_unlisted) {
                SayIfUnlistedScanner(device.get(), options);
            }
            continue;
        }
        bool listed = false;
        for (const tag_dev_online_node& other : nodes) {
            listed = listed || other.syspath == node.syspath;
        }
        if (!listed) {
            std::printf("DEVNAME(/dev):%s\n", node.devname.c_str());
            node.action = "add";
            nodes.push_back(std::move(node));
        }
    }
}

bool NamesDevices(const ScannerOptions& options) {
    for (const ScannerEntry& entry : options.serial) {
        if (!entry.device.empty()) {
            return true;
        }
    }
    return false;
}

}  // namespace

int EnumSerialScanners(const std::string& vendors, const ScannerOptions& options,
                       std::vector<tag_dev_online_node>& nodes) {
    UdevContext udev(udev_new());
    if (!udev) {
        std::puts("Can't create udev");
        return -1;
    }
    UdevEnumerate enumerate(udev_enumerate_new(udev.get()));
    if (enumerate) {
        udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
        // Each vendor id is an alternative value of ID_VENDOR_ID.
        std::istringstream pieces(vendors + ExtraSerialVendors(options));
        for (std::string piece; std::getline(pieces, piece, ',');) {
            udev_enumerate_add_match_property(enumerate.get(), "ID_VENDOR_ID", piece.c_str());
        }
        AddScanners(udev.get(), enumerate.get(), options, nodes);
    }
    // A port named in the configuration may have no USB ids at all (ttyS1).
    UdevEnumerate named(NamesDevices(options) ? udev_enumerate_new(udev.get()) : nullptr);
    if (named) {
        udev_enumerate_add_match_subsystem(named.get(), "tty");
        AddScanners(udev.get(), named.get(), options, nodes);
    }
    return static_cast<int>(nodes.size());
}

int EnumScanners(const std::string& vendors, const ScannerOptions& options,
                 std::vector<tag_dev_online_node>& nodes, bool say_unlisted) {
    if (EnumSerialScanners(vendors, options, nodes) < 0) {
        return -1;
    }
    UdevContext udev(udev_new());
    for (const char* subsystem : {"hidraw", "input"}) {
        UdevEnumerate enumerate(udev ? udev_enumerate_new(udev.get()) : nullptr);
        if (enumerate) {
            udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
            AddScanners(udev.get(), enumerate.get(), options, nodes, say_unlisted);
        }
    }
    return static_cast<int>(nodes.size());
}

UdevMonitor MakeScannerMonitor(udev* context) {
    UdevMonitor monitor(udev_monitor_new_from_netlink(context, "udev"));
    if (!monitor) {
        std::puts("create udev_monitor failure");
        return monitor;
    }
    for (const char* subsystem : {"tty", "hidraw", "input"}) {
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), subsystem, nullptr);
    }
    if (udev_monitor_enable_receiving(monitor.get()) < 0) {
        std::puts("enable monitor failure");
        monitor.reset();
    }
    return monitor;
}

void SayIfUnlistedScanner(udev_device* device, const ScannerOptions& options) {
    tag_dev_online_node node;
    if (UnlistedMakersKeyboard(device, options, node)) {
        std::fprintf(stderr,
                     "%s (%04x:%04x) is a scanner maker's keyboard that no entry lists: not "
                     "served. A scanner in keyboard mode is served once <KeyboardScanners> lists "
                     "it (with its ProductId); better, set it to its USB serial (CDC-ACM) or "
                     "HID point-of-sale mode.\n",
                     node.devname.c_str(), node.vid, node.pid);
    }
}
