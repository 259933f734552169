// K7340_SetRanges interrupted after each of its six EEPROM writes: the supply goes silent after
// the n-th write (then is power-cycled with what its EEPROM holds). The call returns the
// exchange code and keeps the new ranges in memory; the EEPROM holds exactly the first n bytes;
// the next open reports the stale checksum with the default ranges; a complete SetRanges
// repairs it, and the open after that finds the new ranges.
#include "k7340.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const int kOldVrange = 50000; // 0xC350
const int kOldIrange = 200;   // 0x00C8
const int kNewVrange = 20000; // 0x4E20: every byte differs from the old ones
const int kNewIrange = 400;   // 0x0190

// The six writes of SetRanges, in order: vrange, irange, checksum, high byte first.
const int kWriteAddresses[6] = {64, 65, 66, 67, 126, 127};

int Byte(const std::string &eeprom, int address) {
    return static_cast<unsigned char>(eeprom[address]);
}

int Sum(const std::string &eeprom) {
    int sum = 0;
    for (int i = 0; i < 126; i++)
        sum += Byte(eeprom, i);
    return sum;
}

// The bytes SetRanges writes, as the complete call would leave them.
void ExpectedImage(const std::string &before, int vrange, int irange, std::string *after) {
    *after = before;
    (*after)[64] = static_cast<char>(vrange >> 8);
    (*after)[65] = static_cast<char>(vrange);
    (*after)[66] = static_cast<char>(irange >> 8);
    (*after)[67] = static_cast<char>(irange);
    const int sum = Sum(*after);
    (*after)[126] = static_cast<char>(sum >> 8);
    (*after)[127] = static_cast<char>(sum);
}

void ExpectRanges(int vrange, int irange, const char *when) {
    int v = 0, i = 0;
    EXPECT_EQ(K7340_GetRanges(0, &v, &i), K7340_OK) << when;
    EXPECT_EQ(v, vrange) << when;
    EXPECT_EQ(i, irange) << when;
}

class EepromIntegrity : public ::testing::TestWithParam<int> {
  protected:
    ScopedSim sim;
    char saved[64] = "";
    void TearDown() override {
        K7340_CloseDevice(0);
        if (saved[0] != '\0')
            unlink(saved);
    }
    // After the power cycle the supply keeps its EEPROM in the saved file.
    std::string SavedEeprom() {
        std::string bytes(256, '\0');
        FILE *f = fopen(saved, "rb");
        if (f == nullptr)
            return "";
        bytes.resize(fread(&bytes[0], 1, bytes.size(), f));
        fclose(f);
        return bytes;
    }
    // Stops the supply and starts it again with the EEPROM it held: a power cycle.
    void PowerCycle() {
        const std::string eeprom = SimEeprom(&sim.sim);
        ASSERT_EQ(eeprom.size(), 128u);
        snprintf(saved, sizeof saved, "/tmp/k7340_eeprom.XXXXXX");
        const int fd = mkstemp(saved);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, eeprom.data(), eeprom.size()), 128);
        close(fd);
        StopSim(&sim.sim);
        CleanupSim(&sim.sim);
        ASSERT_EQ(StartSim(&sim.sim, {"--eeprom-file", saved}), 0);
    }
};

} // namespace

TEST_P(EepromIntegrity, InterruptedSetRangesIsDetectedAndRepaired) {
    const int answered = GetParam(); // writes the supply answers before it falls silent
    const std::string silentAfter = std::to_string(answered);
    // Silent after no write would be silent for the open too: that case falls silent after it.
    const int started = answered > 0
                            ? StartSim(&sim.sim, {"--silent-after-writes", silentAfter.c_str()})
                            : StartSim(&sim.sim);
    ASSERT_EQ(started, 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), K7340_OK);
    if (answered == 0) {
        ASSERT_EQ(SimControl(&sim.sim, "silent on"), 0);
    }
    ExpectRanges(kOldVrange, kOldIrange, "first open");
    const std::string before = SimEeprom(&sim.sim);
    ASSERT_EQ(before.size(), 128u);
    std::string complete;
    ExpectedImage(before, kNewVrange, kNewIrange, &complete);

    EXPECT_EQ(K7340_SetRanges(0, kNewVrange, kNewIrange), K7340_ERR_READ)
        << "the write after the last answered one gets no reply";
    ExpectRanges(kNewVrange, kNewIrange, "after the interrupted SetRanges");

    // Exactly the answered writes reached the EEPROM.
    const std::string partial = SimEeprom(&sim.sim);
    ASSERT_EQ(partial.size(), 128u);
    for (int i = 0; i < 6; i++) {
        const int address = kWriteAddresses[i];
        EXPECT_EQ(Byte(partial, address), Byte(i < answered ? complete : before, address))
            << "address " << address;
    }
    EXPECT_EQ(K7340_CloseDevice(0), K7340_OK);

    PowerCycle();
    if (answered == 0) {
        // Nothing was written: the old configuration still checks out.
        EXPECT_EQ(K7340_OpenDevice(0, 0), K7340_OK);
        ExpectRanges(kOldVrange, kOldIrange, "open after no write");
    } else {
        EXPECT_EQ(K7340_OpenDevice(0, 0), K7340_ERR_EEPROM_CHECKSUM);
        ExpectRanges(60000, 500, "open of the half-written EEPROM");
    }

    EXPECT_EQ(K7340_SetRanges(0, kNewVrange, kNewIrange), K7340_OK) << "the repair";
    EXPECT_EQ(SavedEeprom(), complete) << "the repaired EEPROM";
    EXPECT_EQ(K7340_CloseDevice(0), K7340_OK);
    EXPECT_EQ(K7340_OpenDevice(0, 0), K7340_OK);
    ExpectRanges(kNewVrange, kNewIrange, "open after the repair");
}

INSTANTIATE_TEST_SUITE_P(AfterWrite, EepromIntegrity, ::testing::Range(0, 6));
