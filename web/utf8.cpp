#include "utf8.h"

bool IsUtf8(const char* bytes, size_t size) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* const end = at + size;
    while (at < end) {
        const unsigned char lead = *at++;
        if (lead < 0x80) {
            continue;
        }
        // How many continuation bytes follow, and the range the first of them
        // must lie in (which rules out overlong forms, surrogates and code
        // points above U+10FFFF).
        size_t more = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (lead >= 0xc2 && lead <= 0xdf) {
            more = 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            more = 2;
            low = lead == 0xe0 ? 0xa0 : 0x80;
            high = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            more = 3;
            low = lead == 0xf0 ? 0x90 : 0x80;
            high = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - at) < more || *at < low || *at > high) {
            return false;
        }
        for (++at; --more > 0; ++at) {
            if (*at < 0x80 || *at > 0xbf) {
                return false;
            }
        }
    }
    return true;
}
