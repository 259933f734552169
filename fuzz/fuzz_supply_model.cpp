// Fuzz target: arbitrary command bytes, at arbitrary times and with fault injection switched
// while it runs, fed to the simulated supply; plus the traffic decoder on arbitrary frames.
// Checks besides ASan and UBSan: the model's state stays within its bounds, every text is
// terminated within its buffer, and while no fault corrupts the line every byte the supply
// sends belongs to a reply frame with a good checksum.
#include "fuzz_check.h"
#include "supply_model.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

static SupplyModel g_model; // large: keep it off the stack

static const uint8_t *g_data;
static size_t g_size;
static size_t g_next;

static int Take() {
    return g_next < g_size ? g_data[g_next++] : 0;
}
static bool More() {
    return g_next < g_size;
}

// A heap copy of exactly count stream bytes, so ASan sees any read past a frame.
static unsigned char *TakeBytes(int count) {
    unsigned char *bytes = static_cast<unsigned char *>(malloc(count > 0 ? count : 1));
    for (int i = 0; i < count; i++)
        bytes[i] = static_cast<unsigned char>(Take());
    return bytes;
}

static void CheckText(const char *text, int length, int max) {
    if (max <= 0) {
        FUZZ_CHECK(length == 0, "length %d for no room", length);
        return;
    }
    FUZZ_CHECK(length >= 0 && length < max, "text length %d in %d bytes", length, max);
    FUZZ_CHECK(strlen(text) == static_cast<size_t>(length), "text length %d but strlen %zu", length,
               strlen(text));
}

static void CheckModel(const SupplyModel *m) {
    FUZZ_CHECK(m->outHead >= 0 && m->outHead <= m->outCount && m->outCount <= SUPPLY_OUT_MAX,
               "output queue %d..%d", m->outHead, m->outCount);
    FUZZ_CHECK(m->rxCount >= 0 && m->rxCount < SUPPLY_RX_MAX, "receive buffer holds %d",
               m->rxCount);
    FUZZ_CHECK(m->log.count >= 0 && m->log.count <= SUPPLY_LOG_LINES, "log holds %d", m->log.count);
    const int status = SupplyStatus(m);
    const int fault = SupplyFaultByte(m);
    FUZZ_CHECK(status >= 0 && status <= 255 && fault >= 0 && fault <= 255, "status %d fault %d",
               status, fault);
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    FUZZ_CHECK(vrange >= 1000 && vrange <= 60000 && irange >= 10 && irange <= 500,
               "scaling ranges %d/%d", vrange, irange);
    // An EEPROM write can shrink vrange under a running output, which then slews down: the
    // bound is the largest range there is.
    const double volts = SupplyVolts(m);
    FUZZ_CHECK(std::isfinite(volts) && volts >= 0.0 && volts <= 60000.0 * (1.0 + 1e-9),
               "output %g V", volts);
    FUZZ_CHECK(std::isfinite(SupplyTemperature(m)), "temperature");
}

static void SetFaults(SupplyFaults *f) {
    const int which = Take();
    const int value = Take();
    switch (which % 7) {
    case 0:
        f->silent = value & 1;
        break;
    case 1:
        f->silentAfterWrites = value - 128;
        break;
    case 2:
        f->corrupt = value & 1;
        break;
    case 3:
        f->splitGapUs = static_cast<int64_t>(value - 16) * 1000;
        break;
    case 4:
        f->delayUs = static_cast<int64_t>(value - 16) * 1000;
        break;
    case 5:
        f->noiseBytes = value - 16;
        break;
    default:
        f->noiseDelayUs = static_cast<int64_t>(value - 16) * 100;
        break;
    }
}

// Every byte sent must continue a frame: length, status, data, checksum.
struct ReplyParser {
    unsigned char frame[16];
    int have;
    bool clean; // no corruption or noise has been switched on
};

static void ParseReplyBytes(ReplyParser *p, const unsigned char *bytes, int count) {
    for (int i = 0; i < count && p->clean; i++) {
        if (p->have == 0)
            FUZZ_CHECK(bytes[i] >= 3 && bytes[i] <= 11, "reply starts with length %d", bytes[i]);
        p->frame[p->have++] = bytes[i];
        if (p->have == p->frame[0]) {
            unsigned sum = 0;
            for (int j = 0; j < p->have - 1; j++)
                sum += p->frame[j];
            FUZZ_CHECK((sum & 0xFF) == p->frame[p->have - 1], "reply checksum");
            p->have = 0;
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_data = data;
    g_size = size;
    g_next = 0;

    SupplyConfig config;
    const int shape = Take();
    config.eeprom = static_cast<EepromPreset>(shape % 3);
    config.wire = (shape >> 2) & 1;
    config.log = (shape >> 3) & 1;
    if ((shape >> 4) & 1)
        config.slewVPerS = 0.0;
    config.forceStatus = Take();
    config.forceFault = Take();
    const double loads[4] = {250e6, 1e3, 0.0, -1.0};
    config.loadOhms = loads[Take() & 3];
    SupplyInit(&g_model, &config);

    ReplyParser parser = {};
    parser.clean = true;
    int64_t nowUs = 0;
    int ops = 0;
    while (More() && ops++ < 256) {
        const int control = Take();
        switch (control & 7) {
        case 0:
        case 1:
        case 2: {
            nowUs += (control >> 3) * 250;
            const int count = 1 + Take() % 16;
            unsigned char *bytes = TakeBytes(count);
            SupplyReceive(&g_model, bytes, count, nowUs);
            free(bytes);
            break;
        }
        case 3: {
            const int max = control >> 3;
            unsigned char *buf = TakeBytes(max);
            const int n = SupplyTakeOutput(&g_model, buf, max, nowUs);
            FUZZ_CHECK(n >= 0 && n <= max, "took %d of %d", n, max);
            ParseReplyBytes(&parser, buf, n);
            free(buf);
            break;
        }
        case 4:
            nowUs += static_cast<int64_t>(Take()) * 1000 + (control >> 3);
            SupplyAdvance(&g_model, nowUs);
            break;
        case 5:
            SetFaults(SupplyFaultsOf(&g_model));
            if (g_model.faults.corrupt || g_model.faults.noiseBytes > 0)
                parser.clean = false;
            break;
        case 6: {
            const int count = Take() % 20;
            const int max = Take() % 200;
            unsigned char *frame = TakeBytes(count);
            char *text = static_cast<char *>(malloc(max > 0 ? max : 1));
            const int length = SupplyDescribeCommand(frame, count, 1000 + Take() * 200, text, max);
            CheckText(text, length, max);
            free(text);
            free(frame);
            break;
        }
        default: {
            const int commandCount = Take() % 16;
            const int replyCount = Take() % 16;
            const int max = Take() % 200;
            unsigned char *command = TakeBytes(commandCount);
            unsigned char *reply = TakeBytes(replyCount);
            char *text = static_cast<char *>(malloc(max > 0 ? max : 1));
            const int length = SupplyDescribeReply(command, commandCount, reply, replyCount, 60000,
                                                   500, text, max);
            CheckText(text, length, max);
            char line[SUPPLY_LOG_TEXT];
            int64_t at;
            while (SupplyTakeLog(&g_model, line, sizeof line, &at, nowUs))
                FUZZ_CHECK(strlen(line) < sizeof line && at <= nowUs, "log line");
            free(text);
            free(reply);
            free(command);
            break;
        }
        }
        CheckModel(&g_model);
    }
    return 0;
}
