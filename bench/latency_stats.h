#pragma once

#include <algorithm>
#include <vector>

struct LatencyStats {
    double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

inline LatencyStats Summarise(std::vector<double> ms) {
    LatencyStats stats;
    if (ms.empty()) {
        return stats;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms[static_cast<size_t>(q * static_cast<double>(ms.size() - 1))];
    };
    stats.p50 = at(0.50);
    stats.p90 = at(0.90);
    stats.p99 = at(0.99);
    stats.max = ms.back();
    return stats;
}
