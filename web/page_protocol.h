#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a page may ask of a daemon that serves every scanner at once, and
// the frames that tell it of the scanners. Every frame is a JSON object in
// cJSON's formatted print, as the scan message is.

// A scanner served, as pages see it.
struct ServedScanner {
    std::string name;
    std::string kind;  // "serial", "hid-pos" or "keyboard"
    std::string device;
    uint32_t vid = 0;
    uint32_t pid = 0;
    // What it can be told: signals ("good", "error", "not-on-file"), and
    // whether it can be told to stop and start reading.
    std::vector<std::string> signals;
    bool can_disable = false;
    bool auto_disable = false;  // disabled after each scan delivered
};

// A page's message.
struct PageRequest {
    enum class Kind {
        kRegister,   // anything else: registers the page (its list kept)
        kSubscribe,  // {"type":"SUBSCRIBE","Sources":[...]}: the scanners it wants
        kScanners,   // {"type":"SCANNERS"}: which are open
        kRefused,    // a request that can't be taken: `error` says why
        // {"type":"SIGNAL","Source":..,"Signal":"good"|"error"|"not-on-file"}
        kSignal,
        // {"type":"DISABLE"|"ENABLE","Sources":[...]}: reading off or on
        kDisable,
        kEnable,
    };
    Kind kind = Kind::kRegister;
    // The scanners it names: its list (empty: every scanner), the ones to
    // disable or enable (empty: every one of the page's list), or the one to
    // signal.
    std::vector<std::string> sources;
    std::string signal;
    std::string error;
    // SUBSCRIBE's "After": the Id of the last scan the page received, as
    // sent, and read: its run and its number in that run.
    std::string after;  // empty: none
    std::string after_run;
    uint64_t after_seq = 0;
    // SUBSCRIBE's "Token": the page's signed token (empty: none), and
    // whether the key was there but not a string.
    std::string token;
    bool token_not_text = false;
};

// A page may name this many sources, each this long at most.
constexpr size_t kMaxSources = 16;
constexpr size_t kMaxSourceBytes = 64;

// Reads what a page sent: `text` holds the first `stored` bytes of a
// message of `size` bytes.
PageRequest ReadPageRequest(const char* text, size_t stored, size_t size);

// {"type":"SCANNER","event":"added"|"removed","Source":..,"Kind":..,"Device":..}, and
// what it can be told where it is added: ..,"Signals":["good", ...],"Disable":true
std::string ScannerEventMessage(const char* event, const ServedScanner& scanner);
// {"type":"SCANNERS","Scanners":[{"Source":..,"Kind":..,"Device":..,"VendorId":"0c2e",
// "ProductId":"0b87","Signals":[..],"Disable":false}, ...]}, in the order given (the
// server's: by name)
std::string ScannersMessage(const std::vector<ServedScanner>& scanners);
// {"type":"ERROR","erro":-3,"Data":why}
std::string RefusalMessage(const std::string& why);
// {"type":"GAP","erro":-4,"After":after,"Data":why}: scans after `after`
// may never reach the page.
std::string GapMessage(const std::string& after, const std::string& why);

// {"type":"ERROR","erro":-5,"Data":why}: the page is not served without a
// valid token.
std::string TokenRefusalMessage(const std::string& why);

// A page's message fit for a log line: a Token's value, and anything else
// that looks like a signed token, stand as <token>.
std::string WithoutTokens(const std::string& text);

// A scan's Id: "<run>:<seq>", run 16 lowercase hexadecimal digits.
std::string ScanId(const std::string& run, uint64_t seq);
// Reads an Id: false when the text is not of that form.
bool ReadScanId(const std::string& id, std::string& run, uint64_t& seq);
