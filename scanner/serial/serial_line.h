#pragma once

// A serial scanner's tty: opening it, and its line settings through termios.
// Failures of the system calls go to standard error, with perror.

// Opens the tty for reading and writing, without becoming its controlling
// terminal and without waiting for the line, and takes it for ourselves
// alone (TIOCEXCL): a modem prober or a second program that opens it later
// gets EBUSY, rather than sending the scanner commands and reading part of
// its scans. Reads then wait as termios says, and what was pending is
// discarded. The descriptor, or -1 with errno set ("open serial port" said
// when `report`).
int OpenSerialLine(const char* path, bool report);

// The configured line: raw, with the speed, character size, parity and stop
// bits given, reads waiting for one byte. 0, or -1 when the attributes can't
// be read or written.
int SetLineAttr(int fd, int baud, int databits, char parity, int stopbits);

// Reads switched between waiting for a byte (block) and returning at once,
// the line's frame kept. 0, or -1.
int SetLineBlock(int fd, bool block, int databits, char parity, int stopbits);
