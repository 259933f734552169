/*
 * sim_eeprom_file.cpp - k7340sim's EEPROM kept in a file: loaded at start, saved whole after
 * every EEPROM write (a new file renamed over the old one). It writes only the model it is given.
 */
#include "k7340sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int EepromFileLoad(SupplyModel *model, const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == nullptr && errno == ENOENT)
        return 0;
    if (f == nullptr) {
        fprintf(stderr, "k7340sim: cannot read %s: %s\n", path, strerror(errno));
        return -1;
    }
    unsigned char bytes[SUPPLY_EEPROM_SIZE];
    size_t size = fread(bytes, 1, sizeof bytes, f);
    unsigned char rest[512];
    for (size_t n; (n = fread(rest, 1, sizeof rest, f)) > 0;)
        size += n;
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        fprintf(stderr, "k7340sim: cannot read %s\n", path);
        return -1;
    }
    if (size != SUPPLY_EEPROM_SIZE) {
        fprintf(stderr,
                "k7340sim: %s holds %zu bytes where an EEPROM holds %d; refused (the file is"
                " left as it is)\n",
                path, size, static_cast<int>(SUPPLY_EEPROM_SIZE));
        return -1;
    }
    SupplyLoadEeprom(model, bytes);
    return 1;
}

void EepromFileSave(const SupplyModel *model, const char *path) {
    char temp[SIM_PATH_MAX];
    snprintf(temp, sizeof temp, "%s.new%d", path, static_cast<int>(getpid()));
    FILE *f = fopen(temp, "wb");
    if (f == nullptr) {
        fprintf(stderr, "k7340sim: cannot write %s: %s\n", temp, strerror(errno));
        return;
    }
    const size_t n = fwrite(SupplyEeprom(model), 1, SUPPLY_EEPROM_SIZE, f);
    if (fclose(f) != 0 || n != SUPPLY_EEPROM_SIZE || rename(temp, path) != 0) {
        fprintf(stderr, "k7340sim: cannot write %s\n", path);
        unlink(temp);
    }
}
