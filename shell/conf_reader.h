#pragma once

#include <string>
#include <vector>

#include "network_policy.h"
#include "scanner_options.h"
#include "tty_attr.h"

// Where the daemon's one configuration file lives. There is no other place and no
// way to name another file.
constexpr const char kConfPath[] = "/opt/apps/corvane/quillet/conf/gunconf.xml";

// Stores the defaults (port "9010", encoding 2, 115200 8N1) and then overwrites
// them with what the XML file at `path` holds. Reading stops at the first element
// that is missing; values read before it keep their file values. When all seven
// values came from the file, prints the configuration summary line.
// A missing, unreadable or malformed file is not an error. Always returns 0.
//
// The optional elements, anywhere in the root, are read whenever the file
// parses, wherever reading of the values above stopped: the network
// restrictions BindAddress (text kept as written, checked when the server
// starts), AllowedOrigins with its Origin children and Tls with its
// Certificate and PrivateKey (wss:// only), so that a restriction that was
// written down is never dropped in silence (absent or empty: no restriction);
// LogScanData (0: scans are not written to the log); and the scanners beyond
// the built-in table, Scanners (serial) and KeyboardScanners, each a list of
// Scanner elements with a VendorId and optionally a ProductId (four
// hexadecimal digits each), a Model and (keyboards) a Layout. An
// element's text is its text wherever comments and CDATA stand around it.
// A file that can't be used but whose bytes name a restriction (BindAddress,
// AllowedOrigins, Tls) refuses the listener (policy.refusal), and standard
// error says why.
//
// Problems (a file that can't be used, an element not in force, an entry
// skipped, a value that can't be one) go to standard error, one line each,
// unless a check asks for them in `checked`, which then says too which
// settings came from the file; a check prints no summary line.
struct ConfReport {
    std::vector<std::string> from_file;  // "WebsocketPort", "ttyAttr/parity", "BindAddress"...
    std::vector<std::string> problems;
    std::string unusable;  // why a file that is there could not be read, where it names nothing
};
int ReadConfFile(const char* path, std::string& port, int& encoding, TtyAttr& attr,
                 NetworkPolicy& policy, ScannerOptions& scanners, ConfReport* checked = nullptr);
