// The scan message: the JSON text every web page receives, one per scan.
#include <cJSON.h>

#include <cstdlib>

#include "webserver.h"

std::string CWebServer::enJsonFormat(int code, unsigned long size, std::string text) {
    return ScanMessage(code, size, text, std::string(), std::string(), std::string());
}

std::string ScanMessage(int code, unsigned long size, const std::string& text,
                        const std::string& source, const std::string& symbology,
                        const std::string& id) {
    cJSON* object = cJSON_CreateObject();
    if (object == nullptr) {
        return std::string();
    }
    cJSON_AddItemToObject(object, "type", cJSON_CreateString("BARCODE_GUN"));
    cJSON_AddItemToObject(object, "erro", cJSON_CreateNumber(code));
    cJSON_AddItemToObject(object, "size", cJSON_CreateNumber(static_cast<double>(size)));
    cJSON_AddItemToObject(object, "Data", cJSON_CreateString(text.c_str()));
    if (!source.empty()) {
        cJSON_AddItemToObject(object, "Source", cJSON_CreateString(source.c_str()));
    }
    if (!symbology.empty()) {
        cJSON_AddItemToObject(object, "Symbology", cJSON_CreateString(symbology.c_str()));
    }
    if (!id.empty()) {
        cJSON_AddItemToObject(object, "Id", cJSON_CreateString(id.c_str()));
    }
    char* printed = cJSON_Print(object);
    cJSON_Delete(object);
    if (printed == nullptr) {
        return std::string();
    }
    std::string message(printed);
    std::free(printed);
    return message;
}
