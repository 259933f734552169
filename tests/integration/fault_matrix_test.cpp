// The fault matrix: the real library over a pty to k7340sim while the simulated supply goes
// silent, corrupts its checksums, splits or delays its replies, leaves noise on the line or
// hangs up. For each fault: the exact code of an open, a meter read, a setpoint and the fault
// query; no call blocking past its exchanges' time-outs; the slot still usable afterwards; and
// once the fault stops, the next calls succeed without a reopen (after a hang-up a reopen is
// needed: the port is gone).
#include "k7340.h"
#include "sim_process.h"
#include "simulator_test.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Generous: one exchange is a write and reads, each of which ends at the latest 100 ms after it
// began (the bound runs from the start of a read, not from its last byte). These bounds catch
// hangs, busy loops and calls that go on after a failed exchange, not speed.
int AllowedMs(int exchanges) {
    return 1000 + 300 * exchanges;
}

// The exchanges a call makes: all of them when they succeed; a failing one ends the call.
int Exchanges(int all, int expectedCode) {
    return expectedCode == K7340_OK ? all : 1;
}

const int kOpenExchanges = 128;
const int kSimVrange = 50000; // k7340sim's EEPROM by default
const int kSimIrange = 200;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

size_t CountOf(const std::string &text, const char *what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// Runs a library call; its code, and fails the test if it took longer than allowed.
int Timed(const char *what, int exchanges, const std::function<int()> &call) {
    const Clock::time_point start = Clock::now();
    const int code = call();
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LE(ms, AllowedMs(exchanges)) << what << " blocked too long";
    return code;
}

int OpenSlot(int expectedCode = K7340_OK) {
    return Timed("open", Exchanges(kOpenExchanges, expectedCode),
                 [] { return K7340_OpenDevice(0, 0); });
}
int ReadVoltage() {
    return Timed("meter read", 1, [] {
        double volts = NAN;
        return K7340_ReadMeter(0, 0, &volts);
    });
}
int SetSetpoint() {
    return Timed("setpoint", 1, [] { return K7340_SetVoltage(0, 1000.5); });
}
int QueryFaults(int expectedCode = K7340_OK) {
    return Timed("fault query", Exchanges(2, expectedCode), [] {
        int flags = -1;
        return K7340_GetFaultFlags(0, &flags);
    });
}

struct FaultCase {
    const char *name;
    const char *on;  // control line that starts the fault
    const char *off; // control line that ends it
    int code;        // of every exchange while the fault lasts
    bool noiseWaits = false;
};

// Test names in ctest's list say which fault, not the bytes of the case.
void PrintTo(const FaultCase &fault, std::ostream *os) {
    *os << fault.name;
}

// A late piece or a late reply lands after the library has given up; the next command purges
// it, so each call below starts on a quiet line once this much time has passed.
const int kSettleMs = 250;

const FaultCase kFaults[] = {
    {"silence", "silent on", "silent off", K7340_ERR_READ},
    {"corrupted checksum", "corrupt on", "corrupt off", K7340_ERR_CHECKSUM},
    {"reply split, 20 ms gap", "split 20", "split 0", K7340_OK},
    // Each read pass waits 100 ms from its own start: the first ends with the first piece at
    // 100 ms, the second catches a piece that comes up to 200 ms after the first.
    {"reply split, 150 ms gap", "split 150", "split 0", K7340_OK},
    {"reply split, 250 ms gap", "split 250", "split 0", K7340_ERR_READ},
    {"noise before each command", "noise 8", "noise 0", K7340_OK, true},
    {"reply delayed 50 ms", "delay 50", "delay 0", K7340_OK},
    {"reply delayed 150 ms", "delay 150", "delay 0", K7340_ERR_READ},
};

class FaultMatrix : public SimulatorTest, public ::testing::WithParamInterface<FaultCase> {};

} // namespace

TEST_P(FaultMatrix, CodesBoundsAndRecovery) {
    const FaultCase &fault = GetParam();
    // Noise comes right behind each reply, so it is waiting when the next command goes out.
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "0", "--noise-delay-ms", "0"}), 0);
    ASSERT_EQ(SimControl(&sim.sim, fault.on), 0);

    EXPECT_EQ(OpenSlot(fault.code), fault.code) << "open";
    SleepMs(kSettleMs);
    EXPECT_EQ(ReadVoltage(), fault.code) << "meter read";
    SleepMs(kSettleMs);
    EXPECT_EQ(SetSetpoint(), fault.code) << "setpoint";
    SleepMs(kSettleMs);
    EXPECT_EQ(QueryFaults(fault.code), fault.code) << "fault query";
    if (fault.noiseWaits) {
        // The junk really was on the line: the calls above succeeded because each command
        // purged it first.
        unsigned char junk[16];
        int count = sizeof junk;
        EXPECT_EQ(K7340_ReadPort(0, junk, &count), K7340_OK);
        EXPECT_EQ(count, 8) << "noise bytes waiting after the last reply";
    }

    // The slot stays open whatever the image load said; a failed load leaves the defaults.
    int vrange = 0, irange = 0, status = -1;
    EXPECT_EQ(K7340_GetRanges(0, &vrange, &irange), K7340_OK);
    EXPECT_EQ(vrange, fault.code == K7340_OK ? kSimVrange : 60000);
    EXPECT_EQ(irange, fault.code == K7340_OK ? kSimIrange : 500);
    EXPECT_EQ(K7340_GetStatusFlags(0, &status), K7340_OK);

    ASSERT_EQ(SimControl(&sim.sim, fault.off), 0);
    SleepMs(kSettleMs);
    EXPECT_EQ(ReadVoltage(), K7340_OK) << "meter read once the fault stopped";
    EXPECT_EQ(SetSetpoint(), K7340_OK) << "setpoint once the fault stopped";
    EXPECT_EQ(QueryFaults(), K7340_OK) << "fault query once the fault stopped";
    EXPECT_EQ(K7340_GetStatusFlags(0, &status), K7340_OK);
    EXPECT_EQ(status & K7340_STATUS_ENABLE, K7340_STATUS_ENABLE) << "the setpoint arrived";
    EXPECT_EQ(K7340_CloseDevice(0), K7340_OK);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; c++)
                                 if (std::isalnum(static_cast<unsigned char>(*c)))
                                     name += *c;
                             return name;
                         });

// The simulator closes the pty's master while the library waits for a reply: what an unplugged
// USB adapter looks like. The waiting read fails at once, every later write fails, nothing
// hangs, and after a close the slot opens again on the new pty.
TEST(FaultMatrixHangUp, ReadFailsWritesFailThenReopenWorks) {
    ScopedSim sim;
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "0"}), 0);
    ASSERT_EQ(OpenSlot(), K7340_OK);
    ASSERT_EQ(ReadVoltage(), K7340_OK);

    // The reply is held back; the hang-up comes once the simulator has the command, so the
    // library is waiting for the reply when the port goes.
    ASSERT_EQ(SimControl(&sim.sim, "delay 300"), 0);
    const size_t before = CountOf(SimLog(&sim.sim), "read meter 0");
    std::thread unplug([&sim, before] {
        for (int i = 0; i < 500 && CountOf(SimLog(&sim.sim), "read meter 0") == before; i++)
            SleepMs(2);
        SimControl(&sim.sim, "hangup");
    });
    EXPECT_EQ(ReadVoltage(), K7340_ERR_READ) << "meter read during the hang-up";
    unplug.join();
    EXPECT_EQ(SetSetpoint(), K7340_ERR_WRITE) << "setpoint after the hang-up";
    EXPECT_EQ(QueryFaults(K7340_ERR_WRITE), K7340_ERR_WRITE) << "fault query after the hang-up";

    // Everything else on the dead port fails quickly and cleanly.
    unsigned char buffer[8] = {0x03, 0xF3, 0xF6};
    int count = 5, value = 0, status = -1;
    EXPECT_EQ(Timed("raw read", 1, [&] { return K7340_ReadPort(0, buffer, &count); }),
              K7340_ERR_READ);
    EXPECT_EQ(Timed("raw write", 1, [&] { return K7340_WritePort(0, buffer, 3); }),
              K7340_ERR_WRITE);
    EXPECT_EQ(Timed("raw meter", 1, [&] { return K7340_ReadRawMeter(0, 2, &value); }),
              K7340_ERR_WRITE);
    EXPECT_EQ(Timed("SetRanges", 6, [] { return K7340_SetRanges(0, 40000, 300); }),
              K7340_ERR_WRITE);
    EXPECT_EQ(Timed("reset", 2, [] { return K7340_Reset(0); }), K7340_ERR_WRITE);
    EXPECT_EQ(K7340_GetStatusFlags(0, &status), K7340_OK);

    // The port is gone: an open on the open slot does not help (it sends nothing), a reopen does.
    EXPECT_EQ(K7340_OpenDevice(0, 0), K7340_OK);
    EXPECT_EQ(ReadVoltage(), K7340_ERR_WRITE) << "the old port is still the dead one";
    ASSERT_EQ(SimControl(&sim.sim, "delay 0"), 0);
    ASSERT_EQ(WaitForSimLink(&sim.sim, 5000), 0) << "the simulator offers a new pty";
    EXPECT_EQ(K7340_CloseDevice(0), K7340_OK);
    EXPECT_EQ(OpenSlot(), K7340_OK) << "reopen";
    EXPECT_EQ(ReadVoltage(), K7340_OK);
    EXPECT_EQ(SetSetpoint(), K7340_OK);
    EXPECT_EQ(QueryFaults(), K7340_OK);
    EXPECT_EQ(K7340_CloseDevice(0), K7340_OK);
}
