#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The scans kept for pages that come back (a reload, a dropped connection),
// in memory only: each for a while after it was read, and the last kMaxKept
// at most whatever the time. It knows, for each scanner, the last scan it
// has forgotten, so that it can tell whether every scan after a given one is
// still there. Not thread-safe: its owner guards it.
class ScanKeeper {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxKept = 1024;

    struct Scan {
        uint64_t seq = 0;  // its number in this run: 1, 2, 3...
        std::string source;
        std::shared_ptr<const std::string> message;  // the frame's bytes
        bool utf8 = true;                            // a text frame, else binary
        Clock::time_point until;                     // kept until then
        bool reached = false;                        // sent to a page
    };

    // Keeps the scan (seq above every one kept before); one whose time is
    // up already is forgotten at the next Forget.
    void Keep(Scan scan);
    // Forgets the scans whose time is up at `now`, and the oldest beyond
    // kMaxKept; returns the sources of those that reached no page, in order.
    std::vector<std::string> Forget(Clock::time_point now);
    // When the next scan's time is up; max() when none is kept.
    Clock::time_point NextEnd() const;

    // Whether every scan after `seq` of the given sources (every source:
    // empty) is still kept.
    bool KeptAfter(uint64_t seq, const std::vector<std::string>& sources) const;
    // The scans kept, oldest first.
    std::deque<Scan>& scans() { return m_scans; }

  private:
    void Forgotten(const Scan& scan);

    std::deque<Scan> m_scans;
    // The last scan forgotten of each source, for as many sources as are
    // kept track of; those beyond count in m_any_forgotten.
    std::unordered_map<std::string, uint64_t> m_forgotten;
    uint64_t m_any_forgotten = 0;
    static constexpr size_t kMaxSources = 256;
};
