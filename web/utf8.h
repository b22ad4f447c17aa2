#pragma once

#include <cstddef>

// True when the bytes are well-formed UTF-8 as a WebSocket text frame must be
// (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsUtf8(const char* bytes, size_t size);
