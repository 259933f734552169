/*
 * instrument.h - the supply's command set above the frame exchange.
 *
 * Setpoint code: unsigned 24-bit, 16777215 stands for vrange volts. Watchdog count: 8-bit, in
 * 10 ms units. Limit level: 0..63, 63 stands for 100 percent. Meter replies: 16 bits, 65535
 * stands for vrange volts or irange microamperes; the temperature in the low 15 bits, 32767
 * standing for 250.0; the ten-bit reading in bits 6 to 15, 1023 standing for 5.0. Raw meters
 * carry 24 bits, of which voltage and current use the low 23.
 */
#ifndef K7340_INSTRUMENT_H
#define K7340_INSTRUMENT_H

#include "device_table.h"

enum {
    SETPOINT_FULL_SCALE = 0xFFFFFF,
    WATCHDOG_MAX_COUNT = 255,
    WATCHDOG_TICK_MS = 10,
    LIMIT_FULL_SCALE = 63,
    LIMIT_FULL_PERCENT = 100,
    METER_FULL_SCALE = 0xFFFF,
    TEMPERATURE_FULL_SCALE = 0x7FFF,
    TEN_BIT_SHIFT = 6,
    TEN_BIT_FULL_SCALE = 1023,
    RAW_METER_MASK = 0x7FFFFF, // the raw voltage and current: 23 bits
    RESET_PAUSE_MS = 500,
};

// Below 20.0 V: output off at code 0; otherwise on at the rounded, clamped code. -2 for NaN.
int ApplySetpoint(DeviceSlot *slot, double volts);

// The 24-bit setpoint code for a request of at least 20.0 V (not NaN).
unsigned SetpointCode(double volts, int vrange);

// Watchdog count for a period in milliseconds, rounded up to 10 ms, at most 255.
unsigned WatchdogCount(unsigned milliseconds);

// Limit level 0..63 for a percentage; above 100 counts as 100, below 0 as 0.
int LimitLevel(int percent);

// The reading of meter channel 0..3 for the 16-bit reply value r.
double MeterValue(int channel, unsigned r, int vrange, int irange);

#endif
