#include "page_protocol.h"

#include <cJSON.h>

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

// Source, Kind and Device, and the USB ids where asked for.
void AddScanner(cJSON* object, const ServedScanner& scanner, bool ids) {
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
    // A message that only looks like a SUBSCRIBE is a SUBSCRIBE gone wrong,
    // never a registration for every scanner.
    const bool named = std::string(text, stored).find("\"SUBSCRIBE\"") != std::string::npos;
    const Json json(stored == size ? cJSON_ParseWithLength(text, stored) : nullptr);
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(json.get(), "type");
    const bool typed = cJSON_IsObject(json.get()) && cJSON_IsString(type);
    PageRequest request;
    if (typed && std::strcmp(type->valuestring, "SCANNERS") == 0) {
        request.kind = PageRequest::Kind::kScanners;
        return request;
    }
    if (!(typed && std::strcmp(type->valuestring, "SUBSCRIBE") == 0)) {
        return named
                   ? Refused("a SUBSCRIBE is {\"type\":\"SUBSCRIBE\",\"Sources\":[\"name\", ...]}")
                   : request;
    }
    request.kind = PageRequest::Kind::kSubscribe;
    const cJSON* sources = cJSON_GetObjectItemCaseSensitive(json.get(), "Sources");
    if (sources == nullptr || cJSON_IsNull(sources)) {
        return ReadAfter(json.get(), request);  // every scanner
    }
    if (!cJSON_IsArray(sources)) {
        return Refused("Sources is a list of scanner names");
    }
    if (static_cast<size_t>(cJSON_GetArraySize(sources)) > kMaxSources) {
        return Refused("Sources names 16 scanners at most");
    }
    const cJSON* source = nullptr;
    cJSON_ArrayForEach(source, sources) {
        if (!cJSON_IsString(source)) {
            return Refused("Sources is a list of scanner names");
        }
    }
    // A name is its whole string: one with a NUL would be read cut short.
    if (HoldsNul(text, stored)) {
        return Refused("a scanner name holds no NUL");
    }
    cJSON_ArrayForEach(source, sources) {
        const size_t length = std::strlen(source->valuestring);
        if (length == 0 || length > kMaxSourceBytes) {
            return Refused("a scanner name is 1 to 64 bytes");
        }
        request.sources.emplace_back(source->valuestring);
    }
    return ReadAfter(json.get(), request);
}

std::string ScannerEventMessage(const char* event, const ServedScanner& scanner) {
    Json object(cJSON_CreateObject());
    if (object) {
        cJSON_AddItemToObject(object.get(), "type", cJSON_CreateString("SCANNER"));
        cJSON_AddItemToObject(object.get(), "event", cJSON_CreateString(event));
        AddScanner(object.get(), scanner, false);
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
                AddScanner(item, scanner, true);
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

std::string RefusalMessage(const std::string& why) {
    Json object(cJSON_CreateObject());
    if (object) {
        cJSON_AddItemToObject(object.get(), "type", cJSON_CreateString("ERROR"));
        cJSON_AddItemToObject(object.get(), "erro", cJSON_CreateNumber(-3));
        AddString(object.get(), "Data", why);
    }
    return Printed(object);
}
