#pragma once

#include <cstddef>

// Writes every byte of a received chunk in hexadecimal, then a newline, in one
// write: "%02x   " per byte, or "  %02x" with leading_blanks.
void PrintHexChunk(const char* chunk, size_t len, bool leading_blanks);
