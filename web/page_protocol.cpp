#include "page_protocol.h"

#include <cJSON.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct JsonDelete {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;

// The object printed in cJSON's formatted form; empty when memory ran out.
std::string Printed(const Json& object) {
    char* printed = object ? cJSON_Print(object.get()) : nullptr;
    if (printed == nullptr) {
        return std::string();
    }
    std::string text(printed);
    std::free(printed);
    return text;
}

void AddString(cJSON* object, const char* key, const std::string& value) {
    cJSON_AddItemToObject(object, key, cJSON_CreateString(value.c_str()));
}

// Source, Kind and Device; the USB ids where asked for; what it can be told
// where asked for.
void AddScanner(cJSON* object, const ServedScanner& scanner, bool ids, bool abilities) {
    AddString(object, "Source", scanner.name);
    AddString(object, "Kind", scanner.kind);
    AddString(object, "Device", scanner.device);
    if (ids) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x", scanner.vid & 0xffffu);
        AddString(object, "VendorId", id);
        std::snprintf(id, sizeof id, "%04x", scanner.pid & 0xffffu);
        AddString(object, "ProductId", id);
    }
    if (abilities) {
        cJSON* signals = cJSON_CreateArray();
        for (const std::string& signal : scanner.signals) {
            cJSON_AddItemToArray(signals, cJSON_CreateString(signal.c_str()));
        }
        cJSON_AddItemToObject(object, "Signals", signals);
        cJSON_AddItemToObject(object, "Disable", cJSON_CreateBool(scanner.can_disable));
    }
}

// Whether JSON text holds a NUL: a zero byte, or the escape \u0000 (cJSON
// ends a string's value there, so the name read would be only its start).
bool HoldsNul(const char* text, size_t size) {
    for (size_t at = 0; at < size; ++at) {
        if (text[at] == '\0') {
            return true;
        }
        if (text[at] == '\\' && at + 1 < size) {
            if (size - at >= 6 && std::memcmp(text + at + 1, "u0000", 5) == 0) {
                return true;
            }
            ++at;  // the escaped character: a backslash never starts another escape
        }
    }
    return false;
}

PageRequest Refused(const char* why) {
    PageRequest request;
    request.kind = PageRequest::Kind::kRefused;
    request.error = why;
    return request;
}

// A scanner's name as a page gives it: 1 to 64 bytes.
bool NameFits(const char* name) {
    const size_t length = std::strlen(name);
    return length > 0 && length <= kMaxSourceBytes;
}

// A request's Sources, where it has them (none, or null: every scanner): the
// reason it can't be taken, or null.
const char* ReadSources(const cJSON* request, std::vector<std::string>& names) {
    const cJSON* sources = cJSON_GetObjectItemCaseSensitive(request, "Sources");
    if (sources == nullptr || cJSON_IsNull(sources)) {
        return nullptr;
    }
    if (!cJSON_IsArray(sources)) {
        return "Sources is a list of scanner names";
    }
    if (static_cast<size_t>(cJSON_GetArraySize(sources)) > kMaxSources) {
        return "Sources names 16 scanners at most";
    }
    const cJSON* source = nullptr;
    cJSON_ArrayForEach(source, sources) {
        if (!cJSON_IsString(source)) {
            return "Sources is a list of scanner names";
        }
        if (!NameFits(source->valuestring)) {
            return "a scanner name is 1 to 64 bytes";
        }
        names.emplace_back(source->valuestring);
    }
    return nullptr;
}

// A SUBSCRIBE's After, where it has one.
PageRequest ReadAfter(const cJSON* subscribe, PageRequest& request) {
    const cJSON* after = cJSON_GetObjectItemCaseSensitive(subscribe, "After");
    if (after == nullptr || cJSON_IsNull(after)) {
        return request;
    }
    if (!cJSON_IsString(after) ||
        !ReadScanId(after->valuestring, request.after_run, request.after_seq)) {
        return Refused("After is the Id of a scan, \"<run>:<seq>\"");
    }
    request.after = after->valuestring;
    return request;
}

}  // namespace

std::string ScanId(const std::string& run, uint64_t seq) {
    return run + ":" + std::to_string(seq);
}

bool ReadScanId(const std::string& id, std::string& run, uint64_t& seq) {
    const size_t colon = id.find(':');
    if (colon != 16 || id.find_first_not_of("0123456789abcdef") != colon) {
        return false;
    }
    const std::string number = id.substr(colon + 1);
    // A decimal count: no sign, no leading zero, within 64 bits.
    if (number.empty() || number.size() > 20 ||
        number.find_first_not_of("0123456789") != std::string::npos ||
        (number.size() > 1 && number[0] == '0')) {
        return false;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(number.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return false;
    }
    run = id.substr(0, colon);
    seq = value;
    return true;
}

PageRequest ReadPageRequest(const char* text, size_t stored, size_t size) {
    // Requests by their type. A message that only looks like one (the type's
    // word in quotes) is that request gone wrong, never a registration for
    // every scanner.
    static const struct {
        const char* type;
        PageRequest::Kind kind;
        const char* form;  // said where it is not of that form
    } kTypes[] = {
        {"SUBSCRIBE", PageRequest::Kind::kSubscribe,
         "a SUBSCRIBE is {\"type\":\"SUBSCRIBE\",\"Sources\":[\"name\", ...]}"},
        {"SIGNAL", PageRequest::Kind::kSignal,
         "a SIGNAL is {\"type\":\"SIGNAL\",\"Source\":\"name\",\"Signal\":\"good\"}"},
        {"DISABLE", PageRequest::Kind::kDisable,
         "a DISABLE is {\"type\":\"DISABLE\",\"Sources\":[\"name\", ...]}"},
        {"ENABLE", PageRequest::Kind::kEnable,
         "an ENABLE is {\"type\":\"ENABLE\",\"Sources\":[\"name\", ...]}"},
        {"SCANNERS", PageRequest::Kind::kScanners, nullptr},
    };
    const std::string kept(text, stored);
    const Json json(stored == size ? cJSON_ParseWithLength(text, stored) : nullptr);
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(json.get(), "type");
    const bool typed = cJSON_IsObject(json.get()) && cJSON_IsString(type);
    PageRequest request;
    for (const auto& known : kTypes) {
        if (typed && std::strcmp(type->valuestring, known.type) == 0) {
            request.kind = known.kind;
        }
    }
    for (const auto& known : kTypes) {
        if (request.kind == PageRequest::Kind::kRegister && known.form != nullptr &&
            kept.find(std::string("\"") + known.type + "\"") != std::string::npos) {
            return Refused(known.form);
        }
    }
    // A name is its whole string: one with a NUL would be read cut short.
    if (request.kind != PageRequest::Kind::kRegister && HoldsNul(text, stored)) {
        return Refused("a scanner name holds no NUL");
    }
    const char* why = nullptr;
    switch (request.kind) {
        case PageRequest::Kind::kSubscribe: {
            const cJSON* token = cJSON_GetObjectItemCaseSensitive(json.get(), "Token");
            request.token_not_text = token != nullptr && !cJSON_IsString(token);
            if (cJSON_IsString(token)) {
                request.token = token->valuestring;
            }
            why = ReadSources(json.get(), request.sources);
            PageRequest taken = why != nullptr ? Refused(why) : ReadAfter(json.get(), request);
            taken.token = request.token;  // a page refused is told why, where its token is valid
            return taken;
        }
        case PageRequest::Kind::kDisable:
        case PageRequest::Kind::kEnable:
            why = ReadSources(json.get(), request.sources);
            break;
        case PageRequest::Kind::kSignal: {
            const cJSON* source = cJSON_GetObjectItemCaseSensitive(json.get(), "Source");
            const cJSON* signal = cJSON_GetObjectItemCaseSensitive(json.get(), "Signal");
            why =
                !cJSON_IsString(source)          ? "Source is the name of a scanner"
                : !NameFits(source->valuestring) ? "a scanner name is 1 to 64 bytes"
                : !cJSON_IsString(signal) || !(std::strcmp(signal->valuestring, "good") == 0 ||
                                               std::strcmp(signal->valuestring, "error") == 0 ||
                                               std::strcmp(signal->valuestring, "not-on-file") == 0)
                    ? "Signal is good, error or not-on-file"
                    : nullptr;
            if (why == nullptr) {
                request.sources.emplace_back(source->valuestring);
                request.signal = signal->valuestring;
            }
            break;
        }
        default:
            break;
    }
    return why != nullptr ? Refused(why) : request;
}

std::string ScannerEventMessage(const char* event, const ServedScanner& scanner) {
    Json object(cJSON_CreateObject());
    if (object) {
        cJSON_AddItemToObject(object.get(), "type", cJSON_CreateString("SCANNER"));
        cJSON_AddItemToObject(object.get(), "event", cJSON_CreateString(event));
        AddScanner(object.get(), scanner, false, std::strcmp(event, "added") == 0);
    }
    return Printed(object);
}

std::string ScannersMessage(const std::vector<ServedScanner>& scanners) {
    Json object(cJSON_CreateObject());
    cJSON* list = object ? cJSON_CreateArray() : nullptr;
    if (list != nullptr) {
        cJSON_AddItemToObject(object.get(), "type", cJSON_CreateString("SCANNERS"));
        cJSON_AddItemToObject(object.get(), "Scanners", list);
        for (const ServedScanner& scanner : scanners) {
            cJSON* item = cJSON_CreateObject();
            if (item != nullptr) {
                AddScanner(item, scanner, true, true);
                cJSON_AddItemToArray(list, item);
            }
        }
    }
    return Printed(object);
}

std::string GapMessage(const std::string& after, const std::string& why) {
    Json object(cJSON_CreateObject());
    if (object) {
        cJSON_AddItemToObject(object.get(), "type", cJSON_CreateString("GAP"));
        cJSON_AddItemToObject(object.get(), "erro", cJSON_CreateNumber(-4));
        AddString(object.get(), "After", after);
        AddString(object.get(), "Data", why);
    }
    return Printed(object);
}

namespace {

std::string ErrorMessage(int code, const std::string& why) {
    Json object(cJSON_CreateObject());
    if (object) {
        cJSON_AddItemToObject(object.get(), "type", cJSON_CreateString("ERROR"));
        cJSON_AddItemToObject(object.get(), "erro", cJSON_CreateNumber(code));
        AddString(object.get(), "Data", why);
    }
    return Printed(object);
}

bool TokenCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

}  // namespace

std::string RefusalMessage(const std::string& why) {
    return ErrorMessage(-3, why);
}

std::string TokenRefusalMessage(const std::string& why) {
    return ErrorMessage(-5, why);
}

std::string WithoutTokens(const std::string& message) {
    // A Token member, however the message spells its key or escapes its
    // value: the message as JSON again, each such member's value replaced.
    std::string text = message;
    const Json json(cJSON_ParseWithLength(message.data(), message.size()));
    bool replaced = false;
    for (cJSON* member = cJSON_IsObject(json.get()) ? json->child : nullptr; member != nullptr;) {
        cJSON* const next = member->next;
        if (member->string != nullptr && std::strcmp(member->string, "Token") == 0) {
            cJSON* shown = cJSON_CreateString("<token>");
            char* name =
                shown != nullptr ? static_cast<char*>(cJSON_malloc(sizeof "Token")) : nullptr;
            if (name != nullptr) {
                std::memcpy(name, "Token", sizeof "Token");
                shown->string = name;
                replaced = cJSON_ReplaceItemViaPointer(json.get(), member, shown) || replaced;
            } else {
                cJSON_Delete(shown);
                return "<a message with a token>";  // out of memory: nothing of it
            }
        }
        member = next;
    }
    char* printed = replaced ? cJSON_PrintUnformatted(json.get()) : nullptr;
    if (printed != nullptr) {
        text = printed;
        std::free(printed);
    } else if (replaced) {
        return "<a message with a token>";
    }
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        // A Token's string value, whatever it holds, to its closing quote.
        size_t value = std::string::npos;
        if (text.compare(at, 7, "\"Token\"") == 0) {
            // Past what JSON takes between a key and its value (cJSON skips
            // any control byte there, as it does blanks).
            value = at + 7;
            while (value < text.size() &&
                   (static_cast<unsigned char>(text[value]) <= ' ' || text[value] == ':')) {
                ++value;
            }
            value = value < text.size() && text[value] == '"' ? value : std::string::npos;
        }
        if (value != std::string::npos) {
            size_t end = value + 1;
            while (end < text.size() && text[end] != '"') {
                end += text[end] == '\\' ? 2 : 1;
            }
            shown += text.substr(at, value + 1 - at) + "<token>";
            at = std::min(end, text.size());
            continue;
        }
        // A signed token anywhere else: "eyJ", base64url and two dots.
        if (text.compare(at, 3, "eyJ") == 0) {
            size_t end = at;
            while (end < text.size() && TokenCharacter(text[end])) {
                ++end;
            }
            if (std::count(text.begin() + static_cast<std::ptrdiff_t>(at),
                           text.begin() + static_cast<std::ptrdiff_t>(end), '.') >= 2) {
                shown += "<token>";
                at = end;
                continue;
            }
        }
        shown += text[at++];
    }
    return shown;
}
