/*
 * supply_line.cpp - the serial line as the supply sees it: frame reassembly, one command frame
 * through the command table to its reply, the output queue with wire timing, and the injected
 * faults (silence, corrupt checksums, delay, split replies, noise).
 */
#include "supply_internal.h"

#include <cstring>

static const int64_t FRAME_TIMEOUT_US = 100000; // a partial frame this old is dropped
static const int64_t BYTE_NS = 173611;          // 10 bits at 57600 baud

static int64_t CeilUs(int64_t ns) {
    return (ns + 999) / 1000;
}

// ---- the output queue ----

// Behind a USB adapter a byte reaches the host only when the adapter's latency timer fires.
static int64_t AtLatencyTick(const SupplyModel *m, int64_t releaseUs) {
    const int64_t tick = m->config.usbLatencyUs;
    if (tick <= 0 || releaseUs <= 0)
        return releaseUs;
    return (releaseUs + tick - 1) / tick * tick;
}

static void QueueByte(SupplyModel *m, unsigned char value, int64_t releaseUs, bool noise) {
    if (m->outHead > 0 && m->outCount == SUPPLY_OUT_MAX) { // compact
        memmove(m->out, m->out + m->outHead, (m->outCount - m->outHead) * sizeof m->out[0]);
        m->outCount -= m->outHead;
        m->outHead = 0;
    }
    if (m->outCount == SUPPLY_OUT_MAX)
        return; // host is not reading at all: the line just loses bytes
    SupplyOutByte *b = &m->out[m->outCount++];
    b->value = value;
    b->releaseUs = AtLatencyTick(m, releaseUs);
    b->noise = noise;
}

static int64_t LastQueuedUs(const SupplyModel *m) {
    return m->outCount > m->outHead ? m->out[m->outCount - 1].releaseUs : INT64_MIN;
}

// The supply stops babbling when it is spoken to: drop junk that is not out yet.
static void DropPendingNoise(SupplyModel *m, int64_t nowUs) {
    bool dropped = false;
    while (m->outCount > m->outHead && m->out[m->outCount - 1].noise &&
           m->out[m->outCount - 1].releaseUs > nowUs) {
        m->outCount--;
        dropped = true;
    }
    if (dropped && m->txWireNs > nowUs * 1000) {
        const int64_t last = LastQueuedUs(m);
        m->txWireNs = last > nowUs ? last * 1000 : nowUs * 1000;
    }
}

static uint32_t NextNoise(SupplyModel *m) {
    m->noiseSeed = m->noiseSeed * 1103515245u + 12345u;
    return m->noiseSeed >> 16;
}

static void QueueNoise(SupplyModel *m, int64_t afterUs) {
    int noise = m->faults.noiseBytes;
    if (noise > SUPPLY_NOISE_MAX)
        noise = SUPPLY_NOISE_MAX;
    if (noise <= 0)
        return;
    int64_t at = afterUs + (m->faults.noiseDelayUs > 0 ? m->faults.noiseDelayUs : 0);
    if (m->config.wire) {
        const int64_t endNs = at * 1000 + noise * BYTE_NS;
        m->txWireNs = endNs;
        at = CeilUs(endNs);
    }
    for (int i = 0; i < noise; i++)
        QueueByte(m, static_cast<unsigned char>(NextNoise(m)), at, true);
}

// Queues one reply frame for a command completed at arrivalUs (arrivalNs on the wire).
// Returns the release time of its last byte; fills frame with the bytes as made.
static int64_t QueueReply(SupplyModel *m, const unsigned char *data, int n, int64_t arrivalUs,
                          int64_t arrivalNs, unsigned char *frame) {
    const int k = n + 3;
    frame[0] = static_cast<unsigned char>(k);
    frame[1] = static_cast<unsigned char>(SupplyStatus(m));
    memcpy(frame + 2, data, n);
    frame[k - 1] = static_cast<unsigned char>(SumBytes(frame, k - 1) + (m->faults.corrupt ? 1 : 0));

    int k1 = k, k2 = 0;
    if (m->faults.splitGapUs > 0) {
        k1 = k / 2;
        k2 = k - k1;
    }
    const int64_t delay = m->faults.delayUs > 0 ? m->faults.delayUs : 0;
    const int64_t gap = m->faults.splitGapUs > 0 ? m->faults.splitGapUs : 0;
    int64_t first, second;
    if (m->config.wire) {
        const int64_t start = (arrivalNs > m->txWireNs ? arrivalNs : m->txWireNs) + delay * 1000;
        const int64_t firstNs = start + k1 * BYTE_NS;
        const int64_t secondNs = k2 > 0 ? firstNs + gap * 1000 + k2 * BYTE_NS : firstNs;
        m->txWireNs = secondNs;
        first = CeilUs(firstNs);
        second = CeilUs(secondNs);
    } else {
        first = arrivalUs + delay;
        second = first + (k2 > 0 ? gap : 0);
    }
    const int64_t last = LastQueuedUs(m);
    if (first < last) { // the line is still busy with an earlier reply
        second += last - first;
        first = last;
    }
    for (int i = 0; i < k; i++)
        QueueByte(m, frame[i], i < k1 ? first : second, false);
    QueueNoise(m, second);
    return second;
}

// ---- one frame ----

static bool IsSilent(const SupplyModel *m) {
    return m->faults.silent ||
           (m->faults.silentAfterWrites >= 0 && m->answeredWrites >= m->faults.silentAfterWrites);
}

// A complete frame of L bytes sits at rx[0]: checks it, runs its table row and queues the
// reply. Returns false when the frame is rejected (then only its first byte is to be dropped).
static bool HandleFrame(SupplyModel *m, int64_t atUs, int64_t atNs) {
    const unsigned char *frame = m->rx;
    const int count = frame[0];
    const SupplyCommand *c = FindCommand(frame[1]);
    if ((SumBytes(frame, count - 1) & 0xFF) != frame[count - 1] || c == nullptr ||
        c->payload != count - 2) {
        LogCommand(m, atUs, frame, count, ": ignored");
        return false;
    }

    SupplyAdvance(m, atUs);
    if (IsSilent(m)) {
        LogCommand(m, atUs, frame, count, " (silent: no reply)");
        return true;
    }
    LogCommand(m, atUs, frame, count, "");

    m->lastCommandUs = atUs;
    m->watchdogTripped = false;
    unsigned char data[REPLY_DATA_MAX];
    const int n = c->handle(m, frame + 2, data);
    AdvancePhysics(m, atUs); // an instant output has already moved
    unsigned char reply[REPLY_DATA_MAX + 3];
    const int64_t releasedUs = QueueReply(m, data, n, atUs, atNs, reply);
    if (m->resetRepliesLeft > 0 && --m->resetRepliesLeft == 0)
        m->resetFlag = false;
    LogReply(m, releasedUs, frame, count, reply, n + 3);
    return true;
}

static void DropRx(SupplyModel *m, int count) {
    memmove(m->rx, m->rx + count, m->rxCount - count);
    m->rxCount -= count;
}

static void ParseFrames(SupplyModel *m, int64_t atUs, int64_t atNs) {
    while (m->rxCount > 0) {
        const int length = m->rx[0];
        if (length < FRAME_MIN || length > FRAME_MAX) {
            PushLog(m, atUs, "> %02X  junk byte (no frame starts with this length): ignored",
                    length);
            DropRx(m, 1);
            continue;
        }
        if (m->rxCount < length)
            return;
        DropRx(m, HandleFrame(m, atUs, atNs) ? length : 1);
    }
}

// ---- the calls ----

void SupplyReceive(SupplyModel *m, const unsigned char *bytes, int count, int64_t nowUs) {
    for (int i = 0; i < count; i++) {
        int64_t atUs = nowUs;
        int64_t atNs = nowUs * 1000;
        if (m->config.wire) {
            atNs = (atNs > m->rxWireNs ? atNs : m->rxWireNs) + BYTE_NS;
            m->rxWireNs = atNs;
            atUs = CeilUs(atNs);
        }
        DropPendingNoise(m, atUs);
        if (m->rxCount > 0 && atUs - m->rxLastUs > FRAME_TIMEOUT_US) {
            PushLog(m, atUs, "> incomplete frame of %d bytes timed out: dropped", m->rxCount);
            m->rxCount = 0;
        }
        m->rx[m->rxCount++] = bytes[i];
        m->rxLastUs = atUs;
        ParseFrames(m, atUs, atNs);
    }
}

int SupplyTakeOutput(SupplyModel *m, unsigned char *buf, int max, int64_t nowUs) {
    int n = 0;
    while (n < max && m->outHead < m->outCount && m->out[m->outHead].releaseUs <= nowUs)
        buf[n++] = m->out[m->outHead++].value;
    if (m->outHead == m->outCount) {
        m->outHead = 0;
        m->outCount = 0;
    }
    return n;
}

int64_t SupplyNextOutputUs(const SupplyModel *m) {
    return m->outHead < m->outCount ? m->out[m->outHead].releaseUs : -1;
}
