#pragma once

#include <libudev.h>

#include <cstdint>
#include <string>

#include "dev_node.h"
#include "scanner_options.h"

// The one place that decides which devices are scanners, of which kind, and
// what each is named. Every property and attribute it reads comes from the
// device, through udev and the kernel, and is taken as untrusted: absent,
// empty, malformed, overlong or not text, it makes no scanner (and never
// stops the daemon).
//  - a tty of the built-in table, of a maker's USB-serial mode (any tty of
//    the vendors 0c2e, 05e0 or 05f9 that the cdc_acm driver serves), or of
//    a <Scanners> entry (by its ids, or by its node with <Device>);
//  - a hidraw node whose report descriptor declares a HID point-of-sale
//    barcode scanner (an application collection on usage page 0x8C);
//  - an input device that udev marks as a keyboard and <KeyboardScanners>
//    lists (never any other keyboard).
// Its name is the <Name> of the first entry that matches it, or else
// "vid:pid:serial" (udev's ID_SERIAL_SHORT), "vid:pid@path" (ID_PATH), or
// its node. Fills `node`, all but its action.
bool MatchScanner(udev_device* device, const ScannerOptions& options, tag_dev_online_node& node);

// A keyboard of a scanner maker's that no entry lists: most likely a scanner
// left in keyboard mode. Fills `node` with what is known of it.
bool UnlistedMakersKeyboard(udev_device* device, const ScannerOptions& options,
                            tag_dev_online_node& node);

// The vendor ids, as udev writes ID_VENDOR_ID, of the ttys that may be
// scanners beyond the built-in table.
std::string ExtraSerialVendors(const ScannerOptions& options);

// The report descriptor of the HID device that a hidraw node belongs to,
// read from sysfs; empty when there is none (or it is larger than a HID
// descriptor can be).
std::string ReportDescriptor(udev_device* hidraw);
