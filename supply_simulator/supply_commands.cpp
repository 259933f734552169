/*
 * supply_commands.cpp - the command table: one row per opcode with its frame sizes, its handler
 * and its describers. Adding a command is a row here plus its handler (and a describer when
 * its arguments or reply need words); docs/development.md walks through one.
 */
#include "supply_internal.h"

#include <cmath>

static long Clamp(double value, long high) {
    const long v = lround(value);
    return v < 0 ? 0 : (v > high ? high : v);
}

static unsigned Code24(const unsigned char *arg) {
    return static_cast<unsigned>(arg[0]) << 16 | static_cast<unsigned>(arg[1]) << 8 | arg[2];
}

// Stores value big-endian in n data bytes; returns n.
static int PutData(unsigned char *data, long value, int n) {
    for (int i = 0; i < n; i++)
        data[i] = static_cast<unsigned char>(value >> (8 * (n - 1 - i)));
    return n;
}

static int Level(int level) {
    return level > LIMIT_FULL_SCALE ? LIMIT_FULL_SCALE : level;
}

// ---- handlers ----

static int SetOutput(SupplyModel *m, const unsigned char *arg, bool on) {
    m->setpointCode = Code24(arg);
    m->enabled = on;
    return 0;
}

static int OutputOff(SupplyModel *m, const unsigned char *arg, unsigned char *) {
    return SetOutput(m, arg, false);
}

static int OutputOn(SupplyModel *m, const unsigned char *arg, unsigned char *) {
    return SetOutput(m, arg, true);
}

static int SetWatchdog(SupplyModel *m, const unsigned char *arg, unsigned char *) {
    m->watchdogCount = arg[0];
    return 0;
}

// Addresses above the EEPROM are answered and ignored.
static int WriteEeprom(SupplyModel *m, const unsigned char *arg, unsigned char *) {
    if (arg[0] < SUPPLY_EEPROM_SIZE) {
        m->eeprom[arg[0]] = arg[1];
        m->eepromWrites++;
    }
    m->answeredWrites++;
    return 0;
}

static int ReadEeprom(SupplyModel *m, const unsigned char *arg, unsigned char *data) {
    data[0] = arg[0] < SUPPLY_EEPROM_SIZE ? m->eeprom[arg[0]] : 0xFF;
    return 1;
}

static int ReadFirmware(SupplyModel *m, const unsigned char *, unsigned char *data) {
    return PutData(data, m->config.firmware, 2);
}

static int Reset(SupplyModel *m, const unsigned char *, unsigned char *) {
    m->enabled = false;
    m->setpointCode = 0;
    m->watchdogCount = 0;
    m->limitVoltage = LIMIT_FULL_SCALE;
    m->limitCurrent = LIMIT_FULL_SCALE;
    m->faultLatched = 0;
    m->resetFlag = true;
    m->resetRepliesLeft = 2; // this reply and the next one
    return 0;
}

static int SetVoltageLimit(SupplyModel *m, const unsigned char *arg, unsigned char *) {
    m->limitVoltage = Level(arg[0]);
    return 0;
}

static int SetCurrentLimit(SupplyModel *m, const unsigned char *arg, unsigned char *) {
    m->limitCurrent = Level(arg[0]);
    return 0;
}

static int ClearFaults(SupplyModel *m, const unsigned char *, unsigned char *) {
    m->faultLatched = 0;
    return 0;
}

static int QueryFaults(SupplyModel *m, const unsigned char *, unsigned char *data) {
    data[0] = static_cast<unsigned char>(SupplyFaultByte(m));
    return 1;
}

static double Vrange(const SupplyModel *m) {
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    return vrange;
}

static double Irange(const SupplyModel *m) {
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    return irange;
}

static int MeterVolts(SupplyModel *m, const unsigned char *, unsigned char *data) {
    return PutData(data, Clamp(m->volts / Vrange(m) * METER_FULL_SCALE, METER_FULL_SCALE), 2);
}

static int MeterCurrent(SupplyModel *m, const unsigned char *, unsigned char *data) {
    return PutData(data, Clamp(SupplyMicroamps(m) / Irange(m) * METER_FULL_SCALE, METER_FULL_SCALE),
                   2);
}

static int MeterTemperature(SupplyModel *m, const unsigned char *, unsigned char *data) {
    const double code = m->temperature * TEMPERATURE_FULL_SCALE / TEMPERATURE_SPAN_C;
    return PutData(data, Clamp(code, TEMPERATURE_FULL_SCALE), 2);
}

static int MeterVolts10Bit(SupplyModel *m, const unsigned char *, unsigned char *data) {
    return PutData(data, Clamp(m->volts / Vrange(m) * METER3_FULL_SCALE, METER3_FULL_SCALE) << 6,
                   2);
}

static int RawVolts(SupplyModel *m, const unsigned char *, unsigned char *data) {
    return PutData(data, Clamp(m->volts / Vrange(m) * RAW_METER_FULL_SCALE, RAW_METER_FULL_SCALE),
                   3);
}

static int RawCurrent(SupplyModel *m, const unsigned char *, unsigned char *data) {
    const double code = SupplyMicroamps(m) / Irange(m) * RAW_METER_FULL_SCALE;
    return PutData(data, Clamp(code, RAW_METER_FULL_SCALE), 3);
}

static int RawTemperature(SupplyModel *m, const unsigned char *, unsigned char *data) {
    const double code = m->temperature / TEMPERATURE_SPAN_C * RAW_TEMPERATURE_FULL_SCALE;
    return PutData(data, Clamp(code, RAW_TEMPERATURE_FULL_SCALE), 3);
}

// ---- command describers ----

static void DescribeOutputOff(SupplyText *t, const SupplyCommand *c, const unsigned char *arg,
                              int) {
    const unsigned code = Code24(arg);
    if (code != 0)
        TextAppend(t, "%s (code %u)", c->name, code);
    else
        TextAppend(t, "%s", c->name);
}

static void DescribeOutputOn(SupplyText *t, const SupplyCommand *, const unsigned char *arg,
                             int vrange) {
    TextAppend(t, "set %.1f V, output on",
               Code24(arg) * static_cast<double>(vrange) / SETPOINT_FULL_SCALE);
}

static void DescribeWatchdog(SupplyText *t, const SupplyCommand *c, const unsigned char *arg, int) {
    if (arg[0] == 0)
        TextAppend(t, "%s 0 (off)", c->name);
    else
        TextAppend(t, "%s %d (%d ms)", c->name, arg[0], arg[0] * WATCHDOG_TICK_MS);
}

static void DescribeEepromWrite(SupplyText *t, const SupplyCommand *c, const unsigned char *arg,
                                int) {
    TextAppend(t, "%s %d = 0x%02X", c->name, arg[0], arg[1]);
}

static void DescribeEepromRead(SupplyText *t, const SupplyCommand *c, const unsigned char *arg,
                               int) {
    TextAppend(t, "%s %d", c->name, arg[0]);
}

static void DescribeLimit(SupplyText *t, const SupplyCommand *c, const unsigned char *arg, int) {
    TextAppend(t, "%s level %d (%d %%)", c->name, arg[0], arg[0] * 100 / LIMIT_FULL_SCALE);
}

// ---- reply describers ----

static void ReplyVolts(SupplyText *t, unsigned value, int vrange, int) {
    TextAppend(t, "%.1f V", value * static_cast<double>(vrange) / METER_FULL_SCALE);
}

static void ReplyMicroamps(SupplyText *t, unsigned value, int, int irange) {
    TextAppend(t, "%.2f uA", value * static_cast<double>(irange) / METER_FULL_SCALE);
}

static void ReplyDegrees(SupplyText *t, unsigned value, int, int) {
    TextAppend(t, "%.1f C",
               (value & TEMPERATURE_FULL_SCALE) * TEMPERATURE_SPAN_C / TEMPERATURE_FULL_SCALE);
}

static void ReplyMeter3(SupplyText *t, unsigned value, int, int) {
    TextAppend(t, "%.3f", (value >> 6) * METER3_SPAN_V / METER3_FULL_SCALE);
}

static void ReplyRevision(SupplyText *t, unsigned value, int, int) {
    TextAppend(t, "0x%04X", value);
}

// ---- the table ----

static const SupplyCommand COMMANDS[] = {
    // opcode, name, payload, reply data, handler, command words, reply words
    {OP_READ_METER + 0, "read meter 0", 1, 2, MeterVolts, nullptr, ReplyVolts},
    {OP_READ_METER + 1, "read meter 1", 1, 2, MeterCurrent, nullptr, ReplyMicroamps},
    {OP_READ_METER + 2, "read meter 2", 1, 2, MeterTemperature, nullptr, ReplyDegrees},
    {OP_READ_METER + 3, "read meter 3", 1, 2, MeterVolts10Bit, nullptr, ReplyMeter3},
    {OP_OUTPUT_OFF, "output off", 4, 0, OutputOff, DescribeOutputOff, nullptr},
    {OP_OUTPUT_ON, "output on", 4, 0, OutputOn, DescribeOutputOn, nullptr},
    {OP_WATCHDOG, "watchdog", 2, 0, SetWatchdog, DescribeWatchdog, nullptr},
    {OP_EEPROM_WRITE, "write EEPROM", 3, 0, WriteEeprom, DescribeEepromWrite, nullptr},
    {OP_EEPROM_READ, "read EEPROM", 2, 1, ReadEeprom, DescribeEepromRead, nullptr},
    {OP_FIRMWARE, "read firmware", 1, 2, ReadFirmware, nullptr, ReplyRevision},
    {OP_RESET, "reset", 1, 0, Reset, nullptr, nullptr},
    {OP_LIMIT_FIRST, "voltage limit", 2, 0, SetVoltageLimit, DescribeLimit, nullptr},
    {OP_LIMIT_SECOND, "current limit", 2, 0, SetCurrentLimit, DescribeLimit, nullptr},
    {OP_FAULT_FOLLOW_UP, "clear faults", 1, 0, ClearFaults, nullptr, nullptr},
    {OP_READ_RAW_METER + 0, "read raw meter 0", 1, 3, RawVolts, nullptr, nullptr},
    {OP_READ_RAW_METER + 1, "read raw meter 1", 1, 3, RawCurrent, nullptr, nullptr},
    {OP_READ_RAW_METER + 2, "read raw meter 2", 1, 3, RawTemperature, nullptr, nullptr},
    {OP_FAULT_QUERY, "fault query", 1, 1, QueryFaults, nullptr, nullptr},
};

const SupplyCommand *FindCommand(int opcode) {
    for (const SupplyCommand &c : COMMANDS)
        if (c.opcode == opcode)
            return &c;
    return nullptr;
}
