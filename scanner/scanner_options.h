#pragma once

// What the configuration file says of the scanners beside the serial settings.
struct ScannerOptions {
    // Each scan's text and hex dump go to standard output, and so to the
    // journal; false: only its size.
    bool log_scan_data = true;
};
