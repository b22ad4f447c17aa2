#include "scanner_match.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gun_table.h"
#include "hid_pos.h"
#include "unique_fd.h"

namespace {

// The USB-serial modes of the big makers' scanners, served by cdc_acm
// (/dev/ttyACM*): Honeywell, Zebra (Symbol), Datalogic.
constexpr uint32_t kCdcAcmVendors[] = {0x0c2e, 0x05e0, 0x05f9};
constexpr int kCdcAcmRows = sizeof kCdcAcmVendors / sizeof kCdcAcmVendors[0];

const char* Property(udev_device* device, const char* name) {
    return udev_device_get_property_value(device, name);
}

bool Is(const char* text, const char* expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

// The row of a tty: the built-in table, then the makers' CDC-ACM modes, then
// the configured entries; -1 for none.
int SerialRow(udev_device* device, const ScannerOptions& options) {
    const char* vendor_id = Property(device, "ID_VENDOR_ID");
    const char* model_id = Property(device, "ID_MODEL_ID");
    const char* model = Property(device, "ID_MODEL");
    const int row = MatchSupportedGun(vendor_id, model_id, model);
    if (row >= 0 || vendor_id == nullptr) {
        return row;
    }
    const uint32_t vid = HexId(vendor_id);
    const uint32_t pid = model_id != nullptr ? HexId(model_id) : 0;
    for (int i = 0; i < kCdcAcmRows; ++i) {
        if (vid == kCdcAcmVendors[i] && Is(Property(device, "ID_USB_DRIVER"), "cdc_acm")) {
            return kGunCount + i;
        }
    }
    for (size_t i = 0; i < options.serial.size(); ++i) {
        if (options.serial[i].Matches(vid, pid, model)) {
            return kGunCount + kCdcAcmRows + static_cast<int>(i);
        }
    }
    return -1;
}

// The vendor and product of a HID device, from its HID_ID ("0003:00000C2E:00000B87").
bool HidIds(udev_device* hid, uint32_t& vid, uint32_t& pid) {
    const char* id = hid != nullptr ? Property(hid, "HID_ID") : nullptr;
    unsigned bus = 0, vendor = 0, product = 0;
    if (id == nullptr || std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) != 3) {
        return false;
    }
    vid = vendor;
    pid = product;
    return true;
}

}  // namespace

bool ScannerEntry::Matches(uint32_t device_vid, uint32_t device_pid,
                           const char* device_model) const {
    return device_vid == vid && (any_product || device_pid == pid) &&
           (model.empty() ||
            (device_model != nullptr && std::strstr(device_model, model.c_str()) != nullptr));
}

std::string ExtraSerialVendors(const ScannerOptions& options) {
    std::string list;
    auto add = [&list](uint32_t vid) {
        char id[8];
        std::snprintf(id, sizeof id, ",%04x", vid & 0xffffu);
        if (list.find(id) == std::string::npos) {
            list += id;
        }
    };
    for (const uint32_t vid : kCdcAcmVendors) {
        add(vid);
    }
    for (const ScannerEntry& entry : options.serial) {
        add(entry.vid);
    }
    return list;
}

std::string ReportDescriptor(udev_device* hidraw) {
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    const char* syspath = hid != nullptr ? udev_device_get_syspath(hid) : nullptr;
    if (syspath == nullptr) {
        return std::string();
    }
    const UniqueFd fd(
        open((std::string(syspath) + "/report_descriptor").c_str(), O_RDONLY | O_CLOEXEC));
    std::string bytes;
    char block[4096];
    ssize_t got = 0;
    // A descriptor has at most 4 KiB (HID_MAX_DESCRIPTOR_SIZE).
    while (fd.valid() && bytes.size() <= 4096 && (got = read(fd.get(), block, sizeof block)) > 0) {
        bytes.append(block, static_cast<size_t>(got));
    }
    return bytes;
}

bool MatchScanner(udev_device* device, const ScannerOptions& options, tag_dev_online_node& node) {
    const char* subsystem = udev_device_get_subsystem(device);
    const char* devname = Property(device, "DEVNAME");
    if (devname == nullptr || subsystem == nullptr) {
        return false;  // a device without a node is of no use, however well it matches
    }
    node = tag_dev_online_node{};
    node.devname = devname;
    const char* syspath = udev_device_get_syspath(device);
    node.syspath = syspath != nullptr ? syspath : "";
    if (Is(subsystem, "tty")) {
        node.index = SerialRow(device, options);
        node.vid = HexId(Property(device, "ID_VENDOR_ID"));
        const char* model_id = Property(device, "ID_MODEL_ID");
        node.pid = model_id != nullptr ? HexId(model_id) : 0;
        return node.index >= 0;
    }
    if (Is(subsystem, "hidraw")) {
        node.kind = ScannerKind::kHidPos;
        const std::string descriptor = ReportDescriptor(device);
        HidPosLayout layout;
        return HidIds(udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr),
                      node.vid, node.pid) &&
               layout.Parse(reinterpret_cast<const uint8_t*>(descriptor.data()), descriptor.size());
    }
    const char* vendor_id = Property(device, "ID_VENDOR_ID");
    const char* model_id = Property(device, "ID_MODEL_ID");
    if (!Is(subsystem, "input") || std::strncmp(devname, "/dev/input/event", 16) != 0 ||
        !Is(Property(device, "ID_INPUT_KEYBOARD"), "1") || vendor_id == nullptr) {
        return false;
    }
    node.kind = ScannerKind::kKeyboard;
    node.vid = HexId(vendor_id);
    node.pid = model_id != nullptr ? HexId(model_id) : 0;
    for (size_t i = 0; i < options.keyboards.size(); ++i) {
        if (options.keyboards[i].Matches(node.vid, node.pid, Property(device, "ID_MODEL"))) {
            node.index = static_cast<int>(i);
            node.layout = options.keyboards[i].layout;
            return true;
        }
    }
    return false;
}
