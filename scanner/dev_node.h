#pragma once

#include <cstdint>
#include <string>

// One supported scanner as udev reports it.
struct tag_dev_online_node {
    int index;            // row of TaviGuns that accepted the device
    uint32_t vid;         // ID_VENDOR_ID read as hexadecimal
    uint32_t pid;         // ID_MODEL_ID read as hexadecimal
    std::string devname;  // DEVNAME, the device node path
    std::string action;   // "add" when enumerated, else the udev action text
};
