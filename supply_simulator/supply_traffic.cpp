/*
 * supply_traffic.cpp - the traffic decoder: frames in words, from the command table, for the
 * model's log and for callers that log frames of their own.
 */
#include "supply_internal.h"

static const char *const STATUS_NAMES[8] = {"OverV", "OverI", "Enable", "EEBusy",
                                            "Fault", "OverT", "ComErr", "Reset"};

static void AppendHex(SupplyText *t, const unsigned char *bytes, int count) {
    for (int i = 0; i < count; i++)
        TextAppend(t, i == 0 ? "%02X" : " %02X", bytes[i]);
}

static void AppendStatus(SupplyText *t, int status) {
    TextAppend(t, "status 0x%02X", status);
    const char *sep = " (";
    for (int bit = 0; bit < 8; bit++) {
        if (status & (1 << bit)) {
            TextAppend(t, "%s%s", sep, STATUS_NAMES[bit]);
            sep = " ";
        }
    }
    if (status != 0)
        TextAppend(t, ")");
}

// The command in words from its table row; does not check the checksum.
static void AppendCommandWords(SupplyText *t, const unsigned char *frame, int count, int vrange) {
    const SupplyCommand *c = FindCommand(frame[1]);
    if (c == nullptr) {
        TextAppend(t, "unknown opcode 0x%02X", frame[1]);
        return;
    }
    if (count - 2 != c->payload) {
        TextAppend(t, "opcode 0x%02X with %d payload bytes, expected %d", frame[1], count - 2,
                   c->payload);
        return;
    }
    if (c->describe != nullptr)
        c->describe(t, c, frame + 2, vrange);
    else
        TextAppend(t, "%s", c->name);
}

static void AppendReplyValue(SupplyText *t, const SupplyCommand *c, const unsigned char *data,
                             int n, int vrange, int irange) {
    unsigned value = 0;
    for (int i = 0; i < n && i < 4; i++)
        value = value << 8 | data[i];
    TextAppend(t, " -> ");
    if (n == 0)
        TextAppend(t, "ok");
    else if (c != nullptr && c->describeReply != nullptr && n == c->replyData)
        c->describeReply(t, value, vrange, irange);
    else if (n == 1)
        TextAppend(t, "0x%02X", value);
    else
        TextAppend(t, "%u", value);
}

// ---- the decoder ----

int SupplyDescribeCommand(const unsigned char *frame, int count, int vrange, char *text, int max) {
    if (max <= 0)
        return 0;
    SupplyText t = {text, max, 0};
    text[0] = '\0';
    if (count < FRAME_MIN || frame[0] != count) {
        TextAppend(&t, "malformed frame (length byte %d, %d bytes)", count > 0 ? frame[0] : -1,
                   count);
        return t.len;
    }
    const int expected = SumBytes(frame, count - 1) & 0xFF;
    if (frame[count - 1] != expected) {
        TextAppend(&t, "bad checksum 0x%02X, expected 0x%02X", frame[count - 1], expected);
        return t.len;
    }
    AppendCommandWords(&t, frame, count, vrange);
    return t.len;
}

int SupplyDescribeReply(const unsigned char *command, int commandCount, const unsigned char *reply,
                        int replyCount, int vrange, int irange, char *text, int max) {
    if (max <= 0)
        return 0;
    SupplyText t = {text, max, 0};
    text[0] = '\0';
    if (replyCount < 3) {
        TextAppend(&t, "short reply of %d bytes", replyCount);
        return t.len;
    }
    if (commandCount >= FRAME_MIN)
        AppendCommandWords(&t, command, commandCount, vrange);
    else
        TextAppend(&t, "reply");
    const SupplyCommand *c = commandCount >= 2 ? FindCommand(command[1]) : nullptr;
    AppendReplyValue(&t, c, reply + 2, replyCount - 3, vrange, irange);
    TextAppend(&t, ", ");
    AppendStatus(&t, reply[1]);
    const int expected = SumBytes(reply, replyCount - 1) & 0xFF;
    if (reply[replyCount - 1] != expected)
        TextAppend(&t, " [bad checksum 0x%02X, expected 0x%02X]", reply[replyCount - 1], expected);
    return t.len;
}

// ---- the model's log ----

static void LogFrame(SupplyModel *m, int64_t timeUs, char direction, const unsigned char *bytes,
                     int count, const char *words) {
    char hex[3 * SUPPLY_RX_MAX + 1];
    SupplyText t = {hex, sizeof hex, 0};
    hex[0] = '\0';
    AppendHex(&t, bytes, count);
    PushLog(m, timeUs, "%c %s  %s", direction, hex, words);
}

void LogCommand(SupplyModel *m, int64_t timeUs, const unsigned char *frame, int count,
                const char *outcome) {
    if (!m->config.log)
        return;
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    char words[SUPPLY_LOG_TEXT];
    SupplyText t = {words, sizeof words, 0};
    t.len = SupplyDescribeCommand(frame, count, vrange, words, sizeof words);
    TextAppend(&t, "%s", outcome);
    LogFrame(m, timeUs, '>', frame, count, words);
}

void LogReply(SupplyModel *m, int64_t timeUs, const unsigned char *command, int commandCount,
              const unsigned char *reply, int replyCount) {
    if (!m->config.log)
        return;
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange); // after the command: an EEPROM write may change them
    char words[SUPPLY_LOG_TEXT];
    SupplyDescribeReply(command, commandCount, reply, replyCount, vrange, irange, words,
                        sizeof words);
    LogFrame(m, timeUs, '<', reply, replyCount, words);
}
