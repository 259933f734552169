// The real shared library over a real pseudo-terminal to k7340sim: open and image load, ranges,
// EEPROM byte calls, injected faults, and an operating session.
#include "k7340.h"
#include "sim_process.h"
#include "simulator_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

int EepromWord(const std::string &eeprom, int address) {
    return (static_cast<unsigned char>(eeprom[address]) << 8) |
           static_cast<unsigned char>(eeprom[address + 1]);
}

double ReadVolts() {
    double volts = -1;
    EXPECT_EQ(K7340_ReadMeter(0, K7340_METER_VOLTAGE, &volts), 0);
    return volts;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The simulator logs an exchange just after it has answered it: give the line a moment.
bool LogShows(const SimProcess *sim, const char *text) {
    for (int i = 0; i < 100; i++) {
        if (SimLog(sim).find(text) != std::string::npos)
            return true;
        SleepMs(10);
    }
    return false;
}

} // namespace

class LibraryOverPty : public SimulatorTest {};

TEST_F(LibraryOverPty, OpenLoadsTheImageAndTheRanges) {
    ASSERT_EQ(StartSim(&sim.sim, {"--vrange", "20000", "--irange", "400"}), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    int vrange = 0, irange = 0;
    ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
    EXPECT_EQ(vrange, 20000);
    EXPECT_EQ(irange, 400);
    EXPECT_TRUE(LogShows(&sim.sim, "read EEPROM 0 "));
    EXPECT_TRUE(LogShows(&sim.sim, "read EEPROM 127 "));
    EXPECT_EQ(K7340_OpenDevice(0, 0), 0) << "an open slot is not reopened";
    EXPECT_EQ(K7340_CloseDevice(0), 0);
    EXPECT_EQ(K7340_CloseDevice(0), -1);
}

TEST_F(LibraryOverPty, UnusableEepromsOpenWithDefaults) {
    const struct {
        const char *preset;
        int code;
    } cases[] = {{"blank", -9}, {"bad-ranges", -8}};
    for (const auto &c : cases) {
        ScopedSim local;
        ASSERT_EQ(StartSim(&local.sim, {"--eeprom", c.preset}), 0);
        EXPECT_EQ(K7340_OpenDevice(0, 0), c.code) << c.preset;
        int vrange = 0, irange = 0;
        ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
        EXPECT_EQ(vrange, 60000);
        EXPECT_EQ(irange, 500);
        EXPECT_EQ(K7340_CloseDevice(0), 0);
    }
}

TEST_F(LibraryOverPty, SetRangesReachesTheEepromAndTheNextOpen) {
    ASSERT_EQ(StartSim(&sim.sim, {"--eeprom", "blank"}), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), -9);
    ASSERT_EQ(K7340_SetRanges(0, 20000, 400), 0);
    const std::string eeprom = SimEeprom(&sim.sim);
    ASSERT_EQ(eeprom.size(), 128u);
    EXPECT_EQ(EepromWord(eeprom, 64), 20000);
    EXPECT_EQ(EepromWord(eeprom, 66), 400);
    int sum = 0;
    for (int i = 0; i < 126; i++)
        sum += static_cast<unsigned char>(eeprom[i]);
    EXPECT_EQ(EepromWord(eeprom, 126), sum);
    ASSERT_EQ(K7340_CloseDevice(0), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    int vrange = 0, irange = 0;
    ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
    EXPECT_EQ(vrange, 20000);
    EXPECT_EQ(irange, 400);
}

TEST_F(LibraryOverPty, EepromByteCalls) {
    ASSERT_EQ(StartSim(&sim.sim), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    ASSERT_EQ(K7340_SetEEPROM(0, 10, 0x1A5), 0);
    unsigned char value = 0;
    ASSERT_EQ(K7340_GetEEPROM(0, 10, &value), 0);
    EXPECT_EQ(value, 0xA5);
    EXPECT_EQ(static_cast<unsigned char>(SimEeprom(&sim.sim)[10]), 0xA5);
    EXPECT_EQ(K7340_GetEEPROM(0, 128, &value), -2);
}

TEST_F(LibraryOverPty, InjectedFaultsGiveTheirCodes) {
    const struct {
        const char *option;
        int code;
    } cases[] = {{"--silent", -4}, {"--corrupt", -5}};
    for (const auto &c : cases) {
        ScopedSim local;
        ASSERT_EQ(StartSim(&local.sim, {c.option}), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(K7340_OpenDevice(0, 0), c.code) << c.option;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(2)) << "the load stops at the first failure";
        int vrange = 0, irange = 0;
        EXPECT_EQ(K7340_GetRanges(0, &vrange, &irange), 0) << "the slot is open";
        EXPECT_EQ(vrange, 60000);
        EXPECT_EQ(K7340_CloseDevice(0), 0);
    }
}

TEST_F(LibraryOverPty, MissingAndBusyPorts) {
    ASSERT_EQ(StartSim(&sim.sim), 0);
    setenv("K7340_COM2", "/nonexistent/k7340-port", 1);
    EXPECT_EQ(K7340_OpenDevice(1, 1), -10);
    EXPECT_STREQ(K7340_GetErrString(K7340_OpenDevice(1, 1)), "COM port busy or not found");
    unsetenv("K7340_COM2");
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    const int busy = K7340_OpenDevice(2, 0); // the same port from another slot
    EXPECT_GT(busy, 0) << "an OS error number";
    EXPECT_STREQ(K7340_GetErrString(busy), "System error");
    ASSERT_EQ(K7340_CloseDevice(0), 0);
    EXPECT_EQ(K7340_OpenDevice(2, 0), 0) << "released by the close";
}

TEST_F(LibraryOverPty, OperatingSession) {
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "20000"}), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    int version = 0;
    ASSERT_EQ(K7340_GetFwVersion(0, &version), 0);
    EXPECT_EQ(version, 0x0123);

    // Output on at 1000 V: the meter climbs towards it at the supply's slew rate.
    ASSERT_EQ(K7340_SetVoltage(0, 1000.0), 0);
    double previous = ReadVolts();
    double volts = previous;
    for (int i = 0; i < 40 && volts < 990.0; i++) {
        SleepMs(10);
        volts = ReadVolts();
        EXPECT_GE(volts, previous - 1.0);
        previous = volts;
    }
    EXPECT_NEAR(volts, 1000.0, 2.0);
    int status = 0;
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_TRUE(status & K7340_STATUS_ENABLE);
    double microamps = 0;
    ASSERT_EQ(K7340_ReadMeter(0, K7340_METER_CURRENT, &microamps), 0);
    EXPECT_NEAR(microamps, 1000.0 / 250e6 * 1e6, 0.1);
    double temperature = 0;
    ASSERT_EQ(K7340_ReadMeter(0, K7340_METER_TEMPERATURE, &temperature), 0);
    EXPECT_GT(temperature, 15.0);
    EXPECT_LT(temperature, 40.0);
    int raw = -1;
    ASSERT_EQ(K7340_ReadRawMeter(0, K7340_METER_VOLTAGE, &raw), 0);
    EXPECT_GT(raw, 0);
    EXPECT_LE(raw, 0x7FFFFF);

    // Off: the output falls back to zero.
    ASSERT_EQ(K7340_SetVoltage(0, 0.0), 0);
    for (int i = 0; i < 40 && volts > 1.0; i++) {
        SleepMs(10);
        volts = ReadVolts();
    }
    EXPECT_LT(volts, 1.0);
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_FALSE(status & K7340_STATUS_ENABLE);
    EXPECT_TRUE(LogShows(&sim.sim, "set 1000.0 V, output on"));
}

TEST_F(LibraryOverPty, WatchdogTripsWhenTheHostFallsSilent) {
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "0"}), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    ASSERT_EQ(K7340_SetVoltage(0, 500.0), 0);
    ASSERT_EQ(K7340_SetWD(0, 50), 0);
    EXPECT_NEAR(ReadVolts(), 500.0, 1.0);
    SleepMs(200); // no command for four watchdog periods
    EXPECT_LT(ReadVolts(), 1.0);
    int status = 0;
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_TRUE(status & K7340_STATUS_FAULT);
    EXPECT_FALSE(status & K7340_STATUS_ENABLE);
    int faults = 0;
    ASSERT_EQ(K7340_GetFaultFlags(0, &faults), 0);
    EXPECT_NE(faults, 0);
    ASSERT_EQ(K7340_SetWD(0, 0), 0);
    ASSERT_EQ(K7340_GetFaultFlags(0, &faults), 0);
    EXPECT_EQ(faults, 0) << "the follow-up command cleared the latched fault";
}

TEST_F(LibraryOverPty, ResetIsReportedOnceAndLimitsRaiseStatusBits) {
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "0"}), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    ASSERT_EQ(K7340_SetVoltage(0, 30000.0), 0);
    ASSERT_EQ(K7340_SetLimits(0, 50, 100), 0); // 30 kV is above half of 50 kV
    ReadVolts();
    int status = 0;
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_TRUE(status & K7340_STATUS_OVER_VOLTAGE);
    ASSERT_EQ(K7340_Reset(0), 0);
    ReadVolts();
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_TRUE(status & K7340_STATUS_RESET);
    EXPECT_FALSE(status & K7340_STATUS_ENABLE);
    EXPECT_LT(ReadVolts(), 1.0);
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_FALSE(status & K7340_STATUS_RESET);
}
