#pragma once

#include <chrono>

// A scan without a terminator ends after this long without a byte.
constexpr std::chrono::milliseconds kQuietTime{50};

// Waits on the port for more bytes of a scan whose last chunk arrived at
// `last_chunk`. True when the quiet time has passed without any; false as
// soon as the port has something to read (or the wait was interrupted).
bool QuietTimeOver(int fd, std::chrono::steady_clock::time_point last_chunk);
