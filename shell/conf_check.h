#pragma once

// `Tavitty --check-config [FILE]`: reads the configuration file as the
// daemon would and prints each setting in force, with its value and whether
// the file gave it, then each problem the daemon would report at start (a
// file that can't be used, an element not in force, an entry skipped, a
// listener ruled out, a key file it can't use). Opens no device and no port;
// needs no root. 0 when the daemon would start as written, 1 when not.
int CheckConfig(const char* path);
