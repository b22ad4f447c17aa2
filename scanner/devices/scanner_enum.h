#pragma once

#include <string>
#include <vector>

#include "dev_node.h"
#include "scanner_options.h"
#include "udev_handles.h"

// The scanners that udev lists now, each as a node with the action "add", in
// udev's order (each printed "DEVNAME(/dev):<node>"). The count of `nodes`
// afterwards, or -1 when no udev context can be made ("Can't create udev").

// Serial scanners: the ttys of the table's vendors (`vendors`, each
// preceded by a comma), of the makers' and the configured ones, and the ttys
// that entries name by their node.
int EnumSerialScanners(const std::string& vendors, const ScannerOptions& options,
                       std::vector<tag_dev_online_node>& nodes);
// Every kind: serial scanners first, then HID point-of-sale scanners, then
// listed keyboards. With `say_unlisted`, SayIfUnlistedScanner for the rest.
int EnumScanners(const std::string& vendors, const ScannerOptions& options,
                 std::vector<tag_dev_online_node>& nodes, bool say_unlisted = false);

// A udev monitor, receiving, on the devices that may be scanners (ttys,
// hidraw and input devices); null after its line ("create udev_monitor
// failure", "enable monitor failure") when it can't be made.
UdevMonitor MakeScannerMonitor(udev* context);

// A scanner in keyboard mode that no entry lists gets a line on standard
// error, once per arrival: how to list it, or to switch its mode.
void SayIfUnlistedScanner(udev_device* device, const ScannerOptions& options);
