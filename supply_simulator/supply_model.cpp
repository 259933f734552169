/*
 * supply_model.cpp - the model's state: power-on, the EEPROM image and its presets, and the
 * ranges the supply scales with, and its log. Behaviour is described at the top of
 * supply_model.h; the commands are in supply_commands.cpp, the line in supply_line.cpp, the
 * physics in supply_physics.cpp, the decoder in supply_traffic.cpp and the log ring in
 * supply_log.cpp.
 */
#include "supply_internal.h"

#include <cstdarg>
#include <cstring>

// Ranges the supply accepts from its EEPROM, and what it uses otherwise (as the library does).
static const int VRANGE_MIN = 1000;
static const int VRANGE_MAX = 60000;
static const int IRANGE_MIN = 10;
static const int IRANGE_MAX = 500;
static const int DEFAULT_VRANGE = 60000;
static const int DEFAULT_IRANGE = 500;

// Where a programmed part keeps its identification, serial number, calibration date and trims.
enum {
    EEPROM_IDENT = 0,
    EEPROM_SERIAL = 16,
    EEPROM_CALIBRATED = 20,
    EEPROM_TRIMS = 32,
    BAD_VRANGE = 500, // below VRANGE_MIN
};

static int EepromWord(const unsigned char *bytes, int address) {
    return bytes[address] << 8 | bytes[address + 1];
}

static void PutEepromWord(unsigned char *bytes, int address, int value) {
    bytes[address] = static_cast<unsigned char>(value >> 8);
    bytes[address + 1] = static_cast<unsigned char>(value);
}

int SupplyEepromChecksum(const unsigned char bytes[SUPPLY_EEPROM_SIZE]) {
    return SumBytes(bytes, EEPROM_CHECKSUM);
}

void SupplyPresetEeprom(unsigned char bytes[SUPPLY_EEPROM_SIZE], EepromPreset preset, int vrange,
                        int irange) {
    // Unused cells keep the erased value 0xFF like a real part.
    memset(bytes, 0xFF, SUPPLY_EEPROM_SIZE);
    if (preset == EEPROM_BLANK)
        return;
    const char ident[16] = "HV7340 SIM";
    memcpy(bytes + EEPROM_IDENT, ident, sizeof ident);
    const unsigned char serial[4] = {0x00, 0x0B, 0x33, 0x31}; // 734001
    memcpy(bytes + EEPROM_SERIAL, serial, sizeof serial);
    const unsigned char calibrated[4] = {0x07, 0xEA, 0x03, 0x14}; // 2026-03-20
    memcpy(bytes + EEPROM_CALIBRATED, calibrated, sizeof calibrated);
    const unsigned char trims[8] = {0x80, 0x12, 0x7F, 0xE9, 0x80, 0x04, 0x7F, 0xFA};
    memcpy(bytes + EEPROM_TRIMS, trims, sizeof trims);
    if (preset == EEPROM_BAD_RANGES)
        vrange = BAD_VRANGE;
    PutEepromWord(bytes, EEPROM_VRANGE, vrange);
    PutEepromWord(bytes, EEPROM_IRANGE, irange);
    PutEepromWord(bytes, EEPROM_CHECKSUM, SupplyEepromChecksum(bytes));
}

void SupplyLoadEeprom(SupplyModel *m, const unsigned char bytes[SUPPLY_EEPROM_SIZE]) {
    memcpy(m->eeprom, bytes, SUPPLY_EEPROM_SIZE);
}

const unsigned char *SupplyEeprom(const SupplyModel *m) {
    return m->eeprom;
}

void SupplyRanges(const SupplyModel *m, int *vrange, int *irange) {
    const int v = EepromWord(m->eeprom, EEPROM_VRANGE);
    const int i = EepromWord(m->eeprom, EEPROM_IRANGE);
    const bool usable = v >= VRANGE_MIN && v <= VRANGE_MAX && i >= IRANGE_MIN && i <= IRANGE_MAX;
    *vrange = usable ? v : DEFAULT_VRANGE;
    *irange = usable ? i : DEFAULT_IRANGE;
}

void SupplyInit(SupplyModel *m, const SupplyConfig *config) {
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
    m->temperature = ROOM_TEMPERATURE_C;
    m->physicsUs = -1;
    m->watchdogCount = 0;
    m->lastCommandUs = 0;
    m->watchdogTripped = false;
    m->limitVoltage = LIMIT_FULL_SCALE;
    m->limitCurrent = LIMIT_FULL_SCALE;
    m->faultLatched = 0;
    m->resetFlag = false;
    m->resetRepliesLeft = 0;
    m->noiseSeed = 7340;
    LogClear(&m->log);
}

SupplyFaults *SupplyFaultsOf(SupplyModel *m) {
    return &m->faults;
}

SupplyConfig *SupplyConfigOf(SupplyModel *m) {
    return &m->config;
}

void PushLog(SupplyModel *m, int64_t timeUs, const char *format, ...) {
    if (!m->config.log)
        return;
    va_list args;
    va_start(args, format);
    LogPushV(&m->log, timeUs, format, args);
    va_end(args);
}

int SupplyTakeLog(SupplyModel *m, char *text, int max, int64_t *timeUs, int64_t nowUs) {
    return LogTake(&m->log, text, max, timeUs, nowUs);
}
