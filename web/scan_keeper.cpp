#include "scan_keeper.h"

#include <algorithm>

void ScanKeeper::Keep(Scan scan) {
    m_scans.push_back(std::move(scan));
}

void ScanKeeper::Forgotten(const Scan& scan) {
    auto found = m_forgotten.find(scan.source);
    if (found == m_forgotten.end() && m_forgotten.size() == kMaxSources) {
        // Too many names to track one by one: the oldest's last scan counts
        // for every source from now on.
        auto oldest =
            std::min_element(m_forgotten.begin(), m_forgotten.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        m_any_forgotten = std::max(m_any_forgotten, oldest->second);
        m_forgotten.erase(oldest);
    }
    // Scans are forgotten out of order (a payment code's time is shorter):
    // what counts is the last one forgotten.
    uint64_t& last = m_forgotten[scan.source];
    last = std::max(last, scan.seq);
}

std::vector<std::string> ScanKeeper::Forget(Clock::time_point now) {
    std::vector<std::string> unreached;
    // Any scan may end before those kept before it (its time may be
    // shorter), so each is looked at.
    for (size_t i = 0; i < m_scans.size();) {
        const Scan& scan = m_scans[i];
        if (scan.until > now && m_scans.size() - i <= kMaxKept) {
            ++i;
            continue;
        }
        if (!scan.reached) {
            unreached.push_back(scan.source);
        }
        Forgotten(scan);
        m_scans.erase(m_scans.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return unreached;
}

ScanKeeper::Clock::time_point ScanKeeper::NextEnd() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Scan& scan : m_scans) {
        next = std::min(next, scan.until);
    }
    return next;
}

bool ScanKeeper::KeptAfter(uint64_t seq, const std::vector<std::string>& sources) const {
    if (m_any_forgotten > seq) {
        return false;
    }
    for (const auto& forgotten : m_forgotten) {
        const bool wanted = sources.empty() || std::find(sources.begin(), sources.end(),
                                                         forgotten.first) != sources.end();
        if (wanted && forgotten.second > seq) {
            return false;
        }
    }
    return true;
}
