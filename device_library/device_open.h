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

// One EEPROM read exchange: the byte at address (0..127) into *dst; 0, -2 for an address out
// of range or a null dst (nothing is sent), or the exchange's -3, -4, -5.
int ReadEepromByte(DeviceSlot *slot, int address, unsigned char *dst);

// One EEPROM write exchange: the command, the supply's programming pause, then its reply.
// Codes as ReadEepromByte. The slot's image is not changed here.
int WriteEepromByte(DeviceSlot *slot, int address, int value);

// Reads all 128 bytes into the slot's image and takes the ranges from it: 0, the first failed
// exchange's code, -9 for a bad checksum or -8 for ranges out of bounds. On any error the slot
// falls back to DEFAULT_VRANGE and DEFAULT_IRANGE.
int LoadEepromImage(DeviceSlot *slot);

// Plain sum of image bytes 0..125, as stored big-endian at EEPROM_CHECKSUM.
int EepromChecksum(const DeviceSlot *slot);

// True when both ranges lie within VRANGE_MIN..VRANGE_MAX and IRANGE_MIN..IRANGE_MAX.
bool RangesValid(int vrange, int irange);

// Stores value big-endian at address and address + 1 in the image, then writes both bytes to
// the supply (high byte first); stops at the first failed write and returns its code.
int WriteImageWord(DeviceSlot *slot, int address, int value);

#endif
