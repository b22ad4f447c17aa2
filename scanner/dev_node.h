#pragma once

#include <cstdint>
#include <string>

// How a scanner hands over its scans.
enum class ScannerKind {
    kSerial,    // a tty: bytes on a serial line
    kHidPos,    // a hidraw node: HID point-of-sale input reports
    kKeyboard,  // an evdev input device: key presses
};

// One supported scanner as udev reports it.
struct tag_dev_online_node {
    int index;            // the table row or configured entry that accepted it
    uint32_t vid;         // ID_VENDOR_ID read as hexadecimal
    uint32_t pid;         // ID_MODEL_ID read as hexadecimal
    std::string devname;  // DEVNAME, the device node path
    std::string action;   // "add" when enumerated, else the udev action text
    ScannerKind kind = ScannerKind::kSerial;
    std::string syspath;  // where udev has the device
    std::string layout;   // a keyboard's XKB layout; empty: "us"
};
