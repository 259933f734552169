// What the supply model does with its commands: output and slew, meters, limits, watchdog,
// reset, faults; and the traffic decoder behind the simulator's log.
#include "supply_test_support.h"

#include <cmath>
#include <cstring>
#include <string>

namespace {

const int64_t kMs = 1000;

class InstantSupply : public SupplyTest {
  protected:
    InstantSupply() {
        SupplyConfig config; // 50000 V, 200 uA, 250 MOhm: full scale is 200 uA
        config.slewVPerS = 0;
        Init(config);
    }
};

struct MeterCase {
    const char *name;
    Bytes setpoint;
    int meter0, meter1, meter3;
    Bytes raw0, raw1;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MeterCase &c, std::ostream *os) {
    *os << c.name;
}

const MeterCase kMeters[] = {
    {"off", {0x10, 0, 0, 0}, 0, 0, 0, {0, 0, 0}, {0, 0, 0}},
    {"full_scale",
     {0x11, 0xFF, 0xFF, 0xFF},
     65535,
     65535,
     0xFFC0,
     {0x7F, 0xFF, 0xFF},
     {0x7F, 0xFF, 0xFF}},
    // code 0x800000: 25000.0015 V, 100.000006 uA
    {"half_scale",
     {0x11, 0x80, 0x00, 0x00},
     32768,
     32768,
     512 << 6,
     {0x40, 0x00, 0x00},
     {0x40, 0x00, 0x00}},
    // code 335544 (1000 V at 50000): 1310.7 -> 1311; 4 uA of 200
    {"1000V",
     {0x11, 0x05, 0x1E, 0xB8},
     1311,
     1311,
     20 << 6,
     {0x02, 0x8F, 0x5C},
     {0x02, 0x8F, 0x5C}},
};

class MeterReadings : public InstantSupply, public ::testing::WithParamInterface<MeterCase> {};

TEST_P(MeterReadings, AreScaledToTheRanges) {
    const MeterCase &c = GetParam();
    Exchange(c.setpoint, 1000);
    EXPECT_EQ(MeterAt(0, 2000), c.meter0);
    EXPECT_EQ(MeterAt(1, 2000), c.meter1);
    EXPECT_EQ(MeterAt(3, 2000), c.meter3);
    EXPECT_EQ(Exchange({0xF9}, 2000), ReplyFrame(SupplyStatus(m()), c.raw0));
    EXPECT_EQ(Exchange({0xFA}, 2000), ReplyFrame(SupplyStatus(m()), c.raw1));
}

INSTANTIATE_TEST_SUITE_P(Setpoints, MeterReadings, ::testing::ValuesIn(kMeters),
                         [](const auto &info) { return std::string(info.param.name); });

struct SlewCase {
    int64_t afterMs;
    double volts;
};

TEST_F(SupplyTest, OutputSlewsUpAndBackDownAt20kVPerSecond) {
    Exchange({0x11, 0x05, 0x1E, 0xB8}, 0); // ~1000 V
    const double target = 335544 * 50000.0 / 16777215.0;
    for (const SlewCase &c : {SlewCase{10, 200.0}, SlewCase{25, 500.0}, SlewCase{100, target}}) {
        SupplyAdvance(m(), c.afterMs * kMs);
        EXPECT_NEAR(SupplyVolts(m()), c.volts, 1e-6) << c.afterMs << " ms after switching on";
    }
    EXPECT_EQ(MeterAt(0, 100 * kMs), 1311);
    Exchange({0x10, 0, 0, 0}, 200 * kMs);
    SupplyAdvance(m(), 230 * kMs);
    EXPECT_NEAR(SupplyVolts(m()), target - 600.0, 1e-6);
    SupplyAdvance(m(), 300 * kMs);
    EXPECT_EQ(SupplyVolts(m()), 0.0);
}

TEST_F(InstantSupply, TemperatureRisesWithOutputPower) {
    const int idle = MeterAt(2, 0);
    Exchange({0x11, 0xFF, 0xFF, 0xFF}, 0); // 50 kV over 250 MOhm: 10 W
    SupplyAdvance(m(), 60000 * kMs);
    const double warm = SupplyTemperature(m());
    EXPECT_NEAR(warm, 25.0 + 4.0 * (1.0 - exp(-1.0)), 0.01) << "60 s time constant, 0.4 C/W";
    EXPECT_GT(MeterAt(2, 60000 * kMs), idle);
    Exchange({0x10, 0, 0, 0}, 60000 * kMs);
    SupplyAdvance(m(), 600000 * kMs);
    EXPECT_NEAR(SupplyTemperature(m()), 25.0, 0.01) << "cools back to room temperature";
}

struct LimitCase {
    const char *name;
    int voltageLevel, currentLevel;
    int status; // with 10000 V over 250 MOhm (40 uA) on a 50000 V / 200 uA supply
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const LimitCase &c, std::ostream *os) {
    *os << c.name;
}

const LimitCase kLimits[] = {
    {"no_limits", 63, 63, 0x04},
    {"voltage_10_percent", 6, 63, 0x05}, // 4762 V
    {"current_0", 63, 0, 0x06},          // 0 uA
    {"both_just_above", 13, 13, 0x04},   // 10317 V, 41.3 uA
    {"both_just_below", 12, 12, 0x07},   // 9524 V, 38.1 uA
    {"level_above_63_is_63", 200, 63, 0x04},
};

class Limits : public InstantSupply, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, SetOverVoltageAndOverCurrentWhileExceeded) {
    const LimitCase &c = GetParam();
    Exchange({0xF6, static_cast<unsigned char>(c.voltageLevel)}, 0);
    Exchange({0xF7, static_cast<unsigned char>(c.currentLevel)}, 0);
    Exchange({0x11, 0x33, 0x33, 0x33}, 1000); // 10000 V
    EXPECT_EQ(StatusAt(2000), c.status);
    Exchange({0x10, 0, 0, 0}, 3000);
    EXPECT_EQ(StatusAt(4000), 0x00) << "no limit is exceeded at 0 V";
}

INSTANTIATE_TEST_SUITE_P(Levels, Limits, ::testing::ValuesIn(kLimits),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InstantSupply, WatchdogSwitchesOffAnIdleOutputAndLatchesItsFault) {
    Exchange({0xF0, 10}, 0); // 100 ms
    Exchange({0x11, 0x33, 0x33, 0x33}, 0);
    SupplyAdvance(m(), 100 * kMs - 1);
    EXPECT_EQ(SupplyStatus(m()), 0x04);
    SupplyAdvance(m(), 100 * kMs);
    EXPECT_EQ(SupplyStatus(m()), SUPPLY_STATUS_FAULT);
    EXPECT_EQ(SupplyVolts(m()), 0.0);
    EXPECT_EQ(Exchange({0xFC}, 500 * kMs), ReplyFrame(0x10, {SUPPLY_FAULT_WATCHDOG}));
    EXPECT_EQ(Exchange({0xF8}, 500 * kMs), ReplyFrame(0x00, {}));
    EXPECT_EQ(Exchange({0xFC}, 500 * kMs), ReplyFrame(0x00, {0x00}));
}

TEST_F(InstantSupply, WatchdogIsFedByEveryCommand) {
    Exchange({0xF0, 10}, 0);
    Exchange({0x11, 0x33, 0x33, 0x33}, 0);
    for (int64_t t = 50; t <= 1000; t += 50)
        EXPECT_EQ(StatusAt(t * kMs), 0x04) << t << " ms";
    Exchange({0xF0, 0}, 1000 * kMs); // off
    EXPECT_EQ(StatusAt(60000 * kMs), 0x04);
}

TEST_F(SupplyTest, FaultFollowUpKeepsForcedFaultBits) {
    SupplyConfigOf(m())->forceFault = 0x88;
    SupplyConfigOf(m())->forceStatus = 0x40;
    EXPECT_EQ(Exchange({0xFC}, 0), ReplyFrame(0x50, {0x88}));
    EXPECT_EQ(Exchange({0xF8}, 0), ReplyFrame(0x50, {}));
    EXPECT_EQ(Exchange({0xFC}, 0), ReplyFrame(0x50, {0x88}));
}

TEST_F(InstantSupply, ResetBitIsReportedByTheResetReplyAndTheNextOneOnly) {
    Exchange({0xF0, 50}, 0);
    Exchange({0xF6, 0}, 0);
    Exchange({0x11, 0x33, 0x33, 0x33}, 0);
    EXPECT_EQ(StatusAt(1000), 0x05);
    EXPECT_EQ(Exchange({0xF4}, 2000), ReplyFrame(0x80, {}));
    EXPECT_EQ(StatusAt(3000), 0x80);
    EXPECT_EQ(StatusAt(4000), 0x00);
    EXPECT_EQ(SupplyVolts(m()), 0.0);
    // Watchdog off and limits back to 63 after the reset.
    Exchange({0x11, 0xFF, 0xFF, 0xFF}, 5000);
    EXPECT_EQ(StatusAt(10000 * kMs), 0x04);
}

TEST_F(SupplyTest, ResetBitWaitsForAReplyWhileTheSupplyIsSilent) {
    Exchange({0xF4}, 0);
    faults()->silent = true;
    EXPECT_TRUE(Exchange({0x00}, 1000).empty());
    faults()->silent = false;
    EXPECT_EQ(StatusAt(2000), 0x80);
    EXPECT_EQ(StatusAt(3000), 0x00);
}

// ---- traffic decoder and log ----

struct DecodeCase {
    Bytes command;
    Bytes reply; // empty: describe the command alone
    const char *text;
};

const DecodeCase kDecodes[] = {
    {CommandFrame({0x11, 0x05, 0x1E, 0xB8}), {}, "set 1000.0 V, output on"},
    {CommandFrame({0x10, 0, 0, 0}), {}, "output off"},
    {CommandFrame({0xF0, 10}), {}, "watchdog 10 (100 ms)"},
    {CommandFrame({0xF0, 0}), {}, "watchdog 0 (off)"},
    {CommandFrame({0xF1, 64, 0xC3}), {}, "write EEPROM 64 = 0xC3"},
    {CommandFrame({0xF6, 31}), {}, "voltage limit level 31 (49 %)"},
    {CommandFrame({0x42}), {}, "unknown opcode 0x42"},
    {{0x03, 0xF3, 0xF7}, {}, "bad checksum 0xF7, expected 0xF6"},
    {CommandFrame({0x00}), ReplyFrame(0x04, {0x80, 0x00}),
     "read meter 0 -> 25000.4 V, status 0x04 (Enable)"},
    {CommandFrame({0xF2, 64}), ReplyFrame(0x00, {0xC3}), "read EEPROM 64 -> 0xC3, status 0x00"},
    {CommandFrame({0xFC}), ReplyFrame(0x10, {0x88}), "fault query -> 0x88, status 0x10 (Fault)"},
    {CommandFrame({0xF3}), ReplyFrame(0x91, {0x01, 0x23}),
     "read firmware -> 0x0123, status 0x91 (OverV Fault Reset)"},
    {CommandFrame({0x10, 0, 0, 0}),
     {0x03, 0x00, 0x04},
     "output off -> ok, status 0x00 [bad checksum"},
};

TEST(SupplyDecoder, DescribesTrafficInWords) {
    for (const DecodeCase &c : kDecodes) {
        char text[SUPPLY_LOG_TEXT];
        if (c.reply.empty()) {
            SupplyDescribeCommand(c.command.data(), static_cast<int>(c.command.size()), 50000, text,
                                  sizeof text);
        } else {
            SupplyDescribeReply(c.command.data(), static_cast<int>(c.command.size()),
                                c.reply.data(), static_cast<int>(c.reply.size()), 50000, 200, text,
                                sizeof text);
        }
        EXPECT_EQ(std::string(text).rfind(c.text, 0), 0u) << "got: " << text;
    }
}

TEST(SupplyDecoder, TruncatesToTheGivenSpace) {
    Bytes frame = CommandFrame({0x11, 0x05, 0x1E, 0xB8});
    char text[8];
    memset(text, 'x', sizeof text);
    int n = SupplyDescribeCommand(frame.data(), static_cast<int>(frame.size()), 50000, text, 8);
    EXPECT_EQ(n, 7);
    EXPECT_STREQ(text, "set 100");
}

TEST_F(SupplyTest, LogHasOneLinePerCommandAndReplyOnceTheirTimeHasCome) {
    SupplyConfig config;
    config.log = true;
    Init(config);
    faults()->delayUs = 5000;
    Send(CommandFrame({0xF2, 64}), 1000);
    char text[SUPPLY_LOG_TEXT];
    int64_t at = 0;
    ASSERT_EQ(SupplyTakeLog(m(), text, sizeof text, &at, 1000), 1);
    EXPECT_EQ(at, 1000);
    EXPECT_STREQ(text, "> 04 F2 40 36  read EEPROM 64");
    EXPECT_EQ(SupplyTakeLog(m(), text, sizeof text, &at, 5999), 0) << "reply not sent yet";
    ASSERT_EQ(SupplyTakeLog(m(), text, sizeof text, &at, 6000), 1);
    EXPECT_EQ(at, 6000);
    EXPECT_STREQ(text, "< 04 00 C3 C7  read EEPROM 64 -> 0xC3, status 0x00");
    EXPECT_EQ(SupplyTakeLog(m(), text, sizeof text, &at, INT64_MAX), 0);
}

TEST_F(SupplyTest, LogFlagsWhatGetsNoReply) {
    SupplyConfig config;
    config.log = true;
    Init(config);
    Send({0x03, 0xF3, 0xF7}, 0);
    Send(CommandFrame({0x42}), 0);
    faults()->silent = true;
    Send(CommandFrame({0xF3}), 0);
    const char *expected[] = {"bad checksum",
                              "junk byte",
                              "junk byte",
                              "unknown opcode 0x42",
                              "junk byte",
                              "junk byte",
                              "read firmware (silent: no reply)"};
    for (const char *words : expected) {
        char text[SUPPLY_LOG_TEXT];
        ASSERT_EQ(SupplyTakeLog(m(), text, sizeof text, nullptr, 0), 1) << words;
        EXPECT_NE(std::string(text).find(words), std::string::npos) << text;
    }
}

} // namespace
