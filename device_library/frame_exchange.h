/*
 * frame_exchange.h - command and reply frames on the serial line.
 *
 * Command frame (host to supply), payload of n bytes, 1 <= n <= 11:
 *
 *   offset  size  content
 *   0       1     length L = n + 2 (counts itself, the payload and the checksum)
 *   1       n     payload; payload byte 0 is the opcode
 *   n + 1   1     checksum: (L + payload bytes) mod 256
 *
 * Reply frame (supply to host), N data bytes fixed by the command, 0 <= N <= 8:
 *
 *   offset  size  content
 *   0       1     length byte (enters the checksum, otherwise not examined)
 *   1       1     status byte
 *   2       N     data, multi-byte numbers big-endian
 *   N + 2   1     checksum: bytes 0 .. N + 1 summed mod 256
 *
 * One command frame, then exactly one reply frame; no retries, no sequence numbers.
 */
#ifndef K7340_FRAME_EXCHANGE_H
#define K7340_FRAME_EXCHANGE_H

#include "device_table.h"

// The opcodes; COMMANDS (frame_exchange.cpp) says what each command carries.
enum Opcode {
    OP_READ_METER = 0x00, // + channel 0..3
    OP_OUTPUT_OFF = 0x10,
    OP_OUTPUT_ON = 0x11,
    OP_WATCHDOG = 0xF0,
    OP_EEPROM_WRITE = 0xF1,
    OP_EEPROM_READ = 0xF2,
    OP_FIRMWARE = 0xF3,
    OP_RESET = 0xF4,
    OP_LIMIT_FIRST = 0xF6,
    OP_LIMIT_SECOND = 0xF7,
    OP_FAULT_FOLLOW_UP = 0xF8,
    OP_READ_RAW_METER = 0xF9, // + channel 0..2
    OP_FAULT_QUERY = 0xFC,
};

// The commands the library sends, each a row of COMMANDS.
enum CommandId {
    CMD_READ_METER,
    CMD_OUTPUT_OFF,
    CMD_OUTPUT_ON,
    CMD_WATCHDOG,
    CMD_EEPROM_WRITE,
    CMD_EEPROM_READ,
    CMD_FIRMWARE,
    CMD_RESET,
    CMD_LIMIT_FIRST,
    CMD_LIMIT_SECOND,
    CMD_FAULT_FOLLOW_UP,
    CMD_READ_RAW_METER,
    CMD_FAULT_QUERY,
    COMMAND_COUNT,
};

// One command on the wire: its opcode (channel 0's, for the meters), the payload bytes it sends
// (opcode included) and the data bytes of its reply.
struct Command {
    unsigned char opcode;
    unsigned char payloadLength;
    unsigned char replyLength;
    const char *name;
};

extern const Command COMMANDS[COMMAND_COUNT];

enum {
    MAX_COMMAND_PAYLOAD = 11,
    MAX_REPLY_DATA = 8,
    MAX_TRANSACT_DATA = 4,
};

// Sum of count bytes modulo 256, starting from seed.
unsigned char FrameChecksum(unsigned seed, const unsigned char *bytes, int count);

// Called first in every framed exchange. Replies carry no sequence number, so a reply that came
// after its read gave up would be taken for the next command's answer: after a read that failed
// (see ReadReplyFrame) it waits until one full read time-out (PORT_READ_TIMEOUT_MS) has passed
// since the failure, so that the purge before the next command throws away a reply up to one
// time-out late. Otherwise it does nothing: an exchange that follows a good one pays nothing.
void SettleAfterFailedRead(DeviceSlot *slot);

// Purges stale input, then writes one command frame: 0, -3, or -6 for a payload over 11 bytes.
int SendCommandFrame(DeviceSlot *slot, const unsigned char *payload, int payloadLength);

// Reads one reply frame with replyLength data bytes into dst and caches its status byte on
// success: 0, -4, -5, or -7 for a replyLength over 8. A -4 or -5 marks the slot for
// SettleAfterFailedRead.
int ReadReplyFrame(DeviceSlot *slot, unsigned char *dst, int replyLength);

// One exchange; on success stores the replyLength (<= 4) data bytes big-endian in *out, when out
// is given.
int Transact(DeviceSlot *slot, const unsigned char *payload, int payloadLength, int *out,
             int replyLength);

// The exchange of a command of the table: its payload (opcode first) is as long as its row says,
// and its reply carries the row's data bytes.
int Transact(DeviceSlot *slot, CommandId command, const unsigned char *payload, int *out);

#endif
