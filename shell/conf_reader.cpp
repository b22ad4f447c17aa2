#include "conf_reader.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

namespace {

// Limits far beyond any real configuration file, which is a few hundred
// bytes: larger or more deeply built files are not read at all.
constexpr off_t kMaxFileBytes = 1 << 20;
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

// Parses the file at `path` into `doc`; false when it can't be read, is too
// large or too deep, or isn't well-formed XML. Only a regular file is read:
// a directory has no contents to parse, and a FIFO would hold start-up for
// ever.
bool LoadRegularFile(const char* path, TiXmlDocument& doc) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) {
        close(fd);
        return false;
    }
    std::string bytes;
    char block[4096];
    ssize_t got = 0;
    while ((got = read(fd, block, sizeof block)) > 0 &&
           bytes.size() + static_cast<size_t>(got) <= static_cast<size_t>(kMaxFileBytes)) {
        bytes.append(block, static_cast<size_t>(got));
    }
    close(fd);
    if (got != 0 || CountOpeningTags(bytes) > kMaxOpeningTags) {
        return false;  // a read error, grown past the limit, or too deep
    }
    std::string text = NormalizedLineEnds(bytes);
    text.append(kEndPadding, '\0');
    doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    return !doc.Error();
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
