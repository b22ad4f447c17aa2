#pragma once

#include <termios.h>

// The line settings for a scanner port, built on a copy of its current
// attributes: raw mode, the configured speed, character size, parity and stop
// bits, reads that wait for at least one byte (VMIN 1, VTIME 10).
//   baud: 2400, 4800, 9600, 19200 or 38400; any other value gives 115200
//   databits: 7 gives CS7, anything else CS8
//   parity: 'E'/'e' even, 'O'/'o' odd, anything else none
//   stopbits: 2 gives two stop bits, anything else one
termios MakeLineAttr(const termios& current, int baud, int databits, char parity, int stopbits);

// The same line with reads switched between waiting for one byte (block) and
// returning at once, the speed kept. It is made raw with its frame again, so
// that a port opened without its settings reads raw bytes too, and a 7E1
// line stays 7E1.
termios MakeBlockAttr(const termios& current, bool block, int databits, char parity, int stopbits);
