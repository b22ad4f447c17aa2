#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dev_node.h"

// Printable ASCII of 1 to 64 bytes: what a scanner's name may be.
inline bool ValidScannerName(const std::string& name) {
    return !name.empty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

// A <Scanner> entry of the configuration file: what a device must be for the
// entry to match it (every key given must match), and what the entry says of
// it: its name, a keyboard's XKB layout, whether its scans begin with an AIM
// symbology identifier.
struct ScannerEntry {
    bool any_vendor = true;  // no VendorId: only with a Device
    uint32_t vid = 0;
    bool any_product = true;
    uint32_t pid = 0;
    std::string model;   // a text within udev's ID_MODEL; empty: any
    std::string serial;  // udev's ID_SERIAL_SHORT, exactly; empty: any
    std::string port;    // udev's ID_PATH, exactly; empty: any
    std::string device;  // the device node, or a link to it; empty: any
    std::string name;    // empty: a name made of its ids
    std::string layout;  // empty: "us"
    bool aim_prefix = false;
    // <Signals>: the bytes of each order, for a serial scanner (empty: none).
    std::array<std::string, kScannerOrders> order_bytes;
    bool auto_disable = false;

    // `device_node` is the node udev names; `links` its DEVLINKS.
    bool Matches(uint32_t device_vid, uint32_t device_pid, const char* device_model,
                 const char* device_serial, const char* device_port, const char* device_node,
                 const char* links) const;
};

// What the configuration file says of the scanners beside the serial settings.
struct ScannerOptions {
    // Each scan's text and hex dump go to standard output, and so to the
    // journal; false: only its size.
    bool log_scan_data = true;
    // Every supported scanner is served at once, each scan naming its
    // scanner; false: one scanner a run.
    bool serve_all = false;
    // Every scanner at once: how long each scan is kept for pages that come
    // back (0 to 300 seconds; 0: none is kept).
    int keep_scans_seconds = 10;
    // Serial scanners beyond the built-in table, and names for any scanner
    // but a keyboard.
    std::vector<ScannerEntry> serial;
    // Keyboard-mode scanners: only these input devices are ever taken.
    std::vector<ScannerEntry> keyboards;
};
