/*
 * device_open.h - the supply's EEPROM image and its ranges.
 *
 * EEPROM layout as the library reads and writes it (128 bytes):
 *
 *   address  size  content
 *   64       2     vrange, volts, unsigned big-endian
 *   66       2     irange, microamperes, unsigned big-endian
 *   126      2     checksum: plain sum of bytes 0..125, unsigned big-endian
 */
#ifndef K7340_DEVICE_OPEN_H
#define K7340_DEVICE_OPEN_H

#include "device_table.h"

enum {
    EEPROM_VRANGE = 64,
    EEPROM_IRANGE = 66,
    EEPROM_CHECKSUM = 126,
    VRANGE_MIN = 1000,
    VRANGE_MAX = 60000,
    IRANGE_MIN = 10,
    IRANGE_MAX = 500,
    DEFAULT_VRANGE = 60000,
    DEFAULT_IRANGE = 500,
    EEPROM_WRITE_PAUSE_MS = 100,
};

int ReadEepromByte(DeviceSlot *slot, int address, unsigned char *dst);
int WriteEepromByte(DeviceSlot *slot, int address, int value);
int LoadEepromImage(DeviceSlot *slot);
int EepromChecksum(const DeviceSlot *slot);
bool RangesValid(int vrange, int irange);
int WriteImageWord(DeviceSlot *slot, int address, int value);

#endif
