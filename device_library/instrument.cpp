// Setpoint, meters, raw meters, watchdog, limits, reset, firmware revision, status and faults.
#include "instrument.h"

#include "frame_exchange.h"
#include "k7340.h"
#include "serial_port.h"

static const double OUTPUT_ON_THRESHOLD = 20.0;
static const double TEMPERATURE_SPAN = 250.0; // what TEMPERATURE_FULL_SCALE stands for
static const double TEN_BIT_SPAN = 5.0;       // what TEN_BIT_FULL_SCALE stands for

// As GetOpenSlot, then -2 for a null output pointer.
static int GetOpenSlotFor(int index, const void *output, DeviceSlot **slot) {
    const int code = GetOpenSlot(index, slot);
    return code == K7340_OK && output == nullptr ? K7340_ERR_ARGUMENT : code;
}

// The exchange of a command that is its opcode alone.
static int TransactOpcode(DeviceSlot *slot, CommandId command, int *out) {
    const unsigned char payload[] = {COMMANDS[command].opcode};
    return Transact(slot, command, payload, out);
}

// The exchange of a command of its opcode and one argument byte, with no reply data.
static int TransactArgument(DeviceSlot *slot, CommandId command, unsigned argument) {
    const unsigned char payload[] = {COMMANDS[command].opcode,
                                     static_cast<unsigned char>(argument)};
    return Transact(slot, command, payload, nullptr);
}

unsigned SetpointCode(double volts, int vrange) {
    const double scaled = volts / vrange * static_cast<double>(SETPOINT_FULL_SCALE) + 0.5;
    // Compared before converting: a huge request must clamp, not overflow the conversion.
    if (!(scaled < SETPOINT_FULL_SCALE + 1.0))
        return SETPOINT_FULL_SCALE;
    return static_cast<unsigned>(scaled);
}

int ApplySetpoint(DeviceSlot *slot, double volts) {
    // A NaN would take the output-on path with an undefined code: refuse it.
    if (volts != volts)
        return K7340_ERR_ARGUMENT;
    CommandId command = CMD_OUTPUT_OFF;
    unsigned char payload[4] = {OP_OUTPUT_OFF, 0, 0, 0};
    if (!(volts < OUTPUT_ON_THRESHOLD)) {
        const unsigned code = SetpointCode(volts, slot->vrange);
        command = CMD_OUTPUT_ON;
        payload[0] = OP_OUTPUT_ON;
        payload[1] = static_cast<unsigned char>(code >> 16);
        payload[2] = static_cast<unsigned char>(code >> 8);
        payload[3] = static_cast<unsigned char>(code);
    }
    return Transact(slot, command, payload, nullptr);
}

unsigned WatchdogCount(unsigned milliseconds) {
    // Rounded up to whole ticks: 2541 ms still gives 255.
    const unsigned longest = WATCHDOG_MAX_COUNT * WATCHDOG_TICK_MS - (WATCHDOG_TICK_MS - 1);
    if (milliseconds > longest)
        return WATCHDOG_MAX_COUNT;
    return (milliseconds + WATCHDOG_TICK_MS - 1) / WATCHDOG_TICK_MS;
}

int LimitLevel(int percent) {
    if (percent > LIMIT_FULL_PERCENT)
        return LIMIT_FULL_SCALE;
    if (percent < 0)
        return 0; // the command carries 0..63; a negative level would go out as 0xFF
    return percent * LIMIT_FULL_SCALE / LIMIT_FULL_PERCENT;
}

double MeterValue(int channel, unsigned r, int vrange, int irange) {
    const double fullScale = METER_FULL_SCALE;
    switch (channel) {
    case K7340_METER_VOLTAGE:
        // The product can exceed 32 bits (65535 x 60000) but is exact in a double.
        return static_cast<double>(r) * vrange / fullScale;
    case K7340_METER_CURRENT:
        return static_cast<double>(r) * irange / fullScale;
    case K7340_METER_TEMPERATURE:
        return (r & TEMPERATURE_FULL_SCALE) * (TEMPERATURE_SPAN / TEMPERATURE_FULL_SCALE);
    default:
        return (r >> TEN_BIT_SHIFT) * TEN_BIT_SPAN / TEN_BIT_FULL_SCALE;
    }
}

extern "C" int K7340_CALL K7340_SetVoltage(int index, double volts) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    return ApplySetpoint(slot, volts);
}

extern "C" int K7340_CALL K7340_ReadMeter(int index, int channel, double *value) {
    DeviceSlot *slot;
    int code = GetOpenSlotFor(index, value, &slot);
    if (code != K7340_OK)
        return code;
    if (channel < K7340_METER_VOLTAGE || channel > K7340_METER_TEN_BIT)
        return K7340_ERR_ARGUMENT;
    const unsigned char payload[] = {static_cast<unsigned char>(OP_READ_METER + channel)};
    int r;
    code = Transact(slot, CMD_READ_METER, payload, &r);
    if (code != K7340_OK)
        return code;
    *value = MeterValue(channel, static_cast<unsigned>(r), slot->vrange, slot->irange);
    return K7340_OK;
}

extern "C" int K7340_CALL K7340_ReadRawMeter(int index, int channel, int *value) {
    DeviceSlot *slot;
    int code = GetOpenSlotFor(index, value, &slot);
    if (code != K7340_OK)
        return code;
    if (channel < K7340_METER_VOLTAGE || channel > K7340_METER_TEMPERATURE) {
        code = K7340_ERR_ARGUMENT;
    } else {
        const unsigned char payload[] = {static_cast<unsigned char>(OP_READ_RAW_METER + channel)};
        code = Transact(slot, CMD_READ_RAW_METER, payload, value);
    }
    // The mask runs whatever happened above.
    if (channel != K7340_METER_TEMPERATURE)
        *value &= RAW_METER_MASK;
    return code;
}

extern "C" int K7340_CALL K7340_SetWD(int index, unsigned int milliseconds) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    return TransactArgument(slot, CMD_WATCHDOG, WatchdogCount(milliseconds));
}

extern "C" int K7340_CALL K7340_SetLimits(int index, int first, int second) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    code = TransactArgument(slot, CMD_LIMIT_FIRST, LimitLevel(first));
    if (code != K7340_OK)
        return code;
    return TransactArgument(slot, CMD_LIMIT_SECOND, LimitLevel(second));
}

extern "C" int K7340_CALL K7340_Reset(int index) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    code = ApplySetpoint(slot, 0.0);
    if (code == K7340_OK)
        Pause(RESET_PAUSE_MS);
    const unsigned char payload[] = {OP_RESET};
    SendCommandFrame(slot, payload, COMMANDS[CMD_RESET].payloadLength); // its reply is never read
    if (code == K7340_OK) {
        Pause(RESET_PAUSE_MS);
        PortPurgeInput(slot->portIndex);
    }
    return code;
}

extern "C" int K7340_CALL K7340_GetFwVersion(int index, int *version) {
    DeviceSlot *slot;
    const int code = GetOpenSlot(index, &slot);
    return code != K7340_OK ? code : TransactOpcode(slot, CMD_FIRMWARE, version);
}

extern "C" int K7340_CALL K7340_GetStatusFlags(int index, int *flags) {
    DeviceSlot *slot;
    const int code = GetOpenSlotFor(index, flags, &slot);
    if (code != K7340_OK)
        return code;
    *flags = slot->status & 0xFF;
    return K7340_OK;
}

extern "C" int K7340_CALL K7340_GetFaultFlags(int index, int *flags) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    code = TransactOpcode(slot, CMD_FAULT_QUERY, flags);
    if (code != K7340_OK)
        return code;
    return TransactOpcode(slot, CMD_FAULT_FOLLOW_UP, nullptr);
}
