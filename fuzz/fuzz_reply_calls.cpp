// The reply fuzz target's calls of the library, each checking what the call promises.
#include "fuzz_replies.h"

#include "fuzz_check.h"
#include "fuzz_serial_port.h"
#include "k7340.h"

#include <cmath>
#include <cstring>

// Byte counts for the raw port calls: bad, empty, short, a frame, the longest, too long.
static const int COUNTS[8] = {-1, 0, 1, 3, 5, 11, 12, 64};

void CallReadMeter() {
    const int index = TakeIndex();
    const int channel = TakeInt();
    const bool null = TakeNull();
    const int before = FuzzBytesLeft();
    double value = -12345.0;
    const int code = K7340_ReadMeter(index, channel, null ? nullptr : &value);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK || channel < 0 || channel > 3 || null) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "meter gave %d",
                   code);
        CheckNothingSent(before, "rejected meter read");
        FUZZ_CHECK(value == -12345.0, "rejected meter read wrote its output");
        return;
    }
    if (code != K7340_OK) {
        FUZZ_CHECK(IsExchangeCode(code), "meter gave %d", code);
        FUZZ_CHECK(value == -12345.0, "failed meter read wrote its output");
        return;
    }
    int vrange, irange;
    K7340_GetRanges(index, &vrange, &irange);
    const double highest[4] = {static_cast<double>(vrange), static_cast<double>(irange), 250.0,
                               5.0};
    FUZZ_CHECK(value >= 0.0 && value <= highest[channel], "channel %d read %g", channel, value);
}

void CallReadRawMeter() {
    const int index = TakeIndex();
    const int channel = TakeInt();
    const bool null = TakeNull();
    const int before = FuzzBytesLeft();
    const int old = -1;
    int value = old;
    const int code = K7340_ReadRawMeter(index, channel, null ? nullptr : &value);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK || null) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "raw gave %d", code);
        CheckNothingSent(before, "rejected raw meter read");
        FUZZ_CHECK(value == old, "rejected raw meter read wrote its output");
        return;
    }
    const int masked = channel == 2 ? old : (old & 0x7FFFFF);
    if (channel < 0 || channel > 2) {
        FUZZ_CHECK(code == K7340_ERR_ARGUMENT, "raw channel %d gave %d", channel, code);
        CheckNothingSent(before, "raw meter read of a bad channel");
        FUZZ_CHECK(value == masked, "bad raw channel left %d", value);
        return;
    }
    if (code != K7340_OK) {
        FUZZ_CHECK(IsExchangeCode(code), "raw gave %d", code);
        FUZZ_CHECK(value == masked, "failed raw read left %d", value);
        return;
    }
    FUZZ_CHECK(value >= 0 && value <= (channel == 2 ? 0xFFFFFF : 0x7FFFFF), "raw read %d", value);
}

void CallGetEeprom() {
    const int index = TakeIndex();
    const int address = TakeInt();
    const bool null = TakeNull();
    const int before = FuzzBytesLeft();
    unsigned char value = 0xA5;
    const int code = K7340_GetEEPROM(index, address, null ? nullptr : &value);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK || null || address < 0 || address > 127) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "eeprom gave %d",
                   code);
        CheckNothingSent(before, "rejected EEPROM read");
    } else {
        FUZZ_CHECK(code == K7340_OK || IsExchangeCode(code), "eeprom read gave %d", code);
    }
    if (code != K7340_OK)
        FUZZ_CHECK(value == 0xA5, "failed EEPROM read wrote its output");
}

void CallSetEeprom() {
    const int index = TakeIndex();
    const int address = TakeInt();
    const int value = TakeInt();
    const int before = FuzzBytesLeft();
    const int code = K7340_SetEEPROM(index, address, value);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK || address < 0 || address > 127) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "set eeprom gave %d",
                   code);
        CheckNothingSent(before, "rejected EEPROM write");
    } else {
        FUZZ_CHECK(code == K7340_OK || IsExchangeCode(code), "EEPROM write gave %d", code);
    }
}

void CallGetRanges() {
    const int index = TakeIndex();
    const bool null = TakeNull();
    int vrange = -7, irange = -7;
    const int code = K7340_GetRanges(index, null ? nullptr : &vrange, &irange);
    const int lookup = LookupCode(index);
    FUZZ_CHECK(code == (lookup != K7340_OK ? lookup
                        : null             ? K7340_ERR_ARGUMENT
                                           : K7340_OK),
               "get ranges gave %d", code);
    if (code == K7340_OK)
        CheckRangesValid(index);
    else
        FUZZ_CHECK(vrange == -7 && irange == -7, "failed GetRanges wrote its outputs");
}

void CallSetRanges() {
    const int index = TakeIndex();
    const int vrange = TakeInt();
    const int irange = TakeInt();
    const int before = FuzzBytesLeft();
    const int code = K7340_SetRanges(index, vrange, irange);
    const int lookup = LookupCode(index);
    const bool valid = vrange >= 1000 && vrange <= 60000 && irange >= 10 && irange <= 500;
    if (lookup != K7340_OK || !valid) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "set ranges %d",
                   code);
        CheckNothingSent(before, "rejected SetRanges");
        return;
    }
    FUZZ_CHECK(code == K7340_OK || IsExchangeCode(code), "set ranges gave %d", code);
    int nowV, nowI;
    K7340_GetRanges(index, &nowV, &nowI);
    FUZZ_CHECK(nowV == vrange && nowI == irange, "SetRanges did not adopt %d/%d", vrange, irange);
}

void CallReadPort() {
    const int index = TakeIndex();
    int b;
    FuzzTakeByte(&b);
    const int asked = COUNTS[b & 7];
    const bool null = TakeNull();
    // Exactly as large as asked for, so ASan sees any byte written past it.
    unsigned char *buffer = static_cast<unsigned char *>(malloc(asked > 0 ? asked : 1));
    int count = asked;
    const int before = FuzzBytesLeft();
    const int code = K7340_ReadPort(index, null ? nullptr : buffer, &count);
    free(buffer);
    const int lookup = LookupCode(index);
    // A count of 0 needs no buffer: it reads nothing and fails as an empty read (-4, count 0).
    if (lookup != K7340_OK || (null && asked > 0) || asked < 0) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "read port %d",
                   code);
        CheckNothingSent(before, "rejected ReadPort");
        FUZZ_CHECK(count == asked, "rejected ReadPort changed the count");
        return;
    }
    FUZZ_CHECK(count >= 0 && count <= asked, "ReadPort of %d gave %d bytes", asked, count);
    FUZZ_CHECK(code == K7340_OK ? count > 0 : code == K7340_ERR_READ, "ReadPort gave %d", code);
}

void CallWritePort() {
    const int index = TakeIndex();
    int b;
    FuzzTakeByte(&b);
    const int count = COUNTS[b & 7];
    unsigned char *buffer = static_cast<unsigned char *>(malloc(count > 0 ? count : 1));
    memset(buffer, 0x5A, count > 0 ? count : 1);
    const int before = FuzzBytesLeft();
    const int code = K7340_WritePort(index, buffer, count);
    free(buffer);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK || count < 0) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "write port %d",
                   code);
        CheckNothingSent(before, "rejected WritePort");
        return;
    }
    FUZZ_CHECK(code == K7340_OK || code == K7340_ERR_WRITE, "WritePort gave %d", code);
}

void CallFirmware() {
    const int index = TakeIndex();
    const bool null = TakeNull();
    int version = -3;
    const int code = K7340_GetFwVersion(index, null ? nullptr : &version);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK) {
        FUZZ_CHECK(code == lookup, "firmware gave %d", code);
    } else {
        FUZZ_CHECK(code == K7340_OK || IsExchangeCode(code), "firmware gave %d", code);
    }
    if (code == K7340_OK && !null)
        FUZZ_CHECK(version >= 0 && version <= 0xFFFF, "firmware %d", version);
    else
        FUZZ_CHECK(version == -3, "firmware output written by a failed or null call");
}

void CallStatus() {
    const int index = TakeIndex();
    const bool null = TakeNull();
    const int before = FuzzBytesLeft();
    int flags = -3;
    const int code = K7340_GetStatusFlags(index, null ? nullptr : &flags);
    const int lookup = LookupCode(index);
    FUZZ_CHECK(code == (lookup != K7340_OK ? lookup
                        : null             ? K7340_ERR_ARGUMENT
                                           : K7340_OK),
               "status gave %d", code);
    CheckNothingSent(before, "status flags");
    if (code == K7340_OK)
        FUZZ_CHECK(flags >= 0 && flags <= 255, "status %d", flags);
}

void CallFault() {
    const int index = TakeIndex();
    const bool null = TakeNull();
    int flags = -3;
    const int code = K7340_GetFaultFlags(index, null ? nullptr : &flags);
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK) {
        FUZZ_CHECK(code == lookup, "fault gave %d", code);
        FUZZ_CHECK(flags == -3, "rejected fault query wrote its output");
        return;
    }
    FUZZ_CHECK(code == K7340_OK || IsExchangeCode(code), "fault gave %d", code);
    // After a failed follow-up the output already holds the fault byte.
    FUZZ_CHECK(flags == -3 ? code != K7340_OK || null : flags >= 0 && flags <= 255,
               "fault flags %d with code %d", flags, code);
}

// The calls that only report an exchange: setpoint, watchdog, limits, reset.
void CallCommand(int which) {
    const int index = TakeIndex();
    int code;
    bool refused = false;
    int before = FuzzBytesLeft();
    if (which == 0) {
        const double volts = TakeVolts();
        refused = std::isnan(volts);
        before = FuzzBytesLeft();
        code = K7340_SetVoltage(index, volts);
    } else if (which == 1) {
        code = K7340_SetWD(index, static_cast<unsigned>(TakeInt()));
    } else if (which == 2) {
        const int first = TakeInt();
        code = K7340_SetLimits(index, first, TakeInt());
    } else {
        code = K7340_Reset(index);
    }
    const int lookup = LookupCode(index);
    if (lookup != K7340_OK) {
        FUZZ_CHECK(code == lookup, "command %d gave %d", which, code);
        return;
    }
    if (refused) {
        FUZZ_CHECK(code == K7340_ERR_ARGUMENT, "NaN setpoint gave %d", code);
        CheckNothingSent(before, "NaN setpoint");
        return;
    }
    FUZZ_CHECK(code == K7340_OK || IsExchangeCode(code), "command %d gave %d", which, code);
}

void CallTexts() {
    const int code = TakeInt();
    const char *text = K7340_GetErrString(code);
    FUZZ_CHECK(text != nullptr && text[0] != '\0', "no text for %d", code);
    if (!IsTableCode(code))
        FUZZ_CHECK(strcmp(text, "System error") == 0, "code %d gave \"%s\"", code, text);
    FUZZ_CHECK(strcmp(K7340_GetApiVersion(), "2.0.0") == 0, "version text");
}
