/*
 * fuzz_serial_port.h - the fuzzers' backend of the library's OS seam.
 *
 * Every port is fed from one byte stream, the fuzz input. Each OpenPort, PortRead and PortWrite
 * takes one control byte from it that decides what the port does; a read that delivers data
 * takes the reply bytes from the stream too. Time is virtual: a silent read costs 100 ms, a
 * piece costs its gap, Pause costs its length. The harness draws its own choices (which call,
 * which arguments) from the same stream, so calls and port behaviour interleave freely.
 *
 * Read control byte c (stream exhausted: silence):
 *   0x00..0x1F  silence: 100 ms pass, nothing arrives, -4
 *   0x20..0x27  the far end is gone: -4 at once
 *   0x28..0xFF  a piece of 1 + (c & 7) bytes (never more than asked), arriving (c >> 3) ms later
 * Write control byte: 0xF0..0xFF fail (-3), any other byte (or none left) succeeds.
 * Open control byte: 0xF8..0xFB -10, 0xFC..0xFF the OS error 16 (busy), else success.
 */
#ifndef K7340_FUZZ_SERIAL_PORT_H
#define K7340_FUZZ_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>

// Starts a run: the stream, the clock at 0, the counters cleared.
void FuzzPortBegin(const uint8_t *data, size_t size);

// Takes the next stream byte into *value; 0 when the stream is exhausted (*value is then 0).
int FuzzTakeByte(int *value);
int FuzzBytesLeft();

int64_t FuzzNowUs();

// PortRead calls since the last PortWrite or FuzzResetReadCount; an exchange needs at most one
// per reply byte, so more than that means the library spins.
int FuzzReadsSinceWrite();
void FuzzResetReadCount();

// Ports OpenPort opened and PortClose has not closed yet.
int FuzzPortIsOpen(int index);

#endif
