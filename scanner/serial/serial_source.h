#pragma once

#include "scan_source.h"
#include "serial_framing.h"

// A serial scanner: its tty opened with the configured line, each scan framed
// by its terminator or by the quiet time, converted from its character set.
class SerialSource : public ScanSource {
  public:
    SerialSource(const tag_dev_online_node& node, const SourceSettings& settings,
                 SourceHooks hooks);

    int Open() override;
    bool ReadScans() override;
    // The bytes that its entry gives for each order.
    unsigned Orders() const override;
    bool Carry(ScannerOrder order) override;

  private:
    // A complete scan: dropped if a read failed or it outgrew its array,
    // else converted and delivered.
    void OnComplete(ScanBuffer& scan, bool failed);

    SerialFraming m_framing;
};
