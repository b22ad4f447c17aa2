#pragma once

#include <array>
#include <cstdint>
#include <string>

// How a scanner hands over its scans.
enum class ScannerKind {
    kSerial,    // a tty: bytes on a serial line
    kHidPos,    // a hidraw node: HID point-of-sale input reports
    kKeyboard,  // an evdev input device: key presses
};

// "serial", "hid-pos" or "keyboard".
const char* KindName(ScannerKind kind);

// What a page may tell a scanner to do: give a signal (a beep), or stop or
// start reading.
enum class ScannerOrder { kGood, kError, kNotOnFile, kDisable, kEnable };
constexpr int kScannerOrders = 5;
// "good", "error", "not-on-file", "disable", "enable".
inline const char* OrderName(ScannerOrder order) {
    static const char* const kNames[kScannerOrders] = {"good", "error", "not-on-file", "disable",
                                                       "enable"};
    return kNames[static_cast<int>(order)];
}
// The order of that name; false for none.
inline bool OrderNamed(const std::string& name, ScannerOrder& order) {
    for (int i = 0; i < kScannerOrders; ++i) {
        if (name == OrderName(static_cast<ScannerOrder>(i))) {
            order = static_cast<ScannerOrder>(i);
            return true;
        }
    }
    return false;
}
// A set of orders, a bit each.
inline unsigned OrderBit(ScannerOrder order) {
    return 1u << static_cast<int>(order);
}

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
    // What tells it from others of its model, where udev knows it:
    // ID_SERIAL_SHORT, and the port it is plugged into (ID_PATH).
    std::string serial;
    std::string port;
    // Its name in scan messages: a configured <Name>, or one made of its ids.
    std::string name;
    // Each scan begins with its AIM symbology identifier ("]E0").
    bool aim_prefix = false;
    // The bytes that tell a serial scanner each order, where its entry gives
    // them (empty: it can't be told that).
    std::array<std::string, kScannerOrders> order_bytes;
    // It is disabled after each scan delivered, until a page enables it.
    bool auto_disable = false;
};
