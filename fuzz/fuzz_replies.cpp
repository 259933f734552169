// Fuzz target: arbitrary reply bytes, in arbitrary pieces and with silences, fed to every
// exported call of the library through the fuzz port. Besides ASan and UBSan it checks what
// each call promises: codes from the library's table, outputs written only on success and
// within their ranges, nothing sent for a bad index, closed slot or bad argument, and no spin.
#include "fuzz_replies.h"

#include "fuzz_check.h"
#include "fuzz_serial_port.h"
#include "k7340.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

int g_modelOpen[K7340_MAX_DEVICES];

static const int INDICES[16] = {0, 0, 0, 0, 0, 0, 1, 1, 2, 7, -1, 8, 9, 3, INT_MAX, INT_MIN};
static const int SMALL_INTS[16] = {0,   1,   2,   3,   4,    -1,    5,       12,
                                   127, 128, 255, 500, 1000, 60000, INT_MAX, INT_MIN};
static const double VOLTS[8] = {0.0, -5.0, 19.999, 20.0, 1000.0, 60000.0, 1.0e12, -1.0e300};

int TakeIndex() {
    int b;
    FuzzTakeByte(&b);
    return INDICES[b & 15];
}

// A small interesting value most of the time, else four raw bytes.
int TakeInt() {
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

double TakeVolts() {
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
bool TakeNull() {
    int b;
    FuzzTakeByte(&b);
    return (b & 15) == 15;
}

bool IndexValid(int index) {
    return index >= 0 && index < K7340_MAX_DEVICES;
}

// What GetSlot and GetOpenSlot answer before anything else happens; 0 when the call goes on.
int LookupCode(int index) {
    if (!IndexValid(index))
        return K7340_ERR_ARGUMENT;
    return g_modelOpen[index] ? K7340_OK : K7340_ERR_CLOSED;
}

bool IsTableCode(int code) {
    return code <= 0 && code >= K7340_ERR_NO_PORT;
}
bool IsExchangeCode(int code) {
    return code == K7340_ERR_WRITE || code == K7340_ERR_READ || code == K7340_ERR_CHECKSUM;
}

// A call that must not reach the port: the stream is untouched.
void CheckNothingSent(int before, const char *call) {
    FUZZ_CHECK(FuzzBytesLeft() == before, "%s reached the port", call);
}

void CheckRangesValid(int index) {
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

// The calls by the input's selector byte, modulo their count (the corpus relies on the order).
static void CallSetpoint() {
    CallCommand(0);
}
static void CallWatchdog() {
    CallCommand(1);
}
static void CallLimits() {
    CallCommand(2);
}
static void CallReset() {
    CallCommand(3);
}
static void (*const CALLS[])() = {
    CallOpen,      CallClose,     CallReadMeter, CallReadRawMeter, CallGetEeprom,
    CallSetEeprom, CallGetRanges, CallSetRanges, CallReadPort,     CallWritePort,
    CallFirmware,  CallStatus,    CallFault,     CallSetpoint,     CallWatchdog,
    CallLimits,    CallReset,     CallTexts,     CallTexts,
};
static const int CALL_COUNT = sizeof CALLS / sizeof CALLS[0];

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
        CALLS[which % CALL_COUNT]();
        // One read pass per reply byte at most: a longest reply is 11 bytes.
        FUZZ_CHECK(FuzzReadsSinceWrite() <= 11, "%d reads for one reply", FuzzReadsSinceWrite());
    }
    return 0;
}
