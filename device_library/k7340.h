/*
 * k7340.h - device access library for the Vantrel 7340 high-voltage power supply.
 *
 * The supply is attached to a serial (COM) port and spoken to at 57600 baud, 8N1, with a short
 * request/reply frame protocol. This library is the only component that talks to it.
 *
 * Devices
 *   A caller names a supply by a device index, 0 to 7. Open it with K7340_OpenDevice, make any
 *   calls on that index, then close it with K7340_CloseDevice. A port left open stays open until
 *   the process ends.
 *
 * Return codes
 *   Every call except K7340_GetApiVersion and K7340_GetErrString returns a signed 32-bit code:
 *   0 on success, one of the negative K7340_ERR_ codes below on a library failure, or a positive
 *   operating-system error number passed through from the port open. K7340_GetErrString turns
 *   any code into a static text ("System error" for every code not in the table).
 *
 *   K7340_OpenDevice's -9 (EEPROM checksum) and -8 (ranges out of bounds) are warnings in
 *   effect: the port is open and the supply answers, and the library works with the default
 *   ranges (60000 V, 500 uA). After any other failing open that got as far as the port (-3, -4,
 *   -5), the slot is open too, with the default ranges: call K7340_CloseDevice before trying
 *   again. A second K7340_OpenDevice on that slot returns 0 at once and reads no EEPROM.
 *
 * Outputs
 *   Output arguments are written only when a call succeeds, with two exceptions stated at their
 *   calls: K7340_ReadPort always sets its count, and K7340_ReadRawMeter masks its output even
 *   after a failure. A null output pointer is refused with -2 before anything is sent, except
 *   where a call says null is accepted.
 *
 * Timing and threads
 *   Every call blocks until its exchanges end. A silent supply costs 100 to 200 ms per exchange;
 *   an open is 128 exchanges; K7340_SetRanges pauses 100 ms after each of its six writes;
 *   K7340_Reset pauses about one second. The 100 ms bound holds for each read of a reply, not
 *   for the whole exchange: a reply that trickles in one byte every 99 ms is accepted, and a
 *   4-byte reply then costs about 4 x 99 ms. The library has no locks and keeps all its state
 *   per device index: calls on different device indexes may run in different threads at once;
 *   calls on one index must come from one thread at a time. K7340_OpenDevice reads the
 *   environment (K7340_COM<n> on POSIX): do not change the environment while an open runs. It
 *   never allocates from the heap.
 *
 *   Replies carry no sequence number. Input is discarded before every command, and after an
 *   exchange failed on its read (-4, -5) the next exchange on that slot first waits until one
 *   full time-out (100 ms) has passed since the failure, then discards what arrived: a reply up
 *   to 100 ms late is thrown away, never taken for the next command's answer. An exchange
 *   that follows a good one costs nothing extra; a silent supply costs up to about 200 ms per
 *   exchange. K7340_ReadPort and K7340_WritePort neither wait nor discard.
 *
 * Windows
 *   The 32-bit DLL exports every call with the standard Windows calling convention under its
 *   decorated name (_K7340_OpenDevice@8, ...); the 64-bit DLL exports the plain names.
 */
#ifndef K7340_H
#define K7340_H

#if defined(_WIN32)
#define K7340_CALL __stdcall
#if defined(_WIN64) && defined(K7340_BUILDING_LIBRARY)
#define K7340_API __declspec(dllexport)
#else
#define K7340_API /* exported through k7340.def */
#endif
#else
#define K7340_CALL
#define K7340_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define K7340_MAX_DEVICES 8

#define K7340_OK 0
#define K7340_ERR_CLOSED (-1)          /* "Device closed" */
#define K7340_ERR_ARGUMENT (-2)        /* "Illegal argument value" */
#define K7340_ERR_WRITE (-3)           /* "Device write failed" */
#define K7340_ERR_READ (-4)            /* "Device read failed" */
#define K7340_ERR_CHECKSUM (-5)        /* "Communication checksum error" */
#define K7340_ERR_COMMAND (-6)         /* "Invalid serial command" */
#define K7340_ERR_REPLY (-7)           /* "Invalid serial reply" */
#define K7340_ERR_RANGES (-8)          /* "Invalid setpoint/meter ranges" */
#define K7340_ERR_EEPROM_CHECKSUM (-9) /* "EEPROM checksum error" */
#define K7340_ERR_NO_PORT (-10)        /* "COM port busy or not found" */

/* Status byte bits (K7340_GetStatusFlags): cached from every reply. */
#define K7340_STATUS_OVER_VOLTAGE 0x01
#define K7340_STATUS_OVER_CURRENT 0x02
#define K7340_STATUS_ENABLE 0x04
#define K7340_STATUS_EEPROM_BUSY 0x08
#define K7340_STATUS_FAULT 0x10
#define K7340_STATUS_OVER_TEMPERATURE 0x20
#define K7340_STATUS_COM_ERROR 0x40
#define K7340_STATUS_RESET 0x80

/* Fault byte bits (K7340_GetFaultFlags); bits 0, 1, 2 and 4 have no meaning assigned. */
#define K7340_FAULT_DAC 0x08
#define K7340_FAULT_ADC_CURRENT 0x20
#define K7340_FAULT_ADC_VOLTAGE 0x40
#define K7340_FAULT_EEPROM_CHECKSUM 0x80

/* Meter channels (K7340_ReadMeter; K7340_ReadRawMeter takes the first three). */
#define K7340_METER_VOLTAGE 0     /* output voltage, volts */
#define K7340_METER_CURRENT 1     /* output current, microamperes */
#define K7340_METER_TEMPERATURE 2 /* temperature, 0 to 250.0 */
#define K7340_METER_TEN_BIT 3     /* a ten-bit reading scaled to 0 to 5.0 */

/* --- Device open and close, ranges, EEPROM ------------------------------------------------ */

/* Opens COM port comPort (0 = COM1) for device slot index and loads the supply's 128-byte EEPROM
 * image. Returns 0, -2 (index), -10 or an OS error number (port), an exchange code (-3, -4, -5)
 * or -9/-8 (EEPROM unusable, defaults in force). On an open slot it returns 0 and sends nothing,
 * even when comPort names another port, and also after a failed open that left the slot open
 * (-3, -4, -5, -8, -9): call K7340_CloseDevice before retrying. */
K7340_API int K7340_CALL K7340_OpenDevice(int index, int comPort);

/* Closes the slot's port. Sends nothing: the output is not switched off. */
K7340_API int K7340_CALL K7340_CloseDevice(int index);

/* The static text "2.0.0". Needs no open slot. */
K7340_API const char *K7340_CALL K7340_GetApiVersion(void);

/* The static text of a code; never null, never to be freed. */
K7340_API const char *K7340_CALL K7340_GetErrString(int code);

/* Raw port access, no framing and no purge. ReadPort reads up to *count bytes (at most about
 * 100 ms) and sets *count to the number read; it returns 0 when at least one byte arrived, else
 * -4 (also for a count of 0). WritePort of 0 bytes writes nothing and returns 0. A negative
 * count is refused with -2, and so is a NULL count or a NULL buffer with a count above 0; with
 * a count of 0 the buffer may be NULL. */
K7340_API int K7340_CALL K7340_ReadPort(int index, unsigned char *buffer, int *count);
K7340_API int K7340_CALL K7340_WritePort(int index, const unsigned char *buffer, int count);

/* The slot's full-scale ranges: vrange in volts, irange in microamperes. No exchange. */
K7340_API int K7340_CALL K7340_GetRanges(int index, int *vrange, int *irange);

/* Validates (1000..60000 V, 10..500 uA, else -2), adopts at once and programs the ranges into
 * the EEPROM with a fresh checksum: six byte writes of 100 ms or more each. */
K7340_API int K7340_CALL K7340_SetRanges(int index, int vrange, int irange);

/* One EEPROM byte, address 0..127 (else -2). Neither call touches the library's image.
 * K7340_SetEEPROM writes the low 8 bits of value and ignores the rest: 0x1FF writes 0xFF. */
K7340_API int K7340_CALL K7340_GetEEPROM(int index, int address, unsigned char *value);
K7340_API int K7340_CALL K7340_SetEEPROM(int index, int address, int value);

/* --- Instrument commands ------------------------------------------------------------------- */

/* Firmware revision 0..65535. version may be NULL: the exchange is made, the value dropped. */
K7340_API int K7340_CALL K7340_GetFwVersion(int index, int *version);

/* The status byte of the most recent good reply. Sends nothing. */
K7340_API int K7340_CALL K7340_GetStatusFlags(int index, int *flags);

/* Fault query, then the fault follow-up command. flags may be NULL. */
K7340_API int K7340_CALL K7340_GetFaultFlags(int index, int *flags);

/* One reading of K7340_METER_VOLTAGE (volts), K7340_METER_CURRENT (microamperes),
 * K7340_METER_TEMPERATURE or K7340_METER_TEN_BIT (0 to 5.0); any other channel is -2. */
K7340_API int K7340_CALL K7340_ReadMeter(int index, int channel, double *value);

/* Raw 24-bit meter channel K7340_METER_VOLTAGE, K7340_METER_CURRENT or K7340_METER_TEMPERATURE
 * (else -2). For every channel but the temperature the output's bits 23 to 31 are cleared
 * whatever the result, so a failed call leaves the old value masked. */
K7340_API int K7340_CALL K7340_ReadRawMeter(int index, int channel, int *value);

/* Below 20.0 V the output is switched off; otherwise it is on at that voltage (clamped to
 * vrange). A NaN request is refused with -2 and nothing is sent. */
K7340_API int K7340_CALL K7340_SetVoltage(int index, double volts);

/* Watchdog period, rounded up to 10 ms units, 0 (off) to 2550 ms; larger values give 2550. */
K7340_API int K7340_CALL K7340_SetWD(int index, unsigned int milliseconds);

/* Two limit levels in percent (above 100 counts as 100, below 0 as 0). */
K7340_API int K7340_CALL K7340_SetLimits(int index, int first, int second);

/* Output off, 500 ms, reset command, 500 ms, input discarded; returns the Off's code (the reset
 * command's reply is never read). When the Off fails, the reset command is still sent, at once,
 * without the pauses and without the discard. */
K7340_API int K7340_CALL K7340_Reset(int index);

#ifdef __cplusplus
}
#endif

#endif /* K7340_H */
