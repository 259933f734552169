// The fuzzers' OS seam: reply bytes, pieces, silences and failures from the fuzz input, and a
// virtual clock. It also checks the core's side of the seam contract.
#include "fuzz_serial_port.h"

#include "fuzz_check.h"
#include "k7340.h"
#include "serial_port.h"

static const uint8_t *g_data;
static size_t g_size;
static size_t g_next;
static int64_t g_nowUs;
static int g_readsSinceWrite;
static int g_open[K7340_MAX_DEVICES];

static const int64_t READ_TIMEOUT_US = 100000;

void FuzzPortBegin(const uint8_t *data, size_t size) {
    g_data = data;
    g_size = size;
    g_next = 0;
    g_nowUs = 0;
    g_readsSinceWrite = 0;
    for (int &open : g_open)
        open = 0;
}

int FuzzTakeByte(int *value) {
    if (g_next >= g_size) {
        *value = 0;
        return 0;
    }
    *value = g_data[g_next++];
    return 1;
}

int FuzzBytesLeft() {
    return static_cast<int>(g_size - g_next);
}
int64_t FuzzNowUs() {
    return g_nowUs;
}
int FuzzReadsSinceWrite() {
    return g_readsSinceWrite;
}
void FuzzResetReadCount() {
    g_readsSinceWrite = 0;
}

int FuzzPortIsOpen(int index) {
    return index >= 0 && index < K7340_MAX_DEVICES ? g_open[index] : 0;
}

static void CheckIndex(int index, bool mustBeOpen) {
    FUZZ_CHECK(index >= 0 && index < K7340_MAX_DEVICES, "port index %d out of the table", index);
    if (mustBeOpen)
        FUZZ_CHECK(g_open[index], "port %d used while closed", index);
}

int OpenPort(int index, int comPort) {
    (void)comPort;
    CheckIndex(index, false);
    FUZZ_CHECK(!g_open[index], "port %d opened twice", index);
    int control;
    FuzzTakeByte(&control);
    if (control >= 0xFC)
        return 16;
    if (control >= 0xF8)
        return K7340_ERR_NO_PORT;
    g_open[index] = 1;
    return 0;
}

int PortRead(int index, unsigned char *buf, int *count) {
    CheckIndex(index, true);
    FUZZ_CHECK(buf != nullptr && count != nullptr, "read with a null buffer or count");
    g_readsSinceWrite++;
    const int wanted = *count;
    *count = 0;
    if (wanted <= 0)
        return K7340_ERR_READ;
    int control;
    if (!FuzzTakeByte(&control) || control < 0x20) {
        g_nowUs += READ_TIMEOUT_US;
        return K7340_ERR_READ;
    }
    if (control < 0x28)
        return K7340_ERR_READ;
    int piece = 1 + (control & 7);
    if (piece > wanted)
        piece = wanted;
    int got = 0;
    int value;
    while (got < piece && FuzzTakeByte(&value))
        buf[got++] = static_cast<unsigned char>(value);
    if (got == 0) {
        g_nowUs += READ_TIMEOUT_US;
        return K7340_ERR_READ;
    }
    g_nowUs += (control >> 3) * 1000;
    *count = got;
    return K7340_OK;
}

int PortWrite(int index, const unsigned char *buf, int count) {
    CheckIndex(index, true);
    FUZZ_CHECK(count >= 0, "write of %d bytes", count);
    FUZZ_CHECK(count == 0 || buf != nullptr, "write from a null buffer");
    g_readsSinceWrite = 0;
    // Touch every byte so that ASan sees a write from beyond the caller's buffer.
    unsigned sum = 0;
    for (int i = 0; i < count; i++)
        sum += buf[i];
    (void)sum;
    int control;
    FuzzTakeByte(&control);
    return control >= 0xF0 ? K7340_ERR_WRITE : K7340_OK;
}

void PortPurgeInput(int index) {
    CheckIndex(index, true);
}

int PortClose(int index) {
    CheckIndex(index, true);
    g_open[index] = 0;
    return 0;
}

void Pause(unsigned milliseconds) {
    g_nowUs += static_cast<int64_t>(milliseconds) * 1000;
}

long long MonotonicMs() {
    return g_nowUs / 1000;
}
