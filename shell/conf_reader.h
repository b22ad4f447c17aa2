#pragma once

#include <string>

#include "network_policy.h"
#include "tty_attr.h"

// Where the daemon's one configuration file lives. There is no other place and no
// way to name another file.
constexpr const char kConfPath[] = "/opt/apps/corvane/quillet/conf/gunconf.xml";

// Stores the defaults (port "9010", encoding 2, 115200 8N1) and then overwrites
// them with what the XML file at `path` holds. Reading stops at the first element
// that is missing; values read before it keep their file values. When all seven
// values came from the file, prints the configuration summary line.
// A missing, unreadable or malformed file is not an error. Always returns 0.
int ReadConfFile(const char* path, std::string& port, int& encoding, TtyAttr& attr);

// The same, and also the optional network restrictions: BindAddress (text kept
// as written, checked when the server starts) and AllowedOrigins with its
// Origin children. They are read whenever the file parses, wherever reading of
// the values above stopped, so that a restriction that was written down is
// never dropped in silence. Absent or empty: no restriction.
int ReadConfFile(const char* path, std::string& port, int& encoding, TtyAttr& attr,
                 NetworkPolicy& policy);
