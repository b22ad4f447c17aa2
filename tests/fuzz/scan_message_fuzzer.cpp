// The scan message for any event code and any text: always a JSON object
// whose "Data" reads back as the text (up to its first zero byte).
#include <cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_output.h"
#include "webserver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int code = 0;
    if (size >= sizeof code) {
        std::memcpy(&code, data, sizeof code);
        data += sizeof code;
        size -= sizeof code;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    static CWebServer server;
    const std::string message = server.enJsonFormat(code, text.size(), text);

    cJSON* parsed = cJSON_Parse(message.c_str());
    if (parsed == nullptr) {
        std::abort();
    }
    const cJSON* read = cJSON_GetObjectItemCaseSensitive(parsed, "Data");
    const cJSON* erro = cJSON_GetObjectItemCaseSensitive(parsed, "erro");
    if (!cJSON_IsString(read) || std::strcmp(read->valuestring, text.c_str()) != 0 ||
        !cJSON_IsNumber(erro) || erro->valuedouble != code) {
        std::abort();
    }
    cJSON_Delete(parsed);
    return 0;
}
