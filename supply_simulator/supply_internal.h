/*
 * supply_internal.h - what the simulator's own files share: the frame layout, the opcodes, the
 * command table and the calls between the line, the commands, the physics and the log.
 * Each file calls only those after it in this order: the line (supply_line.cpp), the traffic
 * decoder (supply_traffic.cpp), the command table (supply_commands.cpp), the physics
 * (supply_physics.cpp), the state (supply_model.cpp) and the log ring (supply_log.cpp).
 * Callers of the model use supply_model.h only.
 *
 * Frames on the line:
 *
 *   command:  L | opcode | arguments ... | checksum      L = payload + 2, 3..13
 *   reply:    N+3 | status | data (N bytes, big-endian) | checksum
 *
 * The opcodes carry the library's names, but the simulator keeps its own copy: it is a check on
 * the library, so it shares none of its code.
 */
#ifndef K7340_SUPPLY_INTERNAL_H
#define K7340_SUPPLY_INTERNAL_H

#include "supply_model.h"

enum {
    FRAME_MIN = 3,
    FRAME_MAX = 13,
    REPLY_DATA_MAX = 8,
};

enum Opcode {
    OP_READ_METER = 0x00,      // + channel 0..3; 2 data bytes
    OP_OUTPUT_OFF = 0x10,      // setpoint code (3 bytes); no data
    OP_OUTPUT_ON = 0x11,       // setpoint code (3 bytes); no data
    OP_WATCHDOG = 0xF0,        // count in 10 ms units; no data
    OP_EEPROM_WRITE = 0xF1,    // address, value; no data
    OP_EEPROM_READ = 0xF2,     // address; 1 data byte
    OP_FIRMWARE = 0xF3,        // 2 data bytes
    OP_RESET = 0xF4,           // no data
    OP_LIMIT_FIRST = 0xF6,     // voltage limit level 0..63; no data
    OP_LIMIT_SECOND = 0xF7,    // current limit level 0..63; no data
    OP_FAULT_FOLLOW_UP = 0xF8, // clears latched faults; no data
    OP_READ_RAW_METER = 0xF9,  // + channel 0..2; 3 data bytes
    OP_FAULT_QUERY = 0xFC,     // 1 data byte, the fault byte
};

// EEPROM cells the supply reads itself (big-endian words).
enum {
    EEPROM_VRANGE = 64,    // full-scale volts
    EEPROM_IRANGE = 66,    // full-scale microamperes
    EEPROM_CHECKSUM = 126, // plain sum of bytes 0..125
};

// Full scales of the codes on the wire.
enum {
    SETPOINT_FULL_SCALE = 0xFFFFFF,        // 24-bit setpoint code
    METER_FULL_SCALE = 0xFFFF,             // meters 0 and 1
    TEMPERATURE_FULL_SCALE = 0x7FFF,       // meter 2: 15 bits for TEMPERATURE_SPAN_C
    METER3_FULL_SCALE = 1023,              // meter 3: 10 bits, sent shifted left by 6
    RAW_METER_FULL_SCALE = 0x7FFFFF,       // raw meters 0 and 1 (signed 24 bits)
    RAW_TEMPERATURE_FULL_SCALE = 0xFFFFFF, // raw meter 2
    LIMIT_FULL_SCALE = 63,                 // the power-on level: no limit
    WATCHDOG_TICK_MS = 10,
};

static const double TEMPERATURE_SPAN_C = 250.0;
static const double METER3_SPAN_V = 5.0;
static const double ROOM_TEMPERATURE_C = 25.0; // at power-on and with no load

// One row per opcode: its frame sizes, what it does and how the log says it.
struct SupplyCommand;
// Runs a checked command with its argument bytes; fills the reply data, returns its length.
typedef int (*CommandHandler)(SupplyModel *m, const unsigned char *arg, unsigned char *data);
// The command in words; nullptr in the table when the name says it all.
typedef void (*CommandDescriber)(SupplyText *t, const SupplyCommand *c, const unsigned char *arg,
                                 int vrange);
// The reply's value in words; nullptr in the table for plain hex (1 byte) or decimal.
typedef void (*ReplyDescriber)(SupplyText *t, unsigned value, int vrange, int irange);

struct SupplyCommand {
    int opcode;
    const char *name;
    int payload;   // payload bytes, opcode included
    int replyData; // data bytes in the reply
    CommandHandler handle;
    CommandDescriber describe;
    ReplyDescriber describeReply;
};

const SupplyCommand *FindCommand(int opcode);

inline int SumBytes(const unsigned char *bytes, int count) {
    int sum = 0;
    for (int i = 0; i < count; i++)
        sum += bytes[i];
    return sum;
}

// Physics up to toUs (no watchdog check: SupplyAdvance does that).
void AdvancePhysics(SupplyModel *m, int64_t toUs);

// A line of the log (supply_model.cpp); does nothing while config.log is off.
void PushLog(SupplyModel *m, int64_t timeUs, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// A received command frame in hex and words, then what became of it (outcome).
void LogCommand(SupplyModel *m, int64_t timeUs, const unsigned char *frame, int count,
                const char *outcome);
// A reply frame as made for command.
void LogReply(SupplyModel *m, int64_t timeUs, const unsigned char *command, int commandCount,
              const unsigned char *reply, int replyCount);

#endif
