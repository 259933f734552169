/*
 * serial_port.h - the library's OS seam.
 *
 * The portable core (device table, frames, open, instrument commands) reaches the wire only
 * through these seven calls. One backend is linked in: serial_port_win32.cpp on Windows,
 * serial_port_posix.cpp elsewhere, or the in-process fake of the unit tests. Each works on the
 * port table entry of a slot (index 0..7); the core checks the index before calling.
 */
#ifndef K7340_SERIAL_PORT_H
#define K7340_SERIAL_PORT_H

/* The line and the bounds every backend keeps. */
enum {
    PORT_BAUD_RATE = 57600,
    PORT_READ_TIMEOUT_MS = 100,       /* one PortRead, from its call */
    PORT_WRITE_TIMEOUT_MS = 100,      /* one PortWrite: this ... */
    PORT_WRITE_BYTE_TIMEOUT_MS = 100, /* ... plus this for each byte */
};

/* Opens COM port comPort (0 = COM1) for slot index, PORT_BAUD_RATE 8N1, raw, no flow control,
 * DTR and RTS off. Returns 0, -10 when the port does not exist, or an OS error number. */
int OpenPort(int index, int comPort);

/* Reads up to *count bytes; returns when all have arrived or about PORT_READ_TIMEOUT_MS after
 * the call began. *count receives the number read, never more than asked. 0 if the read
 * succeeded and at least one byte arrived, else -4. */
int PortRead(int index, unsigned char *buf, int *count);

/* Writes count bytes within PORT_WRITE_TIMEOUT_MS + PORT_WRITE_BYTE_TIMEOUT_MS * count.
 * 0 when all were written, else -3. */
int PortWrite(int index, const unsigned char *buf, int count);

/* Discards everything waiting in the receive buffer. */
void PortPurgeInput(int index);

/* Closes the port; returns 0 whatever the OS reports. */
int PortClose(int index);

/* Blocks the caller for the given time. */
void Pause(unsigned milliseconds);

/* Milliseconds on a clock that never goes back (the same clock Pause and reads are timed on);
 * only differences between two values mean anything. */
long long MonotonicMs();

#endif /* K7340_SERIAL_PORT_H */
