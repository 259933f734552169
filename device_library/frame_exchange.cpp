// Command and reply frames, the exchange, and the raw port exports.
#include "frame_exchange.h"

#include "k7340.h"
#include "serial_port.h"

unsigned char FrameChecksum(unsigned seed, const unsigned char *bytes, int count) {
    unsigned sum = seed;
    for (int i = 0; i < count; i++)
        sum += bytes[i];
    return static_cast<unsigned char>(sum);
}

// Replies carry no sequence number: a reply that comes after its read gave up would be taken
// for the next command's answer. After a failed read the next framed exchange first lets one
// full time-out pass since the failure; the purge that follows throws away any reply up to one
// time-out late. An exchange that follows a good one pays nothing.
void SettleAfterFailedRead(DeviceSlot *slot) {
    if (!slot->readFailed)
        return;
    const long long left = slot->readFailedAtMs + REPLY_TIMEOUT_MS - MonotonicMs();
    if (left > 0)
        Pause(static_cast<unsigned>(left));
    slot->readFailed = 0;
}

static int ReadFailed(DeviceSlot *slot, int code) {
    slot->readFailed = 1;
    slot->readFailedAtMs = MonotonicMs();
    return code;
}

int SendCommandFrame(DeviceSlot *slot, const unsigned char *payload, int n) {
    if (n > MAX_COMMAND_PAYLOAD)
        return K7340_ERR_COMMAND;
    unsigned char frame[MAX_COMMAND_PAYLOAD + 2];
    frame[0] = static_cast<unsigned char>(n + 2);
    for (int i = 0; i < n; i++)
        frame[1 + i] = payload[i];
    frame[n + 1] = FrameChecksum(frame[0], payload, n);
    // A reply that was never read must not be taken for the coming one.
    PortPurgeInput(slot->portIndex);
    return PortWrite(slot->portIndex, frame, n + 2);
}

int ReadReplyFrame(DeviceSlot *slot, unsigned char *dst, int N) {
    if (N > MAX_REPLY_DATA)
        return K7340_ERR_REPLY;
    unsigned char frame[MAX_REPLY_DATA + 3] = {};
    const int total = N + 3;
    int received = 0;
    while (received < total) {
        int count = total - received;
        int code = PortRead(slot->portIndex, frame + received, &count);
        if (code != K7340_OK)
            return ReadFailed(slot, code);
        if (count <= 0 || count > total - received)  // a backend that breaks its contract
            return ReadFailed(slot, K7340_ERR_READ); // must not make the core spin or overrun
        received += count;
    }
    if (FrameChecksum(0, frame, N + 2) != frame[N + 2])
        return ReadFailed(slot, K7340_ERR_CHECKSUM);
    for (int i = 0; i < N; i++)
        dst[i] = frame[2 + i];
    slot->status = frame[1];
    return K7340_OK;
}

int Transact(DeviceSlot *slot, const unsigned char *payload, int n, int *out, int N) {
    unsigned char data[MAX_TRANSACT_DATA];
    SettleAfterFailedRead(slot);
    int code = SendCommandFrame(slot, payload, n);
    if (code == K7340_OK)
        code = ReadReplyFrame(slot, data, N);
    if (code != K7340_OK || out == nullptr)
        return code;
    unsigned value = 0;
    for (int i = 0; i < N; i++)
        value = (value << 8) | data[i];
    *out = static_cast<int>(value);
    return K7340_OK;
}

extern "C" int K7340_CALL K7340_ReadPort(int index, unsigned char *buffer, int *count) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    // A negative count would become a huge length and overrun the caller's buffer.
    if (count == nullptr || *count < 0 || (buffer == nullptr && *count > 0))
        return K7340_ERR_ARGUMENT;
    if (*count == 0)
        return K7340_ERR_READ; // nothing asked, nothing read: the buffer is not touched
    return PortRead(slot->portIndex, buffer, count);
}

extern "C" int K7340_CALL K7340_WritePort(int index, const unsigned char *buffer, int count) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    if (count < 0 || (buffer == nullptr && count > 0))
        return K7340_ERR_ARGUMENT;
    if (count == 0)
        return K7340_OK; // nothing to write, so the buffer may be null
    return PortWrite(slot->portIndex, buffer, count);
}
