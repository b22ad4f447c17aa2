// Which supported scanners are plugged in, from the scanner tables and udev.
#include "gun_table.h"
#include "scanner_enum.h"
#include "ttyUSB.h"

int CttyUSB::IsExist(unsigned int vid, unsigned int pid, const char* model) {
    return FindGunRow(vid, pid, model);
}

int CttyUSB::GetVendoridList(std::string& list) {
    list = GunVendorList();
    return 0;
}

int CttyUSB::EnumOnLineGun(std::vector<tag_dev_online_node>& nodes) {
    std::string vendors;
    GetVendoridList(vendors);
    return EnumSerialScanners(vendors, m_options, nodes);
}

int CttyUSB::EnumOnLineScanners(std::vector<tag_dev_online_node>& nodes, bool say_unlisted) {
    std::string vendors;
    GetVendoridList(vendors);
    return EnumScanners(vendors, m_options, nodes, say_unlisted);
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
