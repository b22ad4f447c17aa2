#include "hex_dump.h"

#include <cstdio>

void PrintHexChunk(const char* chunk, size_t len, bool leading_blanks) {
    static const char kDigits[] = "0123456789abcdef";
    char line[512 * 5 + 1];
    size_t at = 0;
    for (size_t i = 0; i < len && at + 6 <= sizeof line; ++i) {
        const unsigned char byte = static_cast<unsigned char>(chunk[i]);
        if (leading_blanks) {
            line[at++] = ' ';
            line[at++] = ' ';
        }
        line[at++] = kDigits[byte >> 4];
        line[at++] = kDigits[byte & 0xf];
        if (!leading_blanks) {
            line[at++] = ' ';
            line[at++] = ' ';
            line[at++] = ' ';
        }
    }
    line[at++] = '\n';
    std::fwrite(line, 1, at, stdout);
}
