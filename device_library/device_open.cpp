// Device open and close, the EEPROM image with its checksum and ranges, the EEPROM byte calls.
#include "device_open.h"

#include "frame_exchange.h"
#include "k7340.h"
#include "serial_port.h"

static int ImageWord(const DeviceSlot *slot, int address) {
    return (slot->eeprom[address] << 8) | slot->eeprom[address + 1];
}

int ReadEepromByte(DeviceSlot *slot, int address, unsigned char *dst) {
    if (static_cast<unsigned>(address) >= EEPROM_SIZE || dst == nullptr)
        return K7340_ERR_ARGUMENT;
    const unsigned char payload[] = {OP_EEPROM_READ, static_cast<unsigned char>(address)};
    int value;
    const int code = Transact(slot, CMD_EEPROM_READ, payload, &value);
    if (code == K7340_OK)
        *dst = static_cast<unsigned char>(value);
    return code;
}

int WriteEepromByte(DeviceSlot *slot, int address, int value) {
    if (static_cast<unsigned>(address) >= EEPROM_SIZE)
        return K7340_ERR_ARGUMENT;
    const unsigned char payload[] = {OP_EEPROM_WRITE, static_cast<unsigned char>(address),
                                     static_cast<unsigned char>(value)};
    SettleAfterFailedRead(slot);
    const Command *row = &COMMANDS[CMD_EEPROM_WRITE];
    int code = SendCommandFrame(slot, payload, row->payloadLength);
    if (code != K7340_OK)
        return code;
    // The supply needs the time to program the cell before it answers.
    Pause(EEPROM_WRITE_PAUSE_MS);
    return ReadReplyFrame(slot, nullptr, row->replyLength);
}

int EepromChecksum(const DeviceSlot *slot) {
    int sum = 0;
    for (int i = 0; i < EEPROM_CHECKSUM; i++)
        sum += slot->eeprom[i];
    return sum;
}

bool RangesValid(int vrange, int irange) {
    return vrange >= VRANGE_MIN && vrange <= VRANGE_MAX && irange >= IRANGE_MIN &&
           irange <= IRANGE_MAX;
}

int LoadEepromImage(DeviceSlot *slot) {
    int code = K7340_OK;
    for (int address = 0; address < EEPROM_SIZE && code == K7340_OK; address++)
        code = ReadEepromByte(slot, address, slot->eeprom + address);
    if (code == K7340_OK && ImageWord(slot, EEPROM_CHECKSUM) != EepromChecksum(slot))
        code = K7340_ERR_EEPROM_CHECKSUM;
    const int vrange = ImageWord(slot, EEPROM_VRANGE);
    const int irange = ImageWord(slot, EEPROM_IRANGE);
    if (code == K7340_OK && !RangesValid(vrange, irange))
        code = K7340_ERR_RANGES;
    slot->vrange = code == K7340_OK ? vrange : DEFAULT_VRANGE;
    slot->irange = code == K7340_OK ? irange : DEFAULT_IRANGE;
    return code;
}

int WriteImageWord(DeviceSlot *slot, int address, int value) {
    slot->eeprom[address] = static_cast<unsigned char>(value >> 8);
    slot->eeprom[address + 1] = static_cast<unsigned char>(value);
    int code = WriteEepromByte(slot, address, slot->eeprom[address]);
    if (code == K7340_OK)
        code = WriteEepromByte(slot, address + 1, slot->eeprom[address + 1]);
    return code;
}

extern "C" int K7340_CALL K7340_OpenDevice(int index, int comPort) {
    DeviceSlot *slot;
    int code = GetSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    if (slot->open)
        return K7340_OK;
    code = OpenPort(index, comPort);
    if (code != K7340_OK)
        return code;
    slot->portIndex = index;
    slot->open = 1;
    // The slot stays open whatever the image load says; the caller closes it to release the port.
    return LoadEepromImage(slot);
}

extern "C" int K7340_CALL K7340_CloseDevice(int index) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    PortClose(slot->portIndex);
    slot->open = 0;
    return K7340_OK;
}

extern "C" int K7340_CALL K7340_GetRanges(int index, int *vrange, int *irange) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    if (vrange == nullptr || irange == nullptr)
        return K7340_ERR_ARGUMENT;
    *vrange = slot->vrange;
    *irange = slot->irange;
    return K7340_OK;
}

extern "C" int K7340_CALL K7340_SetRanges(int index, int vrange, int irange) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    if (!RangesValid(vrange, irange))
        return K7340_ERR_ARGUMENT;
    // Adopted at once: they scale readings even if the writes below fail.
    slot->vrange = vrange;
    slot->irange = irange;
    code = WriteImageWord(slot, EEPROM_VRANGE, vrange);
    if (code == K7340_OK)
        code = WriteImageWord(slot, EEPROM_IRANGE, irange);
    if (code == K7340_OK)
        code = WriteImageWord(slot, EEPROM_CHECKSUM, EepromChecksum(slot));
    return code;
}

extern "C" int K7340_CALL K7340_GetEEPROM(int index, int address, unsigned char *value) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    return ReadEepromByte(slot, address, value);
}

extern "C" int K7340_CALL K7340_SetEEPROM(int index, int address, int value) {
    DeviceSlot *slot;
    int code = GetOpenSlot(index, &slot);
    if (code != K7340_OK)
        return code;
    return WriteEepromByte(slot, address, value & 0xFF);
}
