#include "instance_guard.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

bool IsProceRunning() {
    FILE* ps = popen("ps -e | grep -c Tavitty", "r");
    if (ps == nullptr) {
        return false;
    }
    char count[8 + 1] = {};  // at most 8 bytes of output, always terminated
    const size_t got = std::fread(count, 1, 8, ps);
    pclose(ps);
    if (got == 0) {
        return false;
    }
    return static_cast<int32_t>(std::strtol(count, nullptr, 10)) > 1;
}
