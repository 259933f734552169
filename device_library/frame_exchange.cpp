// Command and reply frames, the exchange, and the raw port exports.
#include "frame_exchange.h"

#include "k7340.h"
#include "serial_port.h"

const Command COMMANDS[COMMAND_COUNT] = {
    // opcode, payload bytes (opcode included), reply data bytes, name; the payload after the opcode
    {OP_READ_METER, 1, 2, "read meter"},         // none (the opcode adds the channel, 0..3)
    {OP_OUTPUT_OFF, 4, 0, "output off"},         // setpoint code, 3 bytes, zero
    {OP_OUTPUT_ON, 4, 0, "output on"},           // setpoint code, 3 bytes
    {OP_WATCHDOG, 2, 0, "watchdog"},             // count in 10 ms units
    {OP_EEPROM_WRITE, 3, 0, "write EEPROM"},     // address, value
    {OP_EEPROM_READ, 2, 1, "read EEPROM"},       // address
    {OP_FIRMWARE, 1, 2, "read firmware"},        // none
    {OP_RESET, 1, 0, "reset"},                   // none; its reply is never read
    {OP_LIMIT_FIRST, 2, 0, "voltage limit"},     // level 0..63
    {OP_LIMIT_SECOND, 2, 0, "current limit"},    // level 0..63
    {OP_FAULT_FOLLOW_UP, 1, 0, "clear faults"},  // none
    {OP_READ_RAW_METER, 1, 3, "read raw meter"}, // none (the opcode adds the channel, 0..2)
    {OP_FAULT_QUERY, 1, 1, "fault query"},       // none; the reply's data is the fault byte
};

unsigned char FrameChecksum(unsigned seed, const unsigned char *bytes, int count) {
    unsigned sum = seed;
    for (int i = 0; i < count; i++)
        sum += bytes[i];
    return static_cast<unsigned char>(sum);
}

void SettleAfterFailedRead(DeviceSlot *slot) {
    if (!slot->readFailed)
        return;
    const long long left = slot->readFailedAtMs + PORT_READ_TIMEOUT_MS - MonotonicMs();
    if (left > 0)
        Pause(static_cast<unsigned>(left));
    slot->readFailed = 0;
}

static int ReadFailed(DeviceSlot *slot, int code) {
    slot->readFailed = 1;
    slot->readFailedAtMs = MonotonicMs();
    return code;
}

int SendCommandFrame(DeviceSlot *slot, const unsigned char *payload, int payloadLength) {
    if (payloadLength > MAX_COMMAND_PAYLOAD)
        return K7340_ERR_COMMAND;
    unsigned char frame[MAX_COMMAND_PAYLOAD + 2];
    frame[0] = static_cast<unsigned char>(payloadLength + 2);
    for (int i = 0; i < payloadLength; i++)
        frame[1 + i] = payload[i];
    frame[payloadLength + 1] = FrameChecksum(frame[0], payload, payloadLength);
    // A reply that was never read must not be taken for the coming one.
    PortPurgeInput(slot->portIndex);
    return PortWrite(slot->portIndex, frame, payloadLength + 2);
}

int ReadReplyFrame(DeviceSlot *slot, unsigned char *dst, int replyLength) {
    if (replyLength > MAX_REPLY_DATA)
        return K7340_ERR_REPLY;
    unsigned char frame[MAX_REPLY_DATA + 3] = {};
    const int total = replyLength + 3;
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
    if (FrameChecksum(0, frame, replyLength + 2) != frame[replyLength + 2])
        return ReadFailed(slot, K7340_ERR_CHECKSUM);
    for (int i = 0; i < replyLength; i++)
        dst[i] = frame[2 + i];
    slot->status = frame[1];
    return K7340_OK;
}

int Transact(DeviceSlot *slot, const unsigned char *payload, int payloadLength, int *out,
             int replyLength) {
    unsigned char data[MAX_TRANSACT_DATA];
    SettleAfterFailedRead(slot);
    int code = SendCommandFrame(slot, payload, payloadLength);
    if (code == K7340_OK)
        code = ReadReplyFrame(slot, data, replyLength);
    if (code != K7340_OK || out == nullptr)
        return code;
    unsigned value = 0;
    for (int i = 0; i < replyLength; i++)
        value = (value << 8) | data[i];
    *out = static_cast<int>(value);
    return K7340_OK;
}

int Transact(DeviceSlot *slot, CommandId command, const unsigned char *payload, int *out) {
    const Command *row = &COMMANDS[command];
    return Transact(slot, payload, row->payloadLength, out, row->replyLength);
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
