// Fuzz target: arbitrary reply bytes, in arbitrary pieces and with silences, fed to every
// exported call of the library through the fuzz port. Besides ASan and UBSan it checks what
// each call promises: codes from the library's table, outputs written only on success and
// within their ranges, nothing sent for a bad index, closed slot or bad argument, and no spin.
#include "fuzz_check.h"
#include "fuzz_serial_port.h"
#include "k7340.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

static int g_modelOpen[K7340_MAX_DEVICES];

static const int INDICES[16] = {0, 0, 0, 0, 0, 0, 1, 1, 2, 7, -1, 8, 9, 3, INT_MAX, INT_MIN};
static const int SMALL_INTS[16] = {0,   1,   2,   3,   4,    -1,    5,       12,
                                   127, 128, 255, 500, 1000, 60000, INT_MAX, INT_MIN};
static const int COUNTS[8] = {-1, 0, 1, 3, 5, 11, 12, 64};
static const double VOLTS[8] = {0.0, -5.0, 19.999, 20.0, 1000.0, 60000.0, 1.0e12, -1.0e300};

static int TakeIndex() {
    int b;
    FuzzTakeByte(&b);
    return INDICES[b & 15];
}

// A small interesting value most of the time, else four raw bytes.
static int TakeInt() {
    int b;
    FuzzTakeByte(&b);
    if (b < 0xC0)
        return SMALL_INTS[b & 15];
    unsigned value = 0;
    for (int i = 0; i < 4; i++) {
        int next;
        FuzzTakeByte(&next);
        value = (value << 8) | static_cast<unsigned>(next);
    }
    return static_cast<int>(value);
}

static double TakeVolts() {
    int b;
    FuzzTakeByte(&b);
    if (b < 0xC0)
        return VOLTS[b & 7];
    unsigned long long bits = 0;
    for (int i = 0; i < 8; i++) {
        int next;
        FuzzTakeByte(&next);
        bits = (bits << 8) | static_cast<unsigned>(next);
    }
    double volts;
    memcpy(&volts, &bits, sizeof volts);
    return volts;
}

// 1 in 16 pointer arguments is null.
static bool TakeNull() {
    int b;
    FuzzTakeByte(&b);
    return (b & 15) == 15;
}

static bool IndexValid(int index) {
    return index >= 0 && index < K7340_MAX_DEVICES;
}

// What GetSlot and GetOpenSlot answer before anything else happens; 0 when the call goes on.
static int LookupCode(int index) {
    if (!IndexValid(index))
        return K7340_ERR_ARGUMENT;
    return g_modelOpen[index] ? K7340_OK : K7340_ERR_CLOSED;
}

static bool IsTableCode(int code) {
    return code <= 0 && code >= K7340_ERR_NO_PORT;
}
static bool IsExchangeCode(int code) {
    return code == K7340_ERR_WRITE || code == K7340_ERR_READ || code == K7340_ERR_CHECKSUM;
}

// A call that must not reach the port: the stream is untouched.
static void CheckNothingSent(int before, const char *call) {
    FUZZ_CHECK(FuzzBytesLeft() == before, "%s reached the port", call);
}

static void CheckRangesValid(int index) {
    int vrange = -1, irange = -1;
    FUZZ_CHECK(K7340_GetRanges(index, &vrange, &irange) == K7340_OK, "GetRanges on an open slot");
    FUZZ_CHECK(vrange >= 1000 && vrange <= 60000 && irange >= 10 && irange <= 500,
               "ranges %d/%d out of bounds", vrange, irange);
}

static void CallOpen() {
    const int index = TakeIndex();
    const int comPort = TakeInt() & 7;
    const int before = FuzzBytesLeft();
    const int code = K7340_OpenDevice(index, comPort);
    if (!IndexValid(index)) {
        FUZZ_CHECK(code == K7340_ERR_ARGUMENT, "open of index %d gave %d", index, code);
        return;
    }
    if (g_modelOpen[index]) {
        FUZZ_CHECK(code == K7340_OK, "open of an open slot gave %d", code);
        CheckNothingSent(before, "open of an open slot");
        return;
    }
    if (code == K7340_ERR_NO_PORT || code == 16) {
        FUZZ_CHECK(!FuzzPortIsOpen(index), "failed port open left the port open");
        return;
    }
    FUZZ_CHECK(code == K7340_OK || code == K7340_ERR_RANGES || code == K7340_ERR_EEPROM_CHECKSUM ||
                   IsExchangeCode(code),
               "open gave %d", code);
    g_modelOpen[index] = 1;
    CheckRangesValid(index);
}

static void CallClose() {
    const int index = TakeIndex();
    const int code = K7340_CloseDevice(index);
    FUZZ_CHECK(code == LookupCode(index), "close of %d gave %d", index, code);
    if (code == K7340_OK) {
        g_modelOpen[index] = 0;
        FUZZ_CHECK(!FuzzPortIsOpen(index), "close left the port open");
    }
}

static void CallReadMeter() {
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

static void CallReadRawMeter() {
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

static void CallGetEeprom() {
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

static void CallSetEeprom() {
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

static void CallGetRanges() {
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

static void CallSetRanges() {
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

static void CallReadPort() {
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
    if (lookup != K7340_OK || null || asked < 0) {
        FUZZ_CHECK(code == (lookup != K7340_OK ? lookup : K7340_ERR_ARGUMENT), "read port %d",
                   code);
        CheckNothingSent(before, "rejected ReadPort");
        FUZZ_CHECK(count == asked, "rejected ReadPort changed the count");
        return;
    }
    FUZZ_CHECK(count >= 0 && count <= asked, "ReadPort of %d gave %d bytes", asked, count);
    FUZZ_CHECK(code == K7340_OK ? count > 0 : code == K7340_ERR_READ, "ReadPort gave %d", code);
}

static void CallWritePort() {
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

static void CallFirmware() {
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

static void CallStatus() {
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

static void CallFault() {
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
static void CallCommand(int which) {
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

static void CallTexts() {
    const int code = TakeInt();
    const char *text = K7340_GetErrString(code);
    FUZZ_CHECK(text != nullptr && text[0] != '\0', "no text for %d", code);
    if (!IsTableCode(code))
        FUZZ_CHECK(strcmp(text, "System error") == 0, "code %d gave \"%s\"", code, text);
    FUZZ_CHECK(strcmp(K7340_GetApiVersion(), "2.0.0") == 0, "version text");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Every run starts with all slots closed, as when the library has just been loaded.
    for (int i = 0; i < K7340_MAX_DEVICES; i++) {
        K7340_CloseDevice(i);
        g_modelOpen[i] = 0;
    }
    FuzzPortBegin(data, size);
    int calls = 0;
    while (FuzzBytesLeft() > 0 && calls++ < 64) {
        int which;
        FuzzTakeByte(&which);
        FuzzResetReadCount();
        switch (which % 19) {
        case 0:
            CallOpen();
            break;
        case 1:
            CallClose();
            break;
        case 2:
            CallReadMeter();
            break;
        case 3:
            CallReadRawMeter();
            break;
        case 4:
            CallGetEeprom();
            break;
        case 5:
            CallSetEeprom();
            break;
        case 6:
            CallGetRanges();
            break;
        case 7:
            CallSetRanges();
            break;
        case 8:
            CallReadPort();
            break;
        case 9:
            CallWritePort();
            break;
        case 10:
            CallFirmware();
            break;
        case 11:
            CallStatus();
            break;
        case 12:
            CallFault();
            break;
        case 13:
            CallCommand(0);
            break;
        case 14:
            CallCommand(1);
            break;
        case 15:
            CallCommand(2);
            break;
        case 16:
            CallCommand(3);
            break;
        default:
            CallTexts();
            break;
        }
        // One read pass per reply byte at most: a longest reply is 11 bytes.
        FUZZ_CHECK(FuzzReadsSinceWrite() <= 11, "%d reads for one reply", FuzzReadsSinceWrite());
    }
    return 0;
}
