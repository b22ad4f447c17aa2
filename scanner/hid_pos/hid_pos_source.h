#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "hid_pos_layout.h"
#include "scan_source.h"

// A HID point-of-sale scanner: its hidraw node's input reports, laid out as
// its report descriptor says, become one scan per barcode, however many
// reports the barcode takes.
class HidPosSource : public ScanSource {
  public:
    // A barcode whose last part has not come this long after its last
    // report is dropped: the scanner sent no more of it.
    static constexpr std::chrono::milliseconds kUnfinishedAfter{100};

    HidPosSource(const tag_dev_online_node& node, const SourceSettings& settings,
                 SourceHooks hooks);

    int Open() override;
    bool ReadScans() override;
    // Those that its descriptor's output reports carry: the beeps, and
    // Prevent Read of Barcodes for both disable and enable.
    unsigned Orders() const override;
    bool Carry(ScannerOrder order) override;

  private:
    friend struct HidPosHarness;  // feeds reports without a hidraw node

    // One report; the barcode goes on once it is complete.
    void Take(const uint8_t* report, size_t size);
    // The barcode under way will not be finished: dropped, with a line.
    void DropUnfinished(const char* why);
    // The scanner went in the middle of a barcode.
    void DropCut();

    HidPosLayout m_layout;
    bool m_writable = false;   // the node is open for output reports too
    bool m_prevent = false;    // reading is held (disabled)
    bool m_under_way = false;  // a barcode's last part is still to come
    std::string m_barcode;     // its parts so far
    std::string m_symbology;
    std::chrono::steady_clock::time_point m_last_part;
    bool m_said_short = false;
};
