/*
 * supply_model.h - the simulated 7340 supply as a byte-in/byte-out state machine, with no I/O.
 *
 * Time is passed in by the caller in microseconds on any monotonic scale: k7340sim passes the
 * real clock, the library's unit-test fake passes its virtual clock. Command bytes go in with
 * SupplyReceive; reply bytes come out with SupplyTakeOutput once their release time has come.
 *
 * (API contract used by tests/unit/fake_serial_port.cpp and k7340sim: keep these signatures.)
 *
 * How the simulated supply behaves
 *
 *   Frames. A command frame is L, payload (L - 2 bytes, opcode first), checksum = (L + payload)
 *   mod 256. Frames may arrive in pieces; a partial frame older than 100 ms is dropped when the
 *   next byte comes. A length byte outside 3..13, a bad checksum, an unknown opcode or a payload
 *   of the wrong size gets no reply: the first byte is dropped and the rest is scanned again, so
 *   the supply finds the next good frame after junk. The reply is N + 3 bytes: length N + 3,
 *   status, N data bytes big-endian, checksum = sum of the previous bytes mod 256.
 *
 *   Ranges. The supply scales setpoint codes and meters with the ranges in its own EEPROM
 *   (addresses 64..67) when they are within 1000..60000 V and 10..500 uA, else with 60000 V and
 *   500 uA, the same defaults the library falls back to, so both sides always agree on volts.
 *
 *   Output. 0x11 code switches the output on and sets the target code / 16777215 * vrange; 0x10
 *   switches it off (target 0). The output moves towards the target at slewVPerS (<= 0: at once).
 *   Current is volts / loadOhms. The temperature starts at 25.0 C and settles at 25 + 0.4 C per
 *   watt of output power with a 60 s time constant.
 *
 *   Status byte (every reply): 0x04 while the output is on; 0x01 while the output voltage is
 *   above limit level 0xF6 / 63 of vrange, 0x02 while the current is above level 0xF7 / 63 of
 *   irange (level 63, the power-on value, means no limit); 0x10 while the fault byte is not
 *   zero; 0x80 after a reset (below); config.forceStatus OR-ed in. EEBusy (0x08) is never set
 *   by the model itself: EEPROM writes take effect at once.
 *
 *   Fault byte (0xFC): latched faults OR config.forceFault. The only fault the model latches
 *   itself is SUPPLY_FAULT_WATCHDOG (0x01, a bit the panel does not show): a non-zero watchdog
 *   count (0xF0, 10 ms units) that elapses without any good command frame switches the output
 *   off and latches it. The follow-up command 0xF8 clears the latched faults (forced bits stay).
 *
 *   Reset (0xF4): output off at code 0, watchdog off, limits back to 63, latched faults cleared,
 *   reset bit 0x80 set. The 0xF4 reply (0 data bytes) carries 0x80, and so does the reply to
 *   the next command after it; the bit is cleared once that reply has been made. (The library
 *   purges the 0xF4 reply, so it sees the bit once, on its next exchange.)
 *
 *   EEPROM addresses above 127: reads answer 0xFF, writes are answered and ignored.
 *
 *   Fault injection (SupplyFaults, may change at any time): silent - good frames are consumed
 *   and neither executed nor answered; silentAfterWrites n - silent like that once n EEPROM
 *   writes were answered; corrupt - each reply's checksum byte is one too high; delayUs - the
 *   reply is released that much later; splitGapUs - the first half of the reply (length / 2
 *   bytes) is released at the normal time, the rest that much later; noiseBytes - that many junk
 *   bytes are released noiseDelayUs after the last byte of each reply. Noise not yet released
 *   when the next command byte arrives is dropped (the supply stops babbling when spoken to);
 *   with noiseDelayUs 0 the junk comes right behind the reply and so sits in the host's buffer.
 *
 *   Wire emulation (config.wire): each command byte takes 10 bits at 57600 baud to arrive after
 *   the previous one or after the moment it was passed in, whichever is later; a reply of k
 *   bytes is released whole when its last byte would have arrived on the wire (plus delayUs).
 *
 *   Traffic log (config.log): one line of text per command and per reply, in words, taken with
 *   SupplyTakeLog once its time has come.
 */
#ifndef K7340_SUPPLY_MODEL_H
#define K7340_SUPPLY_MODEL_H

#include "supply_log.h"

#include <cstdint>

enum EepromPreset { EEPROM_CONFIGURED, EEPROM_BLANK, EEPROM_BAD_RANGES };

struct SupplyConfig {
    int vrange = 50000; // full-scale volts stored in the EEPROM (EEPROM_CONFIGURED)
    int irange = 200;   // full-scale microamperes stored in the EEPROM
    EepromPreset eeprom = EEPROM_CONFIGURED;
    double loadOhms = 250e6;    // output load: current = voltage / loadOhms
    int firmware = 0x0123;      // reply of the firmware revision command
    int forceStatus = 0;        // OR-ed into every status byte
    int forceFault = 0;         // OR-ed into the fault byte
    bool wire = false;          // emulate the wire at 57600 baud, 10 bits a byte
    int64_t usbLatencyUs = 0;   // a USB adapter's latency timer: replies leave when it fires
    double slewVPerS = 20000.0; // output slew rate; <= 0 follows the setpoint at once
    bool log = false;           // keep a decoded traffic log (SupplyTakeLog)
};

struct SupplyFaults {
    bool silent = false;         // commands are consumed, nothing is answered
    int silentAfterWrites = -1;  // >= 0: go silent once this many EEPROM writes were answered
    bool corrupt = false;        // every reply's checksum byte is off by one
    int64_t splitGapUs = 0;      // > 0: a reply comes in two pieces this far apart
    int64_t delayUs = 0;         // extra delay before a reply's first byte
    int noiseBytes = 0;          // junk bytes put on the line shortly after every reply
    int64_t noiseDelayUs = 1000; // how long after the reply's last byte the junk comes
};

enum {
    SUPPLY_EEPROM_SIZE = 128,
    SUPPLY_RX_MAX = 16,    // longest command frame is 13 bytes
    SUPPLY_OUT_MAX = 512,  // queued reply and noise bytes
    SUPPLY_NOISE_MAX = 64, // noise bytes per reply at most
};

enum {
    SUPPLY_STATUS_OVER_VOLTAGE = 0x01,
    SUPPLY_STATUS_OVER_CURRENT = 0x02,
    SUPPLY_STATUS_ENABLED = 0x04,
    SUPPLY_STATUS_EEPROM_BUSY = 0x08,
    SUPPLY_STATUS_FAULT = 0x10,
    SUPPLY_STATUS_RESET = 0x80,
    SUPPLY_FAULT_WATCHDOG = 0x01,
};

struct SupplyOutByte {
    int64_t releaseUs;
    unsigned char value;
    bool noise;
};

// The whole state of one supply; plain data, so callers can hold it statically.
struct SupplyModel {
    SupplyConfig config;
    SupplyFaults faults;
    unsigned char eeprom[SUPPLY_EEPROM_SIZE];
    int eepromWrites; // EEPROM writes executed since SupplyInit (k7340sim saves on change)
    int answeredWrites;

    // Frame assembly.
    unsigned char rx[SUPPLY_RX_MAX];
    int rxCount;
    int64_t rxLastUs;

    // Output queue: bytes outHead..outCount-1 are waiting for their release time.
    SupplyOutByte out[SUPPLY_OUT_MAX];
    int outHead;
    int outCount;

    // Wire emulation, in nanoseconds: when the last command byte arrives / the reply line is free.
    int64_t rxWireNs;
    int64_t txWireNs;

    // The instrument.
    bool enabled;
    uint32_t setpointCode;
    double volts;
    double temperature;
    int64_t physicsUs; // time up to which the physics has been advanced, -1 before the first
    int watchdogCount;
    int64_t lastCommandUs;
    bool watchdogTripped;
    int limitVoltage; // level of 0xF6, 0..63
    int limitCurrent; // level of 0xF7, 0..63
    int faultLatched;
    bool resetFlag;
    int resetRepliesLeft; // replies that still carry the reset bit
    uint32_t noiseSeed;

    SupplyLog log; // the traffic log ring
};

void SupplyInit(SupplyModel *m, const SupplyConfig *config);
SupplyFaults *SupplyFaultsOf(SupplyModel *m);
void SupplyReceive(SupplyModel *m, const unsigned char *bytes, int count, int64_t nowUs);
int SupplyTakeOutput(SupplyModel *m, unsigned char *buf, int max, int64_t nowUs);
int64_t SupplyNextOutputUs(const SupplyModel *m);  // release time of the next queued byte, or -1
void SupplyAdvance(SupplyModel *m, int64_t nowUs); // physics and watchdog up to nowUs
const unsigned char *SupplyEeprom(const SupplyModel *m); // the 128 EEPROM bytes

// Run-time changes of forceStatus, forceFault, loadOhms, slew and the like.
SupplyConfig *SupplyConfigOf(SupplyModel *m);
// Replaces the EEPROM (for example with the contents of a saved file).
void SupplyLoadEeprom(SupplyModel *m, const unsigned char bytes[SUPPLY_EEPROM_SIZE]);
// Fills bytes with a preset image: ranges from vrange/irange, valid checksum (or all 0xFF).
void SupplyPresetEeprom(unsigned char bytes[SUPPLY_EEPROM_SIZE], EepromPreset preset, int vrange,
                        int irange);
// Plain sum of EEPROM bytes 0..125, as stored big-endian at 126..127.
int SupplyEepromChecksum(const unsigned char bytes[SUPPLY_EEPROM_SIZE]);
// The ranges the supply scales with (its EEPROM's when valid, else 60000 V and 500 uA).
void SupplyRanges(const SupplyModel *m, int *vrange, int *irange);
// Present output in volts and microamperes, and temperature in degrees C.
double SupplyVolts(const SupplyModel *m);
double SupplyMicroamps(const SupplyModel *m);
double SupplyTemperature(const SupplyModel *m);
// The status byte the next reply would carry (reset bit included), and the fault byte.
int SupplyStatus(const SupplyModel *m);
int SupplyFaultByte(const SupplyModel *m);
// Takes the oldest log line whose time has come; returns 1 and fills text, else 0.
int SupplyTakeLog(SupplyModel *m, char *text, int max, int64_t *timeUs, int64_t nowUs);

// Traffic decoder: one command frame or one reply in words, for logs. Return the text length.
int SupplyDescribeCommand(const unsigned char *frame, int count, int vrange, char *text, int max);
int SupplyDescribeReply(const unsigned char *command, int commandCount, const unsigned char *reply,
                        int replyCount, int vrange, int irange, char *text, int max);

#endif
