#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "key_text.h"
#include "scan_source.h"

// A keyboard-mode scanner: grabbed, so that it types into nothing else, and
// its key presses typed out as its layout says, a scan per Enter or per quiet
// time without a key.
class KeyboardSource : public ScanSource {
  public:
    KeyboardSource(const tag_dev_online_node& node, const SourceSettings& settings,
                   SourceHooks hooks);
    ~KeyboardSource() override;

    int Open() override;
    bool ReadScans() override;

  private:
    friend struct KeyEventsHarness;  // feeds events without an input device

    // One input event.
    void Take(uint16_t type, uint16_t code, int32_t value);
    // The scan is over (its Enter, or the quiet time): delivered as typed (not
    // too long, not empty), with a line for the keys that typed nothing; or
    // dropped, where events were lost during it.
    void EndScan();
    // The keyboard went: the scan under way, if any, is dropped and said.
    void DropCut();

    std::unique_ptr<KeyText> m_keys;
    std::string m_events;  // the bytes of an input event not yet whole
    std::string m_text;    // the scan so far
    int m_unmapped = 0;    // its keys that typed nothing
    // The kernel lost events (SYN_DROPPED): the events up to its next report
    // are partial, and the scan under way is cut: everything up to its end
    // is dropped.
    bool m_resync = false;
    bool m_dropping = false;
    std::chrono::steady_clock::time_point m_last_key;
};
