#include "conf_reader.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

namespace {

// Parses the file at `path` into `doc`; false when it can't be read or isn't
// well-formed XML. Only a regular file is read: TinyXML sizes its buffer with
// ftell, which for a directory asks for an impossible amount and throws, and a
// FIFO would hold start-up for ever.
bool LoadRegularFile(const char* path, TiXmlDocument& doc) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    FILE* file = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (file = fdopen(fd, "rb")) == nullptr) {
        close(fd);
        return false;
    }
    bool loaded = false;
    try {
        loaded = doc.LoadFile(file);
    } catch (const std::bad_alloc&) {
        // Too large to hold: as unreadable as a missing file.
    }
    std::fclose(file);
    return loaded;
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
void ReadSettings(const TiXmlElement* root, std::string& port, int& encoding, TtyAttr& attr) {

    // An element that is present but holds no text (empty, blank, or starting
    // with a comment or a child element) keeps its default and reading goes on:
    // one empty element must not throw away the valid settings after it. Such a
    // value did not come from the file, so the summary line is left out.
    bool all_from_file = true;
    auto text_of = [&all_from_file](const TiXmlElement* element) {
        const char* text = element->GetText();
        if (text == nullptr) {
            all_from_file = false;
        }
        return text;
    };

    const TiXmlElement* element = root->FirstChildElement("WebsocketPort");
    if (element == nullptr) {
        return;
    }
    if (const char* text = text_of(element)) {
        port = text;
    }

    element = root->FirstChildElement("Encode");
    if (element == nullptr) {
        return;
    }
    if (const char* text = text_of(element)) {
        encoding = EncodingFrom(text);
    }

    const TiXmlElement* tty = root->FirstChildElement("ttyAttr");
    if (tty == nullptr) {
        return;
    }
    const struct {
        const char* name;
        int32_t* value;
    } numbers[] = {
        {"baudrate", &attr.baudrate}, {"databits", &attr.databits}, {"stopbits", &attr.stopbits}};
    for (const auto& number : numbers) {
        element = tty->FirstChildElement(number.name);
        if (element == nullptr) {
            return;
        }
        if (const char* text = text_of(element)) {
            *number.value = ToInt32(text);
        }
    }

    element = tty->FirstChildElement("parity");
    if (element == nullptr) {
        return;
    }
    if (const char* text = text_of(element)) {
        attr.parity = text[0];
    }

    if (all_from_file) {
        std::printf("port:%s encode:%d rate:%d databits:%d stopbits:%d, parrity:%c\n", port.c_str(),
                    encoding, attr.baudrate, attr.databits, attr.stopbits, attr.parity);
    }
}

// The text of an element, without surrounding blanks; empty when it holds none.
std::string TrimmedText(const TiXmlElement* element) {
    const char* text = element != nullptr ? element->GetText() : nullptr;
    std::string value = text != nullptr ? text : "";
    const size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
}

void ReadPolicy(const TiXmlElement* root, NetworkPolicy& policy) {
    policy.bind_address = TrimmedText(root->FirstChildElement("BindAddress"));
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

}  // namespace

int ReadConfFile(const char* path, std::string& port, int& encoding, TtyAttr& attr,
                 NetworkPolicy& policy) {
    attr = TtyAttr{115200, 8, 1, 'N'};
    port = "9010";
    encoding = 2;
    policy = NetworkPolicy();

    TiXmlDocument doc;
    if (!LoadRegularFile(path, doc)) {
        return 0;
    }
    const TiXmlElement* root = doc.FirstChildElement();
    if (root == nullptr) {
        return 0;
    }
    ReadSettings(root, port, encoding, attr);
    ReadPolicy(root, policy);
    return 0;
}

int ReadConfFile(const char* path, std::string& port, int& encoding, TtyAttr& attr) {
    NetworkPolicy ignored;
    return ReadConfFile(path, port, encoding, attr, ignored);
}
