#pragma once

#include <libudev.h>

#include <string>

#include "dev_node.h"
#include "scanner_options.h"

// Whether a udev device is a scanner that the daemon serves, and which:
//  - a tty of the built-in table, of a maker's USB-serial mode (any tty of
//    the vendors 0c2e, 05e0 or 05f9 that the cdc_acm driver serves), or of
//    the configured <Scanners>;
//  - a hidraw node whose report descriptor declares a HID point-of-sale
//    barcode scanner (an application collection on usage page 0x8C);
//  - an input device that udev marks as a keyboard and <KeyboardScanners>
//    lists (never any other keyboard).
// Fills `node`, all but its action.
bool MatchScanner(udev_device* device, const ScannerOptions& options, tag_dev_online_node& node);

// The vendor ids, as udev writes ID_VENDOR_ID, of the ttys that may be
// scanners beyond the built-in table.
std::string ExtraSerialVendors(const ScannerOptions& options);

// The report descriptor of the HID device that a hidraw node belongs to,
// read from sysfs; empty when there is none.
std::string ReportDescriptor(udev_device* hidraw);
