/*
 * example.c - drive a 7340 supply through the k7340 library.
 *
 * Opens the supply on a COM port, prints what it knows about it, sets an output voltage,
 * waits until the output gets there, reads the meters and flags, switches the output off
 * and closes. Usage: example [COM port number, 0 = COM1] [volts]
 *
 * Linux:   cc -I device_library docs/examples/example.c -L build/linux/lib -lk7340 \
 *             -Wl,-rpath,$PWD/build/linux/lib -o example
 * Windows: x86_64-w64-mingw32-gcc -I device_library docs/examples/example.c \
 *             -L build/mingw64/lib -lk7340 -o example.exe
 */
#include <stdio.h>
#include <stdlib.h>

#include "k7340.h"

#ifdef _WIN32
#include <windows.h>
static void SleepMs(unsigned ms) {
    Sleep(ms);
}
#else
#include <time.h>
static void SleepMs(unsigned ms) {
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

#define DEVICE 0 /* the library's device slot, 0..7 */

static void PrintFlags(int status, int faults) {
    static const struct {
        int mask;
        const char *label;
    } statusBits[] = {{K7340_STATUS_OVER_VOLTAGE, "OverV"},
                      {K7340_STATUS_OVER_CURRENT, "OverI"},
                      {K7340_STATUS_ENABLE, "Enable"},
                      {K7340_STATUS_EEPROM_BUSY, "EEBusy"},
                      {K7340_STATUS_FAULT, "Fault"},
                      {K7340_STATUS_OVER_TEMPERATURE, "OverT"},
                      {K7340_STATUS_COM_ERROR, "ComErr"},
                      {K7340_STATUS_RESET, "Reset"}},
      faultBits[] = {{K7340_FAULT_DAC, "DAC"},
                     {K7340_FAULT_ADC_CURRENT, "AdcI"},
                     {K7340_FAULT_ADC_VOLTAGE, "AdcV"},
                     {K7340_FAULT_EEPROM_CHECKSUM, "EESum"}};
    unsigned i;
    printf("status 0x%02X:", status);
    for (i = 0; i < sizeof statusBits / sizeof statusBits[0]; i++)
        if (status & statusBits[i].mask)
            printf(" %s", statusBits[i].label);
    printf("\nfaults 0x%02X:", faults);
    for (i = 0; i < sizeof faultBits / sizeof faultBits[0]; i++)
        if (faults & faultBits[i].mask)
            printf(" %s", faultBits[i].label);
    printf("\n");
}

int main(int argc, char **argv) {
    int comPort = argc > 1 ? atoi(argv[1]) : 0;
    double volts = argc > 2 ? atof(argv[2]) : 1000.0;
    const char *call = "K7340_OpenDevice";
    int code, firmware, vrange, irange, status, faults, i;
    double measured = 0.0, microamps, temperature;

    printf("k7340 library %s\n", K7340_GetApiVersion());

    code = K7340_OpenDevice(DEVICE, comPort);
    if (code == K7340_ERR_EEPROM_CHECKSUM || code == K7340_ERR_RANGES) {
        /* The supply answers, but its EEPROM is blank or out of bounds: default ranges. */
        printf("warning: %s; using the default ranges\n", K7340_GetErrString(code));
    } else if (code != K7340_OK) {
        printf("%s failed: %s (%d)\n", call, K7340_GetErrString(code), code);
        K7340_CloseDevice(DEVICE); /* releases the port if the open got that far */
        return 1;
    }

    call = "K7340_GetFwVersion";
    if ((code = K7340_GetFwVersion(DEVICE, &firmware)) != K7340_OK)
        goto fail;
    call = "K7340_GetRanges";
    if ((code = K7340_GetRanges(DEVICE, &vrange, &irange)) != K7340_OK)
        goto fail;
    printf("firmware %04X, ranges %d V, %d uA\n", firmware, vrange, irange);

    /* At 20 V and above the output is switched on; below it is off. */
    call = "K7340_SetVoltage";
    if ((code = K7340_SetVoltage(DEVICE, volts)) != K7340_OK)
        goto fail;
    printf("setpoint %.1f V\n", volts);

    /* The output slews towards the setpoint: poll for up to 5 s. */
    call = "K7340_ReadMeter";
    for (i = 0; i < 100; i++) {
        if ((code = K7340_ReadMeter(DEVICE, K7340_METER_VOLTAGE, &measured)) != K7340_OK)
            goto fail;
        if (measured > volts * 0.99 && measured < volts * 1.01)
            break;
        SleepMs(50);
    }
    if ((code = K7340_ReadMeter(DEVICE, K7340_METER_CURRENT, &microamps)) != K7340_OK)
        goto fail;
    if ((code = K7340_ReadMeter(DEVICE, K7340_METER_TEMPERATURE, &temperature)) != K7340_OK)
        goto fail;
    printf("output %.1f V, %.3f uA, temperature %.2f\n", measured, microamps, temperature);

    /* The status byte is the one cached from the last reply: no exchange. */
    call = "K7340_GetStatusFlags";
    if ((code = K7340_GetStatusFlags(DEVICE, &status)) != K7340_OK)
        goto fail;
    call = "K7340_GetFaultFlags";
    if ((code = K7340_GetFaultFlags(DEVICE, &faults)) != K7340_OK)
        goto fail;
    PrintFlags(status, faults);

    /* Closing sends nothing, so switch the output off first. */
    call = "K7340_SetVoltage";
    if ((code = K7340_SetVoltage(DEVICE, 0.0)) != K7340_OK)
        goto fail;
    K7340_CloseDevice(DEVICE);
    printf("output off, closed\n");
    return 0;

fail:
    printf("%s failed: %s (%d)\n", call, K7340_GetErrString(code), code);
    K7340_SetVoltage(DEVICE, 0.0);
    K7340_CloseDevice(DEVICE);
    return 1;
}
