#include "gun_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const tag_gun_info TaviGuns[kGunCount] = {
    {"tavi barcode gun", "HALVERMONT", "HALVERMONT", 0x1a86, 0x7523},
    {"tavi barcode gun", "TAVI", "TAVI", 0x1a86, 0x7523},
    {"tavi barcode gun", "ZR4410", "Corvane_ZR4410", 0x1a86, 0x7523},
    {"tavi barcode gun", "ZR4420", "Corvane_ZR4420", 0x1a86, 0x7523},
    {"tavi barcode gun", "ZR4420", "Corvane_ZR4420", 0x067b, 0x2303},
};

int FindGunRow(uint32_t vid, uint32_t pid, const char* model) {
    if (model == nullptr) {
        return -1;
    }
    for (int row = 0; row < kGunCount; ++row) {
        const tag_gun_info& gun = TaviGuns[row];
        if (gun.vid == vid && gun.pid == pid && std::strstr(model, gun.model_key) != nullptr) {
            return row;
        }
    }
    return -1;
}

std::string GunVendorList() {
    std::string list;
    for (const tag_gun_info& gun : TaviGuns) {
        // Four digits, as udev writes ID_VENDOR_ID ("067b", not "67b").
        char id[16];
        std::snprintf(id, sizeof id, ",%04x", gun.vid);
        if (list.find(id) == std::string::npos) {
            list += id;
        }
    }
    return list;
}

bool ParseHexId(const char* text, uint32_t& id) {
    if (text == nullptr) {
        return false;
    }
    const size_t digits = std::strspn(text, "0123456789abcdefABCDEF");
    if (digits == 0 || digits > 8 || text[digits] != '\0') {
        return false;
    }
    id = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    return true;
}

int MatchSupportedGun(const char* vendor_id, const char* model_id, const char* model) {
    uint32_t vid = 0;
    uint32_t pid = 0;
    if (!ParseHexId(vendor_id, vid) || !ParseHexId(model_id, pid) || model == nullptr) {
        return -1;
    }
    const int row = FindGunRow(vid, pid, model);
    // Only the row found is tried: a model with anything after the key fails.
    if (row < 0 || std::strstr(TaviGuns[row].model_name, model) == nullptr) {
        return -1;
    }
    return row;
}
