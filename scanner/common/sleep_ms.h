#pragma once

#include <ctime>

inline void SleepMs(long ms) {
    timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}
