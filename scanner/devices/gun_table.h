#pragma once

#include <cstdint>
#include <string>

// One row of the built-in table of supported scanners.
struct tag_gun_info {
    char desc[64];
    char model_key[64];   // must occur inside the device's ID_MODEL
    char model_name[64];  // the device's ID_MODEL must occur inside it
    uint32_t vid;
    uint32_t pid;
};

constexpr int kGunCount = 5;
extern const tag_gun_info TaviGuns[kGunCount];

// The first row whose ids equal vid and pid and whose model_key occurs in
// model, or -1. A null model matches nothing.
int FindGunRow(uint32_t vid, uint32_t pid, const char* model);

// The supported-scanner test on udev's property texts: the row found for the
// ids and model, provided the model also occurs inside that row's model_name;
// otherwise -1. A text that is absent, or an id that is not one, fails it.
int MatchSupportedGun(const char* vendor_id, const char* model_id, const char* model);

// Each vendor id of the table once, as udev writes ID_VENDOR_ID, each after a
// comma: ",1a86,067b".
std::string GunVendorList();

// ID_VENDOR_ID or ID_MODEL_ID as udev writes it: 1 to 8 hexadecimal digits
// and nothing else; false for any other text, or none.
bool ParseHexId(const char* text, uint32_t& id);
