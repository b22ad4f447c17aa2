#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the daemon counts for a fleet's monitoring, one registry for the
// process, and its text in Prometheus's exposition format (0.0.4). Every
// count is an atomic; a scanner's counts are found under a lock that is only
// ever held to look them up or to copy the list of them, never while a scan
// is read or a scrape is written. A scrape reads the counts as they are, and
// nothing in them is a scan's content.
class Metrics {
  public:
    // Why a scan was dropped; as the scanner layer says, in its order.
    static constexpr int kDropReasons = 6;
    static const char* const kDropNames[kDropReasons];

    // One scanner's counts: by its name (the device node when scanners are
    // served one a run), kind and device node. A scanner plugged in again
    // under the same name and node counts on in the same slot.
    struct Scanner {
        const std::string name;
        const std::string kind;
        const std::string device;
        uint64_t last_use = 0;  // guarded by the registry's lock
        std::atomic<int> open{0};
        std::atomic<uint64_t> scans{0};
        std::atomic<uint64_t> bytes{0};
        std::atomic<uint64_t> open_failures{0};
        std::atomic<uint64_t> open_retries{0};
        std::array<std::atomic<uint64_t>, kDropReasons> dropped{};
        std::atomic<uint64_t> unreached{0};      // kept, and sent to no page
        std::atomic<uint64_t> orders_failed{0};  // signals and orders not written
    };

    static Metrics& Get();
    Metrics();

    // The scanner's counts, made at its first use. Those of kMaxScanners
    // scanners are kept: to make room, the counts of the closed scanner
    // that was looked up longest ago are forgotten (its series ends). Null
    // only while kMaxScanners scanners are open.
    std::shared_ptr<Scanner> ScannerSlot(const std::string& name, const std::string& kind,
                                         const std::string& device);
    // The counts of the scanner of that name looked up last; null where none
    // is kept.
    std::shared_ptr<Scanner> ScannerNamed(const std::string& name);

    // Pages refused for their token, by reason ("missing", "malformed",
    // "signature", "expired", "not_yet_valid", "audience", "sources").
    static constexpr int kTokenRefusals = 7;
    static const char* const kTokenRefusalNames[kTokenRefusals];
    std::array<std::atomic<uint64_t>, kTokenRefusals> tokens_refused{};
    void CountTokenRefusal(const std::string& reason);

    // The web side.
    std::atomic<int64_t> pages_connected{0};
    std::atomic<int64_t> pages_registered{0};
    std::atomic<uint64_t> pages_refused_by_origin{0};
    std::atomic<uint64_t> pages_dropped_slow{0};  // they stopped reading
    std::atomic<uint64_t> pages_dropped_ping{0};  // they stopped answering pings
    std::atomic<uint64_t> messages_sent{0};
    std::atomic<int> listener_up{0};
    std::atomic<uint64_t> listener_failures{0};
    // The TLS certificate's end of validity, seconds since the epoch; 0
    // without TLS.
    std::atomic<int64_t> tls_not_after{0};

    // With <PageTokens>: the family of token refusals is shown.
    std::atomic<bool> page_tokens{false};

    // The exposition text of everything counted.
    std::string Exposition() const;

    static constexpr size_t kMaxScanners = 64;

  private:
    const int64_t m_start;  // seconds since the epoch
    mutable std::mutex m_registry;
    std::vector<std::shared_ptr<Scanner>> m_scanners;  // in the order made
    uint64_t m_uses = 0;                               // lookups so far
};
