#include "conf_reader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

namespace {

// Limits far beyond any real configuration file, which is a few hundred
// bytes: larger or more deeply built files are not read at all.
constexpr size_t kMaxFileBytes = 1 << 20;
// TinyXML parses nested elements by recursion, so a file of a few hundred
// thousand nested tags overflows the stack. Every opening tag counts, which
// bounds the depth whatever the file's shape.
constexpr size_t kMaxOpeningTags = 4096;
// TinyXML's UTF-8 stepping can jump up to 4 bytes ahead of a lead byte, past
// the terminating zero of a text that ends inside a character; zeros after
// the end keep every such step inside the buffer.
constexpr size_t kEndPadding = 8;

size_t CountOpeningTags(const std::string& text) {
    size_t tags = 0;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        tags += next != '/' && next != '?' && next != '!';
    }
    return tags;
}

// The file's bytes with line ends made LF, as TinyXML's own loader does.
std::string NormalizedLineEnds(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() + kEndPadding);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r') {
            text += bytes[i];
        } else {
            text += '\n';
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++i;
            }
        }
    }
    return text;
}

// Words that name a restriction of who may reach the daemon: a file that
// holds one of them but can't be used must not be taken for one without.
const char* const kRestrictionWords[] = {"BindAddress", "AllowedOrigins", "Tls", "PageTokens"};
constexpr size_t kLongestRestrictionWord = 14;

const char* RestrictionNamedIn(const std::string& bytes) {
    for (const char* word : kRestrictionWords) {
        if (bytes.find(word) != std::string::npos) {
            return word;
        }
    }
    return nullptr;
}

// The file's first kMaxFileBytes + 1 bytes, and the first restriction word
// that any of its bytes name, to its end. False on a read error.
bool ReadBytes(int fd, std::string& bytes, const char*& restriction) {
    char block[1 << 16];
    std::string window;  // a block and the end of the one before
    for (;;) {
        const ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        if (bytes.size() <= kMaxFileBytes) {
            bytes.append(block,
                         std::min(kMaxFileBytes + 1 - bytes.size(), static_cast<size_t>(got)));
        }
        window.erase(0, window.size() - std::min(window.size(), kLongestRestrictionWord - 1));
        window.append(block, static_cast<size_t>(got));
        if (restriction == nullptr) {
            restriction = RestrictionNamedIn(window);
        }
    }
}

// Parses the file at `path` into `doc`. Only a regular file is read: a
// directory has no contents to parse, and a FIFO would hold start-up for
// ever. True when it parsed; otherwise `unusable` says why a file that is
// there could not be used (empty for one that is not there, or not a file),
// and `restriction` is the restriction word its bytes name, if any.
bool LoadRegularFile(const char* path, TiXmlDocument& doc, std::string& unusable,
                     const char*& restriction, std::string& opened) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // Not there: the defaults, as always. There but not to be opened:
        // said only where a check asks.
        if (errno != ENOENT) {
            opened = std::string("it could not be opened (") + std::strerror(errno) + ")";
        }
        return false;
    }
    struct stat st;
    std::string bytes;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool read_whole = regular && ReadBytes(fd, bytes, restriction);
    close(fd);
    if (!regular) {
        return false;
    }
    if (!read_whole) {
        unusable = "it could not be read";
    } else if (bytes.size() > kMaxFileBytes) {
        unusable = "it is larger than 1 MiB";
    } else if (CountOpeningTags(bytes) > kMaxOpeningTags) {
        unusable = "it has more than 4096 opening tags";
    } else {
        std::string text = NormalizedLineEnds(bytes);
        text.append(kEndPadding, '\0');
        doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        if (!doc.Error() && doc.FirstChildElement() != nullptr) {
            return true;
        }
        unusable = doc.Error() ? "it is not well-formed XML (line " +
                                     std::to_string(doc.ErrorRow()) + ": " + doc.ErrorDesc() + ")"
                               : "it has no root element";
    }
    return false;
}

// Decimal number as strtol reads it (leading blanks and a sign accepted, the rest
// of the text ignored, 0 without leading digits), kept to its low 32 bits.
int32_t ToInt32(const char* text) {
    const unsigned long value = static_cast<unsigned long>(std::strtol(text, nullptr, 10));
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Encoding selectors 0 to 6 exist; anything else (negative values included)
// falls back to GB18030.
int EncodingFrom(const char* text) {
    const int32_t value = ToInt32(text);
    return static_cast<uint32_t>(value) <= 6 ? value : 2;
}

// Reads the seven specified values from the root element; the stop rule and
// the summary line are theirs alone.
void ReadSettings(const TiXmlElement* root, std::string& port, int& encoding, TtyAttr& attr,
                  ConfReport& report, bool summary) {
    // An element that is present but holds no text (empty, blank, or starting
    // with a comment or a child element) keeps its default and reading goes on:
    // one empty element must not throw away the valid settings after it. Such a
    // value did not come from the file, so the summary line is left out.
    bool all_from_file = true;
    auto text_of = [&all_from_file, &report](const TiXmlElement* element, const char* setting) {
        const char* text = element->GetText();
        if (text == nullptr) {
            all_from_file = false;
        } else {
            report.from_file.emplace_back(setting);
        }
        return text;
    };

    const TiXmlElement* element = root->FirstChildElement("WebsocketPort");
    if (element == nullptr) {
        return;
    }
    if (const char* text = text_of(element, "WebsocketPort")) {
        port = text;
    }

    element = root->FirstChildElement("Encode");
    if (element == nullptr) {
        return;
    }
    if (const char* text = text_of(element, "Encode")) {
        encoding = EncodingFrom(text);
    }

    const TiXmlElement* tty = root->FirstChildElement("ttyAttr");
    if (tty == nullptr) {
        return;
    }
    const struct {
        const char* name;
        const char* setting;
        int32_t* value;
    } numbers[] = {{"baudrate", "ttyAttr/baudrate", &attr.baudrate},
                   {"databits", "ttyAttr/databits", &attr.databits},
                   {"stopbits", "ttyAttr/stopbits", &attr.stopbits}};
    for (const auto& number : numbers) {
        element = tty->FirstChildElement(number.name);
        if (element == nullptr) {
            return;
        }
        if (const char* text = text_of(element, number.setting)) {
            *number.value = ToInt32(text);
        }
    }

    element = tty->FirstChildElement("parity");
    if (element == nullptr) {
        return;
    }
    if (const char* text = text_of(element, "ttyAttr/parity")) {
        attr.parity = text[0];
    }

    if (all_from_file && summary) {
        std::printf("port:%s encode:%d rate:%d databits:%d stopbits:%d, parrity:%c\n", port.c_str(),
                    encoding, attr.baudrate, attr.databits, attr.stopbits, attr.parity);
    }
}

// The text of an element wherever comments, CDATA sections and blanks stand
// around it, without surrounding blanks; empty when it holds none.
std::string TrimmedText(const TiXmlElement* element) {
    std::string value;
    for (const TiXmlNode* child = element != nullptr ? element->FirstChild() : nullptr;
         child != nullptr; child = child->NextSibling()) {
        if (const TiXmlText* text = child->ToText()) {
            value += text->Value();
        }
    }
    const size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
}

void ReadPolicy(const TiXmlElement* root, NetworkPolicy& policy) {
    policy.bind_address = TrimmedText(root->FirstChildElement("BindAddress"));
    if (const TiXmlElement* tls = root->FirstChildElement("Tls")) {
        policy.tls = true;
        policy.tls_certificate = TrimmedText(tls->FirstChildElement("Certificate"));
        policy.tls_private_key = TrimmedText(tls->FirstChildElement("PrivateKey"));
    }
    if (const TiXmlElement* tokens = root->FirstChildElement("PageTokens")) {
        policy.page_tokens.enabled = true;
        policy.page_tokens.public_key = TrimmedText(tokens->FirstChildElement("PublicKey"));
        policy.page_tokens.secret = TrimmedText(tokens->FirstChildElement("Secret"));
        policy.page_tokens.audience = TrimmedText(tokens->FirstChildElement("Audience"));
    }
    if (const TiXmlElement* metrics = root->FirstChildElement("Metrics")) {
        policy.metrics.enabled = true;
        policy.metrics.port = TrimmedText(metrics->FirstChildElement("Port"));
        policy.metrics.bind_address = TrimmedText(metrics->FirstChildElement("BindAddress"));
    }
    const TiXmlElement* origins = root->FirstChildElement("AllowedOrigins");
    if (origins == nullptr) {
        return;
    }
    for (const TiXmlElement* origin = origins->FirstChildElement("Origin"); origin != nullptr;
         origin = origin->NextSiblingElement("Origin")) {
        std::string text = TrimmedText(origin);
        if (!text.empty()) {
            policy.allowed_origins.push_back(std::move(text));
        }
    }
}

// A restriction written anywhere but right under the root element is not in
// force: standard error says so, rather than the daemon listening wider in
// silence.
void WarnMisplacedRestrictions(const char* path, const TiXmlElement* root, ConfReport& report) {
    std::vector<const TiXmlElement*> parents = {root};
    while (!parents.empty()) {
        const TiXmlElement* parent = parents.back();
        parents.pop_back();
        for (const TiXmlElement* element = parent->FirstChildElement(); element != nullptr;
             element = element->NextSiblingElement()) {
            parents.push_back(element);
            const std::string& name = element->ValueStr();
            // The metrics listener's own BindAddress is in force where it is.
            const bool metrics_own = parent->Parent() == root && parent->ValueStr() == "Metrics" &&
                                     name == "BindAddress";
            if (parent != root && !metrics_own &&
                std::any_of(std::begin(kRestrictionWords), std::end(kRestrictionWords),
                            [&name](const char* word) { return name == word; })) {
                report.problems.push_back(std::string(path) + ": " + element->ValueStr() +
                                          " inside " + parent->ValueStr() +
                                          " is not in force (it belongs right under " +
                                          root->ValueStr() + ")");
            }
        }
    }
}

// A USB id as udev writes it: four hexadecimal digits.
bool ParseUsbId(const std::string& text, uint32_t& id) {
    if (text.size() != 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    id = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

// A text from the file for a line of standard error: bytes that are not
// printable ASCII as \xHH.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const unsigned char c : text.substr(0, 80)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c < 0x20 || c > 0x7e ? "\\x%02x" : "%c", c);
        quoted += escaped;
    }
    return quoted + (text.size() > 80 ? "...\"" : "\"");
}

// Bytes written in hexadecimal, in pairs of digits, blanks between them or
// not ("16 4D 0D", "164D0D"): 1 to 64 of them. False for anything else.
bool ParseHexBytes(const std::string& text, std::string& bytes) {
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (digits.size() % 2 != 0) {
                return false;  // a blank inside a byte
            }
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() > 128) {
        return false;
    }
    bytes.clear();
    for (size_t at = 0; at < digits.size(); at += 2) {
        bytes += static_cast<char>(std::stoi(digits.substr(at, 2), nullptr, 16));
    }
    return true;
}

// The <Signals> of a serial entry: the bytes of each order it gives. One
// that is not bytes in hexadecimal is said and left out.
void ReadOrderBytes(const TiXmlElement* entry, const char* list, ScannerEntry& scanner,
                    ConfReport& report) {
    const TiXmlElement* signals = entry->FirstChildElement("Signals");
    static const char* const kElements[kScannerOrders] = {"Good", "Error", "NotOnFile", "Disable",
                                                          "Enable"};
    for (int order = 0; order < kScannerOrders && signals != nullptr; ++order) {
        const TiXmlElement* element = signals->FirstChildElement(kElements[order]);
        if (element == nullptr) {
            continue;
        }
        const std::string text = TrimmedText(element);
        if (!ParseHexBytes(text, scanner.order_bytes[order])) {
            report.problems.push_back(std::string(list) + ": Signals/" + kElements[order] + " " +
                                      Quoted(text) +
                                      " is not 1 to 64 bytes in hexadecimal (\"16 4D 0D\"): left "
                                      "out");
        }
    }
}

// The <Scanner> entries of a list element (Scanners, KeyboardScanners). An
// entry that could match what it should not, or that says what can't be, is
// skipped with a line on standard error that names it; the others serve.
std::vector<ScannerEntry> ReadScannerList(const TiXmlElement* root, const char* name,
                                          ConfReport& report) {
    const bool keyboards = std::string(name) == "KeyboardScanners";
    std::vector<ScannerEntry> entries;
    const TiXmlElement* list = root->FirstChildElement(name);
    for (const TiXmlElement* element = list != nullptr ? list->FirstChildElement("Scanner")
                                                       : nullptr;
         element != nullptr; element = element->NextSiblingElement("Scanner")) {
        auto text = [element](const char* key) {
            return TrimmedText(element->FirstChildElement(key));
        };
        ScannerEntry entry;
        const std::string vendor = text("VendorId");
        const std::string product = text("ProductId");
        entry.any_vendor = vendor.empty();
        entry.any_product = product.empty();
        entry.model = text("Model");
        entry.serial = text("Serial");
        entry.port = text("Port");
        entry.device = keyboards ? std::string() : text("Device");
        entry.name = text("Name");
        entry.layout = text("Layout");
        entry.aim_prefix = text("AimPrefix") == "1";
        entry.auto_disable = text("AutoDisable") == "1";
        if (!keyboards) {
            ReadOrderBytes(element, name, entry, report);
        }
        const char* why = nullptr;
        if ((!vendor.empty() && !ParseUsbId(vendor, entry.vid)) ||
            (!product.empty() && !ParseUsbId(product, entry.pid))) {
            why = "each id is four hexadecimal digits";
        } else if (vendor.empty() && (keyboards || entry.device.empty())) {
            why = keyboards ? "it names no VendorId" : "it names no VendorId nor Device";
        } else if (keyboards && product.empty() && entry.serial.empty() && entry.port.empty()) {
            // A vendor alone can be the till's own keyboard's (the same chip
            // maker, a POS keyboard with a reader built in), which the daemon
            // would take from the till.
            why = "a keyboard is named by its ProductId, Serial or Port as well as its VendorId";
        } else if (element->FirstChildElement("Name") != nullptr && !ValidScannerName(entry.name)) {
            why = "a Name is 1 to 64 printable ASCII characters";
        }
        if (why != nullptr) {
            std::string described =
                "with VendorId " + Quoted(vendor) + " and ProductId " + Quoted(product);
            if (!entry.device.empty()) {
                described += " and Device " + Quoted(entry.device);
            }
            if (!entry.name.empty()) {
                described += " named " + Quoted(entry.name);
            }
            report.problems.push_back(std::string(name) + ": skipped the Scanner " + described +
                                      ": " + why);
            continue;
        }
        entries.push_back(entry);
    }
    return entries;
}

// KeepScans: whole seconds, 0 to 300; anything else is said and means 10.
int ReadKeepScans(const TiXmlElement* root, ConfReport& report) {
    const TiXmlElement* element = root->FirstChildElement("KeepScans");
    const int kDefault = 10;
    if (element == nullptr) {
        return kDefault;
    }
    const std::string text = TrimmedText(element);
    if (!text.empty() && text.size() <= 3 &&
        text.find_first_not_of("0123456789") == std::string::npos && std::stoi(text) <= 300) {
        report.from_file.emplace_back("KeepScans");
        return std::stoi(text);
    }
    report.problems.push_back("KeepScans " + Quoted(text) +
                              " is not a number of seconds from 0 to 300: scans are kept " +
                              std::to_string(kDefault) + " s");
    return kDefault;
}

void ReadFile(const char* path, std::string& port, int& encoding, TtyAttr& attr,
              NetworkPolicy& policy, ScannerOptions& scanners, ConfReport& report, bool summary) {
    TiXmlDocument doc;
    std::string unusable;
    const char* restriction = nullptr;
    std::string opened;
    if (!LoadRegularFile(path, doc, unusable, restriction, opened)) {
        if (!unusable.empty() && restriction != nullptr) {
            // Never wider than written: no listener rather than every
            // interface for any page.
            report.problems.push_back(std::string(path) + " can't be used: " + unusable +
                                      "; as it names " + restriction + ", no listener is opened");
            policy.refusal =
                std::string("the configuration file names ") + restriction + " but can't be used";
        } else if (!unusable.empty() || !opened.empty()) {
            report.unusable = unusable.empty() ? opened : unusable;
        }
        return;
    }
    const TiXmlElement* root = doc.FirstChildElement();
    WarnMisplacedRestrictions(path, root, report);
    ReadSettings(root, port, encoding, attr, report, summary);
    ReadPolicy(root, policy);
    scanners.log_scan_data = TrimmedText(root->FirstChildElement("LogScanData")) != "0";
    scanners.serve_all = TrimmedText(root->FirstChildElement("ServeAllScanners")) == "1";
    scanners.keep_scans_seconds = ReadKeepScans(root, report);
    scanners.serial = ReadScannerList(root, "Scanners", report);
    scanners.keyboards = ReadScannerList(root, "KeyboardScanners", report);
    // The others came from the file where it gives them (KeepScans: a
    // value it takes).
    for (const char* optional : {"BindAddress", "LogScanData", "ServeAllScanners"}) {
        if (!TrimmedText(root->FirstChildElement(optional)).empty()) {
            report.from_file.emplace_back(optional);
        }
    }
    for (const char* optional : {"Tls", "PageTokens", "Metrics"}) {
        if (root->FirstChildElement(optional) != nullptr) {
            report.from_file.emplace_back(optional);
        }
    }
    if (!policy.allowed_origins.empty()) {
        report.from_file.emplace_back("AllowedOrigins");
    }
}

}  // namespace

int ReadConfFile(const char* path, std::string& port, int& encoding, TtyAttr& attr,
                 NetworkPolicy& policy, ScannerOptions& scanners, ConfReport* checked) {
    attr = TtyAttr{115200, 8, 1, 'N'};
    port = "9010";
    encoding = 2;
    policy = NetworkPolicy();
    scanners = ScannerOptions();
    // What a start says on standard error, as it reads; a check collects it.
    ConfReport said;
    ConfReport& report = checked != nullptr ? *checked : said;
    report = ConfReport();
    ReadFile(path, port, encoding, attr, policy, scanners, report, checked == nullptr);
    if (checked == nullptr) {
        for (const std::string& problem : said.problems) {
            std::fprintf(stderr, "%s\n", problem.c_str());
        }
    }
    return 0;
}
