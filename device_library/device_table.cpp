// Device slots, slot lookups, error texts and the version string.
#include "device_table.h"

#include "k7340.h"

static DeviceSlot g_slots[K7340_MAX_DEVICES];

int GetSlot(int index, DeviceSlot **slot) {
    if (static_cast<unsigned>(index) >= K7340_MAX_DEVICES)
        return K7340_ERR_ARGUMENT;
    *slot = &g_slots[index];
    return K7340_OK;
}

int GetOpenSlot(int index, DeviceSlot **slot) {
    int code = GetSlot(index, slot);
    if (code != K7340_OK)
        return code;
    return (*slot)->open ? K7340_OK : K7340_ERR_CLOSED;
}

// A system that fails a step without naming a cause, or with a number that is no positive int
// (it could read as a library code), still failed: 31 is Windows' "a device attached to the
// system is not functioning". Reporting 0 would mark the slot open on a closed handle.
int SystemErrorCode(unsigned long osError) {
    return osError != 0 && osError <= 0x7FFFFFFFul ? static_cast<int>(osError)
                                                   : SYSTEM_ERROR_NOT_FUNCTIONING;
}

static const char *const g_errorTexts[] = {
    "No errors",
    "Device closed",
    "Illegal argument value",
    "Device write failed",
    "Device read failed",
    "Communication checksum error",
    "Invalid serial command",
    "Invalid serial reply",
    "Invalid setpoint/meter ranges",
    "EEPROM checksum error",
    "COM port busy or not found",
};

extern "C" const char *K7340_CALL K7340_GetErrString(int code) {
    if (code <= 0 && code >= K7340_ERR_NO_PORT)
        return g_errorTexts[-code];
    return "System error";
}

extern "C" const char *K7340_CALL K7340_GetApiVersion(void) {
    return "2.0.0";
}
