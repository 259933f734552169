/*
 * supply_model.cpp - the simulated 7340 supply: frames, commands, physics, fault injection and
 * the traffic decoder. Behaviour is described at the top of supply_model.h.
 */
#include "supply_model.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Frame and command layout.
//
//   command:  L | opcode | arguments ... | checksum      L = payload + 2, 3..13
//   reply:    N+3 | status | data (N bytes, big-endian) | checksum
const int kFrameMin = 3;
const int kFrameMax = 13;
const int64_t kFrameTimeoutUs = 100000; // a partial frame this old is dropped
const int64_t kByteNs = 173611;         // 10 bits at 57600 baud
const int kLevelNoLimit = 63;
const int kDefaultVrange = 60000;
const int kDefaultIrange = 500;
const double kRoomTemperature = 25.0;
const double kDegreesPerWatt = 0.4;
const double kThermalTauS = 60.0;

enum Opcode {
    OP_METER0 = 0x00,
    OP_METER3 = 0x03,
    OP_OUTPUT_OFF = 0x10,
    OP_OUTPUT_ON = 0x11,
    OP_WATCHDOG = 0xF0,
    OP_EEPROM_WRITE = 0xF1,
    OP_EEPROM_READ = 0xF2,
    OP_FIRMWARE = 0xF3,
    OP_RESET = 0xF4,
    OP_LIMIT_VOLTAGE = 0xF6,
    OP_LIMIT_CURRENT = 0xF7,
    OP_CLEAR_FAULTS = 0xF8,
    OP_RAW0 = 0xF9,
    OP_RAW2 = 0xFB,
    OP_FAULT_QUERY = 0xFC,
};

struct CommandShape {
    int opcode;
    int payload;   // payload bytes, opcode included
    int replyData; // data bytes in the reply
};

const CommandShape kCommands[] = {
    {0x00, 1, 2}, {0x01, 1, 2}, {0x02, 1, 2}, {0x03, 1, 2}, {0x10, 4, 0}, {0x11, 4, 0},
    {0xF0, 2, 0}, {0xF1, 3, 0}, {0xF2, 2, 1}, {0xF3, 1, 2}, {0xF4, 1, 0}, {0xF6, 2, 0},
    {0xF7, 2, 0}, {0xF8, 1, 0}, {0xF9, 1, 3}, {0xFA, 1, 3}, {0xFB, 1, 3}, {0xFC, 1, 1},
};

const char *const kStatusNames[8] = {"OverV", "OverI", "Enable", "EEBusy",
                                     "Fault", "OverT", "ComErr", "Reset"};

const CommandShape *FindCommand(int opcode) {
    for (const CommandShape &c : kCommands) {
        if (c.opcode == opcode) {
            return &c;
        }
    }
    return nullptr;
}

int SumBytes(const unsigned char *bytes, int count) {
    int sum = 0;
    for (int i = 0; i < count; i++) {
        sum += bytes[i];
    }
    return sum;
}

bool RangesUsable(int vrange, int irange) {
    return vrange >= 1000 && vrange <= 60000 && irange >= 10 && irange <= 500;
}

long Clamp(double value, long high) {
    long v = lround(value);
    return v < 0 ? 0 : (v > high ? high : v);
}

int64_t CeilUs(int64_t ns) {
    return (ns + 999) / 1000;
}

// Appends formatted text at *len, never past max - 1.
void Append(char *text, int max, int *len, const char *format, ...) {
    if (*len >= max - 1) {
        return;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + *len, max - *len, format, args);
    va_end(args);
    if (n > 0) {
        *len += n < max - 1 - *len ? n : max - 1 - *len;
    }
}

void AppendHex(char *text, int max, int *len, const unsigned char *bytes, int count) {
    for (int i = 0; i < count; i++) {
        Append(text, max, len, i == 0 ? "%02X" : " %02X", bytes[i]);
    }
}

void AppendStatus(char *text, int max, int *len, int status) {
    Append(text, max, len, "status 0x%02X", status);
    const char *sep = " (";
    for (int bit = 0; bit < 8; bit++) {
        if (status & (1 << bit)) {
            Append(text, max, len, "%s%s", sep, kStatusNames[bit]);
            sep = " ";
        }
    }
    if (status != 0) {
        Append(text, max, len, ")");
    }
}

// Command in words; does not check the checksum.
void AppendCommandWords(char *text, int max, int *len, const unsigned char *frame, int count,
                        int vrange) {
    int opcode = frame[1];
    const CommandShape *shape = FindCommand(opcode);
    if (shape == nullptr) {
        Append(text, max, len, "unknown opcode 0x%02X", opcode);
        return;
    }
    if (count - 2 != shape->payload) {
        Append(text, max, len, "opcode 0x%02X with %d payload bytes, expected %d", opcode,
               count - 2, shape->payload);
        return;
    }
    const unsigned char *arg = frame + 2;
    // Only the setpoint commands carry a 3-byte code; shorter frames end before arg[2].
    unsigned code =
        shape->payload == 4 ? (unsigned)arg[0] << 16 | (unsigned)arg[1] << 8 | arg[2] : 0;
    switch (opcode) {
    case OP_OUTPUT_OFF:
        if (code != 0) {
            Append(text, max, len, "output off (code %u)", code);
        } else {
            Append(text, max, len, "output off");
        }
        break;
    case OP_OUTPUT_ON:
        Append(text, max, len, "set %.1f V, output on", code * (double)vrange / 16777215.0);
        break;
    case OP_WATCHDOG:
        if (arg[0] == 0) {
            Append(text, max, len, "watchdog 0 (off)");
        } else {
            Append(text, max, len, "watchdog %d (%d ms)", arg[0], arg[0] * 10);
        }
        break;
    case OP_EEPROM_WRITE:
        Append(text, max, len, "write EEPROM %d = 0x%02X", arg[0], arg[1]);
        break;
    case OP_EEPROM_READ:
        Append(text, max, len, "read EEPROM %d", arg[0]);
        break;
    case OP_FIRMWARE:
        Append(text, max, len, "read firmware");
        break;
    case OP_RESET:
        Append(text, max, len, "reset");
        break;
    case OP_LIMIT_VOLTAGE:
    case OP_LIMIT_CURRENT:
        Append(text, max, len, "%s limit level %d (%d %%)",
               opcode == OP_LIMIT_VOLTAGE ? "voltage" : "current", arg[0], arg[0] * 100 / 63);
        break;
    case OP_CLEAR_FAULTS:
        Append(text, max, len, "clear faults");
        break;
    case OP_FAULT_QUERY:
        Append(text, max, len, "fault query");
        break;
    default:
        if (opcode <= OP_METER3) {
            Append(text, max, len, "read meter %d", opcode);
        } else {
            Append(text, max, len, "read raw meter %d", opcode - OP_RAW0);
        }
        break;
    }
}

// ---- model internals ----

void PushLog(SupplyModel *m, int64_t timeUs, const char *format, ...) {
    if (!m->config.log) {
        return;
    }
    if (m->logCount == SUPPLY_LOG_LINES) { // full: drop the oldest
        m->logHead = (m->logHead + 1) % SUPPLY_LOG_LINES;
        m->logCount--;
    }
    SupplyLogLine *line = &m->log[(m->logHead + m->logCount) % SUPPLY_LOG_LINES];
    line->timeUs = timeUs;
    va_list args;
    va_start(args, format);
    vsnprintf(line->text, sizeof line->text, format, args);
    va_end(args);
    m->logCount++;
}

void LogFrame(SupplyModel *m, int64_t timeUs, char direction, const unsigned char *bytes, int count,
              const char *words) {
    char hex[3 * SUPPLY_RX_MAX + 1];
    int len = 0;
    AppendHex(hex, sizeof hex, &len, bytes, count);
    PushLog(m, timeUs, "%c %s  %s", direction, hex, words);
}

double TargetVolts(const SupplyModel *m) {
    if (!m->enabled) {
        return 0.0;
    }
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    return m->setpointCode * (double)vrange / 16777215.0;
}

void AdvancePhysics(SupplyModel *m, int64_t toUs) {
    double target = TargetVolts(m);
    if (m->config.slewVPerS <= 0) {
        m->volts = target; // follows at once, even within the same microsecond
    }
    if (m->physicsUs < 0 || toUs <= m->physicsUs) {
        if (m->physicsUs < 0) {
            m->physicsUs = toUs;
        }
        return;
    }
    double dt = (toUs - m->physicsUs) / 1e6;
    double step = m->config.slewVPerS * dt;
    if (m->config.slewVPerS <= 0 || fabs(target - m->volts) <= step) {
        m->volts = target;
    } else {
        m->volts += target > m->volts ? step : -step;
    }
    double watts = m->config.loadOhms > 0 ? m->volts * m->volts / m->config.loadOhms : 0.0;
    double settled = kRoomTemperature + kDegreesPerWatt * watts;
    m->temperature += (settled - m->temperature) * (1.0 - exp(-dt / kThermalTauS));
    m->physicsUs = toUs;
}

void QueueByte(SupplyModel *m, unsigned char value, int64_t releaseUs, bool noise) {
    if (m->outHead > 0 && m->outCount == SUPPLY_OUT_MAX) { // compact
        memmove(m->out, m->out + m->outHead, (m->outCount - m->outHead) * sizeof m->out[0]);
        m->outCount -= m->outHead;
        m->outHead = 0;
    }
    if (m->outCount == SUPPLY_OUT_MAX) {
        return; // host is not reading at all: the line just loses bytes
    }
    SupplyOutByte *b = &m->out[m->outCount++];
    b->value = value;
    b->releaseUs = releaseUs;
    b->noise = noise;
}

int64_t LastQueuedUs(const SupplyModel *m) {
    return m->outCount > m->outHead ? m->out[m->outCount - 1].releaseUs : INT64_MIN;
}

// The supply stops babbling when it is spoken to: drop junk that is not out yet.
void DropPendingNoise(SupplyModel *m, int64_t nowUs) {
    bool dropped = false;
    while (m->outCount > m->outHead && m->out[m->outCount - 1].noise &&
           m->out[m->outCount - 1].releaseUs > nowUs) {
        m->outCount--;
        dropped = true;
    }
    if (dropped && m->txWireNs > nowUs * 1000) {
        int64_t last = LastQueuedUs(m);
        m->txWireNs = last > nowUs ? last * 1000 : nowUs * 1000;
    }
}

uint32_t NextNoise(SupplyModel *m) {
    m->noiseSeed = m->noiseSeed * 1103515245u + 12345u;
    return m->noiseSeed >> 16;
}

// Queues one reply frame for a command completed at arrivalUs (arrivalNs on the wire).
// Returns the release time of its last byte; fills frame with the bytes as made.
int64_t QueueReply(SupplyModel *m, const unsigned char *data, int n, int64_t arrivalUs,
                   int64_t arrivalNs, unsigned char *frame) {
    int k = n + 3;
    frame[0] = (unsigned char)k;
    frame[1] = (unsigned char)SupplyStatus(m);
    memcpy(frame + 2, data, n);
    frame[k - 1] = (unsigned char)(SumBytes(frame, k - 1) + (m->faults.corrupt ? 1 : 0));

    int k1 = k, k2 = 0;
    if (m->faults.splitGapUs > 0) {
        k1 = k / 2;
        k2 = k - k1;
    }
    int64_t delay = m->faults.delayUs > 0 ? m->faults.delayUs : 0;
    int64_t gap = m->faults.splitGapUs > 0 ? m->faults.splitGapUs : 0;
    int64_t first, second;
    if (m->config.wire) {
        int64_t start = (arrivalNs > m->txWireNs ? arrivalNs : m->txWireNs) + delay * 1000;
        int64_t firstNs = start + k1 * kByteNs;
        int64_t secondNs = k2 > 0 ? firstNs + gap * 1000 + k2 * kByteNs : firstNs;
        m->txWireNs = secondNs;
        first = CeilUs(firstNs);
        second = CeilUs(secondNs);
    } else {
        first = arrivalUs + delay;
        second = first + (k2 > 0 ? gap : 0);
    }
    int64_t last = LastQueuedUs(m);
    if (first < last) { // the line is still busy with an earlier reply
        second += last - first;
        first = last;
    }
    for (int i = 0; i < k; i++) {
        QueueByte(m, frame[i], i < k1 ? first : second, false);
    }

    int noise = m->faults.noiseBytes;
    if (noise > SUPPLY_NOISE_MAX) {
        noise = SUPPLY_NOISE_MAX;
    }
    if (noise > 0) {
        int64_t at = second + (m->faults.noiseDelayUs > 0 ? m->faults.noiseDelayUs : 0);
        if (m->config.wire) {
            int64_t endNs = at * 1000 + noise * kByteNs;
            m->txWireNs = endNs;
            at = CeilUs(endNs);
        }
        for (int i = 0; i < noise; i++) {
            QueueByte(m, (unsigned char)NextNoise(m), at, true);
        }
    }
    return second;
}

bool IsSilent(const SupplyModel *m) {
    return m->faults.silent ||
           (m->faults.silentAfterWrites >= 0 && m->answeredWrites >= m->faults.silentAfterWrites);
}

void TripWatchdog(SupplyModel *m, int64_t atUs) {
    m->enabled = false;
    m->faultLatched |= SUPPLY_FAULT_WATCHDOG;
    m->watchdogTripped = true;
    AdvancePhysics(m, atUs);
    PushLog(m, atUs, "! watchdog expired after %d ms without a command: output off, fault 0x%02X",
            m->watchdogCount * 10, SUPPLY_FAULT_WATCHDOG);
}

// Executes a checked command; fills the reply data and returns its length.
int Execute(SupplyModel *m, const unsigned char *frame, unsigned char *data) {
    int opcode = frame[1];
    const unsigned char *arg = frame + 2;
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    long r = 0;
    switch (opcode) {
    case OP_OUTPUT_OFF:
    case OP_OUTPUT_ON:
        m->setpointCode = (uint32_t)arg[0] << 16 | (uint32_t)arg[1] << 8 | arg[2];
        m->enabled = opcode == OP_OUTPUT_ON;
        return 0;
    case OP_WATCHDOG:
        m->watchdogCount = arg[0];
        return 0;
    case OP_EEPROM_WRITE:
        if (arg[0] < SUPPLY_EEPROM_SIZE) {
            m->eeprom[arg[0]] = arg[1];
            m->eepromWrites++;
        }
        m->answeredWrites++;
        return 0;
    case OP_EEPROM_READ:
        data[0] = arg[0] < SUPPLY_EEPROM_SIZE ? m->eeprom[arg[0]] : 0xFF;
        return 1;
    case OP_FIRMWARE:
        data[0] = (unsigned char)(m->config.firmware >> 8);
        data[1] = (unsigned char)m->config.firmware;
        return 2;
    case OP_RESET:
        m->enabled = false;
        m->setpointCode = 0;
        m->watchdogCount = 0;
        m->limitVoltage = kLevelNoLimit;
        m->limitCurrent = kLevelNoLimit;
        m->faultLatched = 0;
        m->resetFlag = true;
        m->resetRepliesLeft = 2; // this reply and the next one
        return 0;
    case OP_LIMIT_VOLTAGE:
        m->limitVoltage = arg[0] > kLevelNoLimit ? kLevelNoLimit : arg[0];
        return 0;
    case OP_LIMIT_CURRENT:
        m->limitCurrent = arg[0] > kLevelNoLimit ? kLevelNoLimit : arg[0];
        return 0;
    case OP_CLEAR_FAULTS:
        m->faultLatched = 0;
        return 0;
    case OP_FAULT_QUERY:
        data[0] = (unsigned char)SupplyFaultByte(m);
        return 1;
    case 0x00:
        r = Clamp(m->volts / vrange * 65535.0, 65535);
        break;
    case 0x01:
        r = Clamp(SupplyMicroamps(m) / irange * 65535.0, 65535);
        break;
    case 0x02:
        r = Clamp(m->temperature * 32767.0 / 250.0, 32767);
        break;
    case 0x03:
        r = Clamp(m->volts / vrange * 1023.0, 1023) << 6;
        break;
    default: { // raw meters, 24 bits
        long raw;
        if (opcode == OP_RAW0) {
            raw = Clamp(m->volts / vrange * 8388607.0, 8388607);
        } else if (opcode == OP_RAW2) {
            raw = Clamp(m->temperature / 250.0 * 16777215.0, 16777215);
        } else {
            raw = Clamp(SupplyMicroamps(m) / irange * 8388607.0, 8388607);
        }
        data[0] = (unsigned char)(raw >> 16);
        data[1] = (unsigned char)(raw >> 8);
        data[2] = (unsigned char)raw;
        return 3;
    }
    }
    data[0] = (unsigned char)(r >> 8);
    data[1] = (unsigned char)r;
    return 2;
}

// A complete frame of L bytes sits at rx[0]; checks and runs it. Returns false when the frame
// is rejected (then only its first byte is to be dropped).
bool HandleFrame(SupplyModel *m, int64_t atUs, int64_t atNs) {
    const unsigned char *frame = m->rx;
    int count = frame[0];
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    char words[SUPPLY_LOG_TEXT];
    int len = 0;

    int expected = SumBytes(frame, count - 1) & 0xFF;
    const CommandShape *shape = FindCommand(frame[1]);
    if (expected != frame[count - 1]) {
        Append(words, sizeof words, &len, "bad checksum 0x%02X, expected 0x%02X: ignored",
               frame[count - 1], expected);
        LogFrame(m, atUs, '>', frame, count, words);
        return false;
    }
    if (shape == nullptr || shape->payload != count - 2) {
        AppendCommandWords(words, sizeof words, &len, frame, count, vrange);
        Append(words, sizeof words, &len, ": ignored");
        LogFrame(m, atUs, '>', frame, count, words);
        return false;
    }

    SupplyAdvance(m, atUs);
    AppendCommandWords(words, sizeof words, &len, frame, count, vrange);
    if (IsSilent(m)) {
        Append(words, sizeof words, &len, " (silent: no reply)");
        LogFrame(m, atUs, '>', frame, count, words);
        return true;
    }
    LogFrame(m, atUs, '>', frame, count, words);

    m->lastCommandUs = atUs;
    m->watchdogTripped = false;
    unsigned char data[8];
    int n = Execute(m, frame, data);
    AdvancePhysics(m, atUs); // an instant output has already moved
    unsigned char reply[16];
    int64_t releasedUs = QueueReply(m, data, n, atUs, atNs, reply);
    if (m->resetRepliesLeft > 0 && --m->resetRepliesLeft == 0) {
        m->resetFlag = false;
    }

    if (m->config.log) {
        SupplyRanges(m, &vrange, &irange); // an EEPROM write may have changed them
        SupplyDescribeReply(frame, count, reply, n + 3, vrange, irange, words, sizeof words);
        LogFrame(m, releasedUs, '<', reply, n + 3, words);
    }
    return true;
}

void DropRx(SupplyModel *m, int count) {
    memmove(m->rx, m->rx + count, m->rxCount - count);
    m->rxCount -= count;
}

void ParseFrames(SupplyModel *m, int64_t atUs, int64_t atNs) {
    while (m->rxCount > 0) {
        int length = m->rx[0];
        if (length < kFrameMin || length > kFrameMax) {
            PushLog(m, atUs, "> %02X  junk byte (no frame starts with this length): ignored",
                    length);
            DropRx(m, 1);
            continue;
        }
        if (m->rxCount < length) {
            return;
        }
        DropRx(m, HandleFrame(m, atUs, atNs) ? length : 1);
    }
}

} // namespace

// ---- EEPROM ----

int SupplyEepromChecksum(const unsigned char bytes[SUPPLY_EEPROM_SIZE]) {
    return SumBytes(bytes, 126);
}

void SupplyPresetEeprom(unsigned char bytes[SUPPLY_EEPROM_SIZE], EepromPreset preset, int vrange,
                        int irange) {
    if (preset == EEPROM_BLANK) {
        memset(bytes, 0xFF, SUPPLY_EEPROM_SIZE);
        return;
    }
    // A programmed part: identification, serial number, calibration date and trims; unused
    // cells keep the erased value 0xFF like a real part.
    memset(bytes, 0xFF, SUPPLY_EEPROM_SIZE);
    const char ident[16] = "HV7340 SIM";
    memcpy(bytes, ident, sizeof ident);
    const unsigned char serial[4] = {0x00, 0x0B, 0x33, 0x31}; // 734001
    memcpy(bytes + 16, serial, sizeof serial);
    const unsigned char calibrated[4] = {0x07, 0xEA, 0x03, 0x14}; // 2026-03-20
    memcpy(bytes + 20, calibrated, sizeof calibrated);
    const unsigned char trims[8] = {0x80, 0x12, 0x7F, 0xE9, 0x80, 0x04, 0x7F, 0xFA};
    memcpy(bytes + 32, trims, sizeof trims);
    if (preset == EEPROM_BAD_RANGES) {
        vrange = 500;
    }
    bytes[64] = (unsigned char)(vrange >> 8);
    bytes[65] = (unsigned char)vrange;
    bytes[66] = (unsigned char)(irange >> 8);
    bytes[67] = (unsigned char)irange;
    int sum = SupplyEepromChecksum(bytes);
    bytes[126] = (unsigned char)(sum >> 8);
    bytes[127] = (unsigned char)sum;
}

void SupplyLoadEeprom(SupplyModel *m, const unsigned char bytes[SUPPLY_EEPROM_SIZE]) {
    memcpy(m->eeprom, bytes, SUPPLY_EEPROM_SIZE);
}

const unsigned char *SupplyEeprom(const SupplyModel *m) {
    return m->eeprom;
}

void SupplyRanges(const SupplyModel *m, int *vrange, int *irange) {
    int v = m->eeprom[64] << 8 | m->eeprom[65];
    int i = m->eeprom[66] << 8 | m->eeprom[67];
    if (!RangesUsable(v, i)) {
        v = kDefaultVrange;
        i = kDefaultIrange;
    }
    *vrange = v;
    *irange = i;
}

// ---- the model ----

void SupplyInit(SupplyModel *m, const SupplyConfig *config) {
    memset(m->eeprom, 0, sizeof m->eeprom);
    m->config = *config;
    m->faults = SupplyFaults();
    SupplyPresetEeprom(m->eeprom, config->eeprom, config->vrange, config->irange);
    m->eepromWrites = 0;
    m->answeredWrites = 0;
    m->rxCount = 0;
    m->rxLastUs = 0;
    m->outHead = 0;
    m->outCount = 0;
    m->rxWireNs = 0;
    m->txWireNs = 0;
    m->enabled = false;
    m->setpointCode = 0;
    m->volts = 0.0;
    m->temperature = kRoomTemperature;
    m->physicsUs = -1;
    m->watchdogCount = 0;
    m->lastCommandUs = 0;
    m->watchdogTripped = false;
    m->limitVoltage = kLevelNoLimit;
    m->limitCurrent = kLevelNoLimit;
    m->faultLatched = 0;
    m->resetFlag = false;
    m->resetRepliesLeft = 0;
    m->noiseSeed = 7340;
    m->logHead = 0;
    m->logCount = 0;
}

SupplyFaults *SupplyFaultsOf(SupplyModel *m) {
    return &m->faults;
}

SupplyConfig *SupplyConfigOf(SupplyModel *m) {
    return &m->config;
}

void SupplyReceive(SupplyModel *m, const unsigned char *bytes, int count, int64_t nowUs) {
    for (int i = 0; i < count; i++) {
        int64_t atUs = nowUs;
        int64_t atNs = nowUs * 1000;
        if (m->config.wire) {
            atNs = (atNs > m->rxWireNs ? atNs : m->rxWireNs) + kByteNs;
            m->rxWireNs = atNs;
            atUs = CeilUs(atNs);
        }
        DropPendingNoise(m, atUs);
        if (m->rxCount > 0 && atUs - m->rxLastUs > kFrameTimeoutUs) {
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
    while (n < max && m->outHead < m->outCount && m->out[m->outHead].releaseUs <= nowUs) {
        buf[n++] = m->out[m->outHead++].value;
    }
    if (m->outHead == m->outCount) {
        m->outHead = 0;
        m->outCount = 0;
    }
    return n;
}

int64_t SupplyNextOutputUs(const SupplyModel *m) {
    return m->outHead < m->outCount ? m->out[m->outHead].releaseUs : -1;
}

void SupplyAdvance(SupplyModel *m, int64_t nowUs) {
    if (m->watchdogCount > 0 && !m->watchdogTripped) {
        int64_t due = m->lastCommandUs + (int64_t)m->watchdogCount * 10000;
        if (due <= nowUs) {
            AdvancePhysics(m, due);
            TripWatchdog(m, due);
        }
    }
    AdvancePhysics(m, nowUs);
}

double SupplyVolts(const SupplyModel *m) {
    return m->volts;
}

double SupplyMicroamps(const SupplyModel *m) {
    return m->config.loadOhms > 0 ? m->volts / m->config.loadOhms * 1e6 : 0.0;
}

double SupplyTemperature(const SupplyModel *m) {
    return m->temperature;
}

int SupplyFaultByte(const SupplyModel *m) {
    return (m->faultLatched | m->config.forceFault) & 0xFF;
}

int SupplyStatus(const SupplyModel *m) {
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    int status = 0;
    if (m->limitVoltage < kLevelNoLimit && m->volts > m->limitVoltage / 63.0 * vrange) {
        status |= SUPPLY_STATUS_OVER_VOLTAGE;
    }
    if (m->limitCurrent < kLevelNoLimit && SupplyMicroamps(m) > m->limitCurrent / 63.0 * irange) {
        status |= SUPPLY_STATUS_OVER_CURRENT;
    }
    if (m->enabled) {
        status |= SUPPLY_STATUS_ENABLED;
    }
    if (SupplyFaultByte(m) != 0) {
        status |= SUPPLY_STATUS_FAULT;
    }
    if (m->resetFlag) {
        status |= SUPPLY_STATUS_RESET;
    }
    return (status | m->config.forceStatus) & 0xFF;
}

int SupplyTakeLog(SupplyModel *m, char *text, int max, int64_t *timeUs, int64_t nowUs) {
    if (m->logCount == 0 || m->log[m->logHead].timeUs > nowUs || max <= 0) {
        return 0;
    }
    const SupplyLogLine *line = &m->log[m->logHead];
    snprintf(text, max, "%s", line->text);
    if (timeUs != nullptr) {
        *timeUs = line->timeUs;
    }
    m->logHead = (m->logHead + 1) % SUPPLY_LOG_LINES;
    m->logCount--;
    return 1;
}

// ---- traffic decoder ----

int SupplyDescribeCommand(const unsigned char *frame, int count, int vrange, char *text, int max) {
    int len = 0;
    if (max <= 0) {
        return 0;
    }
    text[0] = '\0';
    if (count < kFrameMin || frame[0] != count) {
        Append(text, max, &len, "malformed frame (length byte %d, %d bytes)",
               count > 0 ? frame[0] : -1, count);
        return len;
    }
    int expected = SumBytes(frame, count - 1) & 0xFF;
    if (frame[count - 1] != expected) {
        Append(text, max, &len, "bad checksum 0x%02X, expected 0x%02X", frame[count - 1], expected);
        return len;
    }
    AppendCommandWords(text, max, &len, frame, count, vrange);
    return len;
}

int SupplyDescribeReply(const unsigned char *command, int commandCount, const unsigned char *reply,
                        int replyCount, int vrange, int irange, char *text, int max) {
    int len = 0;
    if (max <= 0) {
        return 0;
    }
    text[0] = '\0';
    if (replyCount < 3) {
        Append(text, max, &len, "short reply of %d bytes", replyCount);
        return len;
    }
    if (commandCount >= kFrameMin) {
        AppendCommandWords(text, max, &len, command, commandCount, vrange);
    } else {
        Append(text, max, &len, "reply");
    }
    const unsigned char *d = reply + 2;
    int n = replyCount - 3;
    unsigned value = 0;
    for (int i = 0; i < n && i < 4; i++) {
        value = value << 8 | d[i];
    }
    int opcode = commandCount >= 2 ? command[1] : -1;
    if (n == 0) {
        Append(text, max, &len, " -> ok");
    } else if (opcode == 0x00 && n == 2) {
        Append(text, max, &len, " -> %.1f V", value * (double)vrange / 65535.0);
    } else if (opcode == 0x01 && n == 2) {
        Append(text, max, &len, " -> %.2f uA", value * (double)irange / 65535.0);
    } else if (opcode == 0x02 && n == 2) {
        Append(text, max, &len, " -> %.1f C", (value & 0x7FFF) * 250.0 / 32767.0);
    } else if (opcode == 0x03 && n == 2) {
        Append(text, max, &len, " -> %.3f", (value >> 6) * 5.0 / 1023.0);
    } else if (opcode == OP_FIRMWARE) {
        Append(text, max, &len, " -> 0x%04X", value);
    } else if (n == 1) {
        Append(text, max, &len, " -> 0x%02X", value);
    } else {
        Append(text, max, &len, " -> %u", value);
    }
    Append(text, max, &len, ", ");
    AppendStatus(text, max, &len, reply[1]);
    int expected = SumBytes(reply, replyCount - 1) & 0xFF;
    if (reply[replyCount - 1] != expected) {
        Append(text, max, &len, " [bad checksum 0x%02X, expected 0x%02X]", reply[replyCount - 1],
               expected);
    }
    return len;
}
