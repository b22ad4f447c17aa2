#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A scanner that the deployer names in the configuration file: its USB
// vendor id, and optionally its product id and a text within udev's ID_MODEL;
// for a keyboard-mode scanner, the XKB layout it types in.
struct ScannerEntry {
    uint32_t vid = 0;
    bool any_product = true;
    uint32_t pid = 0;
    std::string model;   // empty: any
    std::string layout;  // empty: "us"

    bool Matches(uint32_t device_vid, uint32_t device_pid, const char* device_model) const;
};

// What the configuration file says of the scanners beside the serial settings.
struct ScannerOptions {
    // Each scan's text and hex dump go to standard output, and so to the
    // journal; false: only its size.
    bool log_scan_data = true;
    // Serial scanners beyond the built-in table.
    std::vector<ScannerEntry> serial;
    // Keyboard-mode scanners: only these input devices are ever taken.
    std::vector<ScannerEntry> keyboards;
};
