/*
 * instrument.h - the supply's command set above the frame exchange.
 *
 * Setpoint code: unsigned 24-bit, 16777215 stands for vrange volts. Watchdog count: 8-bit, in
 * 10 ms units. Limit level: 0..63, 63 stands for 100 percent.
 */
#ifndef K7340_INSTRUMENT_H
#define K7340_INSTRUMENT_H

#include "device_table.h"

enum {
    SETPOINT_FULL_SCALE = 0xFFFFFF,
    WATCHDOG_MAX_COUNT = 255,
    LIMIT_FULL_SCALE = 63,
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
