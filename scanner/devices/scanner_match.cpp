#include "scanner_match.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "gun_table.h"
#include "hid_pos_layout.h"
#include "unique_fd.h"

namespace {

// The USB-serial modes of the big makers' scanners, served by cdc_acm
// (/dev/ttyACM*): Honeywell, Zebra (Symbol), Datalogic.
constexpr uint32_t kCdcAcmVendors[] = {0x0c2e, 0x05e0, 0x05f9};
constexpr int kCdcAcmRows = sizeof kCdcAcmVendors / sizeof kCdcAcmVendors[0];
// Makers whose scanners come in keyboard mode out of the box: those above,
// and Newland.
constexpr uint32_t kScannerMakers[] = {0x0c2e, 0x05e0, 0x05f9, 0x1eab};

// The longest device node path taken: far beyond any that the kernel makes.
constexpr size_t kMaxNodePath = 256;

const char* Property(udev_device* device, const char* name) {
    return device != nullptr ? udev_device_get_property_value(device, name) : nullptr;
}

bool Is(const char* text, const char* expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

// What a device says of itself, each text as udev has it (or null).
struct Identity {
    bool have_ids = false;  // vid and pid are ids
    uint32_t vid = 0;
    uint32_t pid = 0;
    const char* model = nullptr;
    const char* serial = nullptr;
    const char* port = nullptr;
    const char* node = nullptr;
    const char* links = nullptr;
};

// The vendor and product of a HID device, from its HID_ID ("0003:00000C2E:00000B87").
bool HidIds(udev_device* hid, uint32_t& vid, uint32_t& pid) {
    const char* id = Property(hid, "HID_ID");
    unsigned bus = 0, vendor = 0, product = 0;
    char end = 0;
    if (id == nullptr || std::strlen(id) > 32 ||
        std::sscanf(id, "%4x:%8x:%8x%c", &bus, &vendor, &product, &end) != 3) {
        return false;
    }
    vid = vendor;
    pid = product;
    return true;
}

Identity IdentityOf(udev_device* device, udev_device* hid) {
    Identity id;
    id.node = Property(device, "DEVNAME");
    id.links = Property(device, "DEVLINKS");
    id.model = Property(device, "ID_MODEL");
    id.serial = Property(device, "ID_SERIAL_SHORT");
    id.port = Property(device, "ID_PATH");
    if (hid != nullptr) {
        // udev keeps a hidraw node's ids and USB serial number with its HID parent.
        id.have_ids = HidIds(hid, id.vid, id.pid);
        if (id.serial == nullptr) {
            id.serial = Property(hid, "HID_UNIQ");
        }
        return id;
    }
    id.have_ids = ParseHexId(Property(device, "ID_VENDOR_ID"), id.vid) &&
                  ParseHexId(Property(device, "ID_MODEL_ID"), id.pid);
    return id;
}

bool EntryMatches(const ScannerEntry& entry, const Identity& id) {
    if (!id.have_ids && (!entry.any_vendor || !entry.any_product)) {
        return false;
    }
    return entry.Matches(id.vid, id.pid, id.model, id.serial, id.port, id.node, id.links);
}

// The first entry of the list that matches, or null.
const ScannerEntry* FirstMatch(const std::vector<ScannerEntry>& entries, const Identity& id,
                               int& index) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (EntryMatches(entries[i], id)) {
            index = static_cast<int>(i);
            return &entries[i];
        }
    }
    return nullptr;
}

// The row of a tty: the built-in table, then the makers' CDC-ACM modes, then
// the configured entries (`entry`, which names it too); -1 for none.
int SerialRow(udev_device* device, const Identity& id, const ScannerOptions& options,
              const ScannerEntry*& entry) {
    int listed = -1;
    entry = FirstMatch(options.serial, id, listed);
    const int row = MatchSupportedGun(Property(device, "ID_VENDOR_ID"),
                                      Property(device, "ID_MODEL_ID"), id.model);
    if (row >= 0) {
        return row;
    }
    for (int i = 0; i < kCdcAcmRows && id.have_ids; ++i) {
        if (id.vid == kCdcAcmVendors[i] && Is(Property(device, "ID_USB_DRIVER"), "cdc_acm")) {
            return kGunCount + i;
        }
    }
    return entry != nullptr ? kGunCount + kCdcAcmRows + listed : -1;
}

// Printable ASCII, a blank included.
bool Printable(const char* text, size_t max) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    size_t size = 0;
    for (; text[size] != '\0'; ++size) {
        if (size == max || text[size] < 0x20 || text[size] > 0x7e) {
            return false;
        }
    }
    return true;
}

// The name of a scanner that no entry names: stable across replugs into the
// same port and across reboots, where udev knows enough.
std::string DefaultName(const Identity& id, const std::string& node) {
    char ids[24];
    std::snprintf(ids, sizeof ids, "%04x:%04x", id.vid, id.pid);
    const size_t room = 64 - std::strlen(ids) - 1;
    if (id.have_ids && Printable(id.serial, room)) {
        return std::string(ids) + ":" + id.serial;
    }
    if (id.have_ids && Printable(id.port, room)) {
        return std::string(ids) + "@" + id.port;
    }
    return node.size() <= 64 ? node : node.substr(node.size() - 64);
}

// Fills the node's identity, name and entry settings.
void Describe(tag_dev_online_node& node, const Identity& id, const ScannerEntry* entry) {
    node.vid = id.vid;
    node.pid = id.pid;
    node.serial = Printable(id.serial, 255) ? id.serial : "";
    node.port = Printable(id.port, 255) ? id.port : "";
    if (entry != nullptr) {
        node.name = entry->name;
        node.layout = entry->layout;
        node.aim_prefix = entry->aim_prefix;
        node.order_bytes = entry->order_bytes;
        node.auto_disable = entry->auto_disable;
    }
    if (node.name.empty()) {
        node.name = DefaultName(id, node.devname);
    }
}

// A device node path as the kernel names them: under /dev, of printable
// ASCII without blanks, never up and out of it.
bool NodePath(const char* devname) {
    if (devname == nullptr || std::strncmp(devname, "/dev/", 5) != 0 ||
        std::strstr(devname, "/..") != nullptr) {
        return false;
    }
    for (size_t i = 0; devname[i] != '\0'; ++i) {
        if (i == kMaxNodePath || devname[i] <= 0x20 || devname[i] > 0x7e) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* KindName(ScannerKind kind) {
    switch (kind) {
        case ScannerKind::kHidPos:
            return "hid-pos";
        case ScannerKind::kKeyboard:
            return "keyboard";
        case ScannerKind::kSerial:
            break;
    }
    return "serial";
}

bool ScannerEntry::Matches(uint32_t device_vid, uint32_t device_pid, const char* device_model,
                           const char* device_serial, const char* device_port,
                           const char* device_node, const char* links) const {
    auto listed = [links](const std::string& path) {
        // DEVLINKS: the links to the node, separated by blanks.
        for (const char* at = links != nullptr ? std::strstr(links, path.c_str()) : nullptr;
             at != nullptr; at = std::strstr(at + 1, path.c_str())) {
            const char after = at[path.size()];
            if ((at == links || at[-1] == ' ') && (after == '\0' || after == ' ')) {
                return true;
            }
        }
        return false;
    };
    return (any_vendor || device_vid == vid) && (any_product || device_pid == pid) &&
           (model.empty() ||
            (device_model != nullptr && std::strstr(device_model, model.c_str()) != nullptr)) &&
           (serial.empty() || Is(device_serial, serial.c_str())) &&
           (port.empty() || Is(device_port, port.c_str())) &&
           (device.empty() || Is(device_node, device.c_str()) || listed(device));
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
        if (!entry.any_vendor) {
            add(entry.vid);
        }
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
    return bytes.size() <= 4096 ? bytes : std::string();
}

bool MatchScanner(udev_device* device, const ScannerOptions& options, tag_dev_online_node& node) {
    const char* subsystem = udev_device_get_subsystem(device);
    const char* devname = Property(device, "DEVNAME");
    // A device without a node under /dev is of no use, however well it matches.
    if (subsystem == nullptr || !NodePath(devname)) {
        return false;
    }
    node = tag_dev_online_node{};
    node.devname = devname;
    const char* syspath = udev_device_get_syspath(device);
    node.syspath = syspath != nullptr ? syspath : "";
    const ScannerEntry* entry = nullptr;
    if (Is(subsystem, "tty")) {
        const Identity id = IdentityOf(device, nullptr);
        node.index = SerialRow(device, id, options, entry);
        Describe(node, id, entry);
        return node.index >= 0;
    }
    if (Is(subsystem, "hidraw")) {
        node.kind = ScannerKind::kHidPos;
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
        const Identity id = IdentityOf(device, hid);
        const std::string descriptor = ReportDescriptor(device);
        HidPosLayout layout;
        if (!id.have_ids ||
            !layout.Parse(reinterpret_cast<const uint8_t*>(descriptor.data()), descriptor.size())) {
            return false;
        }
        int listed = -1;
        Describe(node, id, FirstMatch(options.serial, id, listed));
        node.index = 0;
        return true;
    }
    if (!Is(subsystem, "input") || std::strncmp(devname, "/dev/input/event", 16) != 0 ||
        !Is(Property(device, "ID_INPUT_KEYBOARD"), "1")) {
        return false;
    }
    node.kind = ScannerKind::kKeyboard;
    const Identity id = IdentityOf(device, nullptr);
    entry = id.have_ids ? FirstMatch(options.keyboards, id, node.index) : nullptr;
    if (entry == nullptr) {
        return false;
    }
    Describe(node, id, entry);
    return true;
}

bool UnlistedMakersKeyboard(udev_device* device, const ScannerOptions& options,
                            tag_dev_online_node& node) {
    const char* devname = Property(device, "DEVNAME");
    if (!Is(udev_device_get_subsystem(device), "input") || !NodePath(devname) ||
        std::strncmp(devname, "/dev/input/event", 16) != 0 ||
        !Is(Property(device, "ID_INPUT_KEYBOARD"), "1") || MatchScanner(device, options, node)) {
        return false;
    }
    const Identity id = IdentityOf(device, nullptr);
    for (const uint32_t maker : kScannerMakers) {
        if (id.have_ids && id.vid == maker) {
            node = tag_dev_online_node{};
            node.devname = devname;
            node.kind = ScannerKind::kKeyboard;
            Describe(node, id, nullptr);
            return true;
        }
    }
    return false;
}
