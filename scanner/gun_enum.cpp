// Which supported scanners are plugged in, from the scanner tables and udev.
#include <cstdio>
#include <sstream>

#include "gun_table.h"
#include "scanner_match.h"
#include "ttyUSB.h"
#include "udev_handles.h"

namespace {

// Appends a node for every scanner among the devices that `enumerate` lists.
void AddScanners(udev* context, udev_enumerate* enumerate, const ScannerOptions& options,
                 std::vector<tag_dev_online_node>& nodes) {
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        UdevDevice device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        tag_dev_online_node node;
        if (device && MatchScanner(device.get(), options, node)) {
            std::printf("DEVNAME(/dev):%s\n", node.devname.c_str());
            node.action = "add";
            nodes.push_back(std::move(node));
        }
    }
}

}  // namespace

int CttyUSB::IsExist(unsigned int vid, unsigned int pid, const char* model) {
    return FindGunRow(vid, pid, model);
}

int CttyUSB::GetVendoridList(std::string& list) {
    list.clear();
    for (const tag_gun_info& gun : TaviGuns) {
        // Four digits, as udev writes ID_VENDOR_ID ("067b", not "67b").
        char id[16];
        std::snprintf(id, sizeof id, "%04x", gun.vid);
        if (list.find(id) == std::string::npos) {
            list += ',';
            list += id;
        }
    }
    return 0;
}

int CttyUSB::EnumOnLineGun(std::vector<tag_dev_online_node>& nodes) {
    UdevContext udev(udev_new());
    if (!udev) {
        std::puts("Can't create udev");
        return -1;
    }
    UdevEnumerate enumerate(udev_enumerate_new(udev.get()));
    if (!enumerate) {
        return static_cast<int>(nodes.size());
    }
    udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    // Each vendor id of the tables is an alternative value of ID_VENDOR_ID.
    std::string vendors;
    GetVendoridList(vendors);
    std::istringstream pieces(vendors + ExtraSerialVendors(m_options));
    for (std::string piece; std::getline(pieces, piece, ',');) {
        udev_enumerate_add_match_property(enumerate.get(), "ID_VENDOR_ID", piece.c_str());
    }
    AddScanners(udev.get(), enumerate.get(), m_options, nodes);
    return static_cast<int>(nodes.size());
}

int CttyUSB::EnumOnLineScanners(std::vector<tag_dev_online_node>& nodes) {
    if (EnumOnLineGun(nodes) < 0) {
        return -1;
    }
    UdevContext udev(udev_new());
    for (const char* subsystem : {"hidraw", "input"}) {
        UdevEnumerate enumerate(udev ? udev_enumerate_new(udev.get()) : nullptr);
        if (enumerate) {
            udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
            AddScanners(udev.get(), enumerate.get(), m_options, nodes);
        }
    }
    return static_cast<int>(nodes.size());
}

int CttyUSB::CheckWorkingGun() {
    std::vector<tag_dev_online_node> nodes;
    EnumOnLineGun(nodes);
    for (const tag_dev_online_node& node : nodes) {
        if (node.vid == m_open_node.vid && node.pid == m_open_node.pid &&
            node.devname == m_open_node.devname) {
            return 0;
        }
    }
    return -1;
}
