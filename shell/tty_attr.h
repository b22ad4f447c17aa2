#pragma once

#include <cstdint>

// Serial line settings as the configuration file gives them. How each value maps
// onto termios is decided where the port is opened.
struct TtyAttr {
    int32_t baudrate;
    int32_t databits;
    int32_t stopbits;
    char parity;
};
