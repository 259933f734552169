/*
 * device_table.h - the library's device slots and the two slot lookups every call starts with.
 */
#ifndef K7340_DEVICE_TABLE_H
#define K7340_DEVICE_TABLE_H

enum { EEPROM_SIZE = 128 };

// One per device index; zero when the library loads, never freed or reset.
struct DeviceSlot {
    int irange;    // full-scale current, microamperes
    int vrange;    // full-scale output voltage, volts
    int status;    // status byte of the most recent reply that passed its checksum
    int portIndex; // this slot's entry in the port table (equals its device index)
    int open;      // 1 from a successful port open until close
    unsigned char eeprom[EEPROM_SIZE]; // the library's copy of the supply's EEPROM

    // Set when a framed exchange failed on its read, cleared once the next one has waited.
    int readFailed;
    long long readFailedAtMs; // MonotonicMs() when that read gave up
};

// 0 and the slot, or -2 for an index of 8 or more (compared unsigned, so negatives count as large).
int GetSlot(int index, DeviceSlot **slot);

// As GetSlot, then -1 if the slot is not open.
int GetOpenSlot(int index, DeviceSlot **slot);

enum { SYSTEM_ERROR_NOT_FUNCTIONING = 31 };

// The code of a port step that failed with this operating-system error number: the number, or
// SYSTEM_ERROR_NOT_FUNCTIONING when it is 0 or too large for a positive int. Never 0.
int SystemErrorCode(unsigned long osError);

#endif
