#pragma once

#include <cstdio>

// The daemon's code prints progress lines on standard output; libFuzzer
// reports on standard error. Quiet the former so the runs stay fast.
inline void QuietStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("/dev/null");
    }
}
