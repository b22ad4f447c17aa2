// Scan framing and conversion, one chunk at a time as the read loops see
// them: the input is an encoding selector and a list of reads (chunks of
// bytes, quiet gaps, read errors); every complete scan is checked, dropped
// or converted and handed on like the loops do. Nothing may read or write
// past an array, no scan holds a terminator but at its end, a delivered text
// is at most three bytes for each byte of its scan, and its scan message is a
// JSON object whose "Data" reads back as the text.
#include <cJSON.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "quiet_time.h"
#include "serial_framing.h"
#include "serial_source.h"
#include "webserver.h"

namespace {

void CheckScanMessage(CWebServer& server, const std::string& text) {
    cJSON* parsed = cJSON_Parse(server.enJsonFormat(0, text.size(), text).c_str());
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(parsed, "Data");
    if (!cJSON_IsString(data) || text != data->valuestring) {
        std::abort();
    }
    cJSON_Delete(parsed);
}

}  // namespace

struct ScanFramingHarness {
    CWebServer server;
    // Every read dumped, as the daemon does by default (the lines go to the
    // closed standard output): the dump held back while a scan may be a
    // payment code is framed too.
    SerialFraming framing{{-1, 8, 'N', 1},
                          true,
                          false,
                          [this](ScanBuffer& scan, bool failed) { Complete(scan, failed); },
                          [] { return true; }};

    // A complete scan, dropped or converted as the read loops do.
    void Complete(ScanBuffer& scan, bool failed) {
        if (failed || scan.Overflowed()) {
            return;  // a cut scan must never be delivered
        }
        // A CR ends its scan wherever it stands, but as the first byte.
        for (size_t i = 1; i + 1 < scan.size(); ++i) {
            if (scan.data()[i] == '\r' && (i + 2 != scan.size() || scan.data()[i + 1] != '\n')) {
                std::abort();
            }
        }
        std::string text;
        if (!ConvertScan(encoding, scan, text)) {
            return;
        }
        if (text.size() > 3 * scan.size()) {
            std::abort();
        }
        CheckScanMessage(server, text);
    }

    void Read(ssize_t got, const char* chunk) {
        if (got <= 0 && !framing.m_have_data) {
            return;  // the device-check path, not framing
        }
        if (got == 0) {
            framing.m_last_chunk -= kQuietTime;  // as if the quiet time had passed
        }
        framing.Take(got, chunk);
    }

    int encoding = 2;
};

namespace {
int g_slave = -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The port's termios calls need a terminal: a pty whose other end stays
    // open and silent.
    int master = -1;
    if (openpty(&master, &g_slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    return 0;
}

// Input: one selector byte, then reads. A read's first byte b says what it
// is: b % 16 == 14 a quiet gap, b % 16 == 15 a failed read (each costs the
// loop's 1 ms pause, so only the first four count), otherwise a chunk of
// 1 + 2 * b bytes (at most the loops' 512) taken from what follows.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    ScanFramingHarness harness;
    harness.framing.SetFd(g_slave);
    harness.encoding = data[0] % 8;
    size_t at = 1;
    int failures = 0;
    while (at < size) {
        const uint8_t op = data[at++];
        if (op % 16 == 14) {
            harness.Read(0, nullptr);
        } else if (op % 16 == 15) {
            if (++failures <= 4) {
                harness.Read(-1, nullptr);
            }
        } else {
            size_t len = 1 + 2 * static_cast<size_t>(op);
            len = len < size - at ? len : size - at;
            if (len == 0) {
                break;
            }
            // Exactly as long as the read, so that reading past it shows.
            const std::unique_ptr<char[]> chunk(new char[len]);
            std::memcpy(chunk.get(), data + at, len);
            at += len;
            harness.Read(static_cast<ssize_t>(len), chunk.get());
        }
    }
    harness.Read(0, nullptr);  // the port goes quiet at the end
    return 0;
}
