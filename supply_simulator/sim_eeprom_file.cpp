/*
 * sim_eeprom_file.cpp - k7340sim's EEPROM kept in a file: loaded at start, saved whole after
 * every EEPROM write (a new file renamed over the old one). It writes only the model it is given.
 * Only a regular file of the EEPROM's size is taken; any other is refused and left as it is.
 */
#include "k7340sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Reads count bytes; false when the file ends first or a read fails.
static bool ReadWhole(int fd, unsigned char *bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = read(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int EepromFileLoad(SupplyModel *model, const char *path) {
    // Non-blocking: a FIFO named here must be refused, not waited on for a writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return 0;
    if (fd < 0) {
        fprintf(stderr, "k7340sim: cannot read %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    unsigned char bytes[SUPPLY_EEPROM_SIZE];
    const bool sized = regular && st.st_size == SUPPLY_EEPROM_SIZE;
    const bool read = sized && ReadWhole(fd, bytes, sizeof bytes);
    close(fd);
    if (!regular) {
        // A device such as /dev/zero never ends: reading it for its size would hang.
        fprintf(stderr, "k7340sim: %s is not a regular file; refused\n", path);
        return -1;
    }
    if (!sized) {
        fprintf(stderr,
                "k7340sim: %s holds %lld bytes where an EEPROM holds %d; refused (the file is"
                " left as it is)\n",
                path, static_cast<long long>(st.st_size), static_cast<int>(SUPPLY_EEPROM_SIZE));
        return -1;
    }
    if (!read) {
        fprintf(stderr, "k7340sim: cannot read %s\n", path);
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
