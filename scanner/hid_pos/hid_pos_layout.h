#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Where a HID point-of-sale barcode scanner puts its scans, read from its
// report descriptor (the raw bytes of the hidraw node's sysfs
// report_descriptor), and the scans taken out of its input reports.
class HidPosLayout {
  public:
    // False when the descriptor declares no application collection on usage
    // page 0x8C (Bar Code Scanner), or when no input report in it carries
    // Decoded Data, or when it is malformed (a truncated item, a report id of
    // 0 or above 255, a report longer than hidraw delivers, a Pop without a
    // Push, deeper nesting than kept here). Any byte string is safe input.
    // A failed parse leaves a layout that has no reports.
    bool Parse(const uint8_t* descriptor, size_t size);

    // The size in bytes (its id byte included) of the input report that
    // begins with `first_byte` (the id, when the device numbers its reports),
    // or 0 when none does. Splits a buffer holding several reports.
    size_t InputReportSize(uint8_t first_byte) const;

    enum class Report { kOther, kMore, kLast };
    struct Decoded {
        // kOther: not a scanned-data report; nothing appended. kMore: part
        // of a barcode whose next part follows in the next report (Decode
        // Data Continued set). kLast: the barcode is complete.
        Report report = Report::kOther;
        // The report was shorter than its layout (a device may send less
        // than it declares): it was read as if padded with zeros.
        bool padded = false;
        // The three Symbology Identifier bytes ("]E0"), where the layout has
        // them and they are printable; else empty.
        std::string symbology;
    };
    // One input report as read: appends its valid data bytes to `data`. The
    // caller bounds how much of a barcode it keeps.
    Decoded Decode(const uint8_t* report, size_t size, std::string& data) const;

    // What the host may set in the scanner's output reports: dynamic flags
    // (asserted by a 1) on the bar code scanner page. A beep sounds as its
    // flag is asserted; Prevent Read of Barcodes holds while it is.
    enum class Control { kGoodReadBeep, kErrorBeep, kNotOnFileBeep, kPreventRead };
    static constexpr int kControls = 4;
    // Whether one of its output reports carries the control.
    bool Has(Control control) const;
    // The output report that carries `control`, as written to the hidraw
    // node (its id first where reports are numbered): a beep's flag
    // asserted (or, with `asserted` false, clear again), Prevent Read of
    // Barcodes asserted where `prevent` (in that report, whichever control it
    // is written for), every other field 0. Empty where no report carries it.
    std::string OutputReport(Control control, bool prevent, bool asserted = true) const;

  private:
    friend struct HidPosHarness;  // checks that every field lies inside its report

    // A field of an input report: its first bit, counted from the least
    // significant bit of the byte after the report id.
    struct Field {
        uint32_t offset = 0;
        uint32_t bits = 0;  // 0: the report has no such field
    };
    struct InputReport {
        bool declared = false;
        uint32_t bits = 0;   // the report's length, its id byte aside
        Field data;          // Decoded Data: whole bytes, on a byte boundary
        Field byte_count;    // how many bytes of `data` are valid (at most 32 bits)
        Field continued;     // Decode Data Continued (at most 32 bits)
        Field symbology[3];  // Symbology Identifier 1 to 3 (8 bits each)
    };

    struct OutputFields {
        bool declared = false;
        uint32_t bits = 0;  // the report's length, its id byte aside
        std::array<Field, kControls> controls;
    };

    bool ParseItems(const uint8_t* descriptor, size_t size);
    const InputReport& InputFor(uint8_t first_byte) const {
        return m_inputs[m_numbered ? first_byte : 0];
    }

    bool m_numbered = false;  // each report begins with its id byte
    // By report id; an unnumbered device's one input report is at 0.
    std::array<InputReport, 256> m_inputs{};
    std::array<OutputFields, 256> m_outputs{};
};
