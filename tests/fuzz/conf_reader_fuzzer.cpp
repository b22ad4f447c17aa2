// The configuration reader on arbitrary file contents: whatever the bytes,
// it returns 0 with sane values and never crashes.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "conf_reader.h"

namespace {
int g_file = -1;
char g_path[64];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = memfd_create("gunconf.xml", MFD_CLOEXEC);
    if (g_file < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    std::snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    std::string port;
    int encoding = -1;
    TtyAttr attr{};
    NetworkPolicy policy;
    ScannerOptions scanners;
    const auto& origins = policy.allowed_origins;
    if (ReadConfFile(g_path, port, encoding, attr, policy, scanners) != 0 || encoding < 0 ||
        encoding > 6 || std::count(origins.begin(), origins.end(), "") != 0) {
        std::abort();
    }
    return 0;
}
