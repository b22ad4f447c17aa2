// Which supported scanners are plugged in, from the gun table and udev.
#include <cstdio>
#include <sstream>

#include "gun_table.h"
#include "ttyUSB.h"
#include "udev_handles.h"

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
    // Each vendor id of the table is an alternative value of ID_VENDOR_ID.
    std::string vendors;
    GetVendoridList(vendors);
    std::istringstream pieces(vendors);
    for (std::string piece; std::getline(pieces, piece, ',');) {
        udev_enumerate_add_match_property(enumerate.get(), "ID_VENDOR_ID", piece.c_str());
    }
    udev_enumerate_scan_devices(enumerate.get());

    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevice device(
            udev_device_new_from_syspath(udev.get(), udev_list_entry_get_name(entry)));
        if (!device) {
            continue;
        }
        const char* vendor_id = udev_device_get_property_value(device.get(), "ID_VENDOR_ID");
        const char* model_id = udev_device_get_property_value(device.get(), "ID_MODEL_ID");
        const char* model = udev_device_get_property_value(device.get(), "ID_MODEL");
        const char* devname = udev_device_get_property_value(device.get(), "DEVNAME");
        const int row = MatchSupportedGun(vendor_id, model_id, model);
        // A device without a node is of no use, however well it matches.
        if (row < 0 || devname == nullptr) {
            continue;
        }
        std::printf("DEVNAME(/dev):%s\n", devname);
        nodes.push_back({row, HexId(vendor_id), HexId(model_id), devname, "add"});
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
