#include "library_test_support.h"

#include "instrument.h"

#include <cmath>
#include <limits>

class Instrument : public LibraryTest {};

TEST_F(Instrument, SetpointFrames) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        int vrange;
        double volts;
        Bytes frame;
    } cases[] = {
        {50000, 1000.0, {0x06, 0x11, 0x05, 0x1E, 0xB8, 0xF2}},
        {50000, 1000.5, {0x06, 0x11, 0x05, 0x1F, 0x60, 0x9B}},
        {60000, 20.0, {0x06, 0x11, 0x00, 0x15, 0xD8, 0x04}},
        {60000, 19.999, {0x06, 0x10, 0x00, 0x00, 0x00, 0x16}},
        {50000, 25000.0, {0x06, 0x11, 0x80, 0x00, 0x00, 0x97}},
        {50000, 50000.0, {0x06, 0x11, 0xFF, 0xFF, 0xFF, 0x14}},
        {50000, 60000.0, {0x06, 0x11, 0xFF, 0xFF, 0xFF, 0x14}},
        {50000, 1.0e12, {0x06, 0x11, 0xFF, 0xFF, 0xFF, 0x14}},
        {50000, inf, {0x06, 0x11, 0xFF, 0xFF, 0xFF, 0x14}},
        {50000, 0.0, {0x06, 0x10, 0x00, 0x00, 0x00, 0x16}},
        {50000, -5.0, {0x06, 0x10, 0x00, 0x00, 0x00, 0x16}},
        {50000, -inf, {0x06, 0x10, 0x00, 0x00, 0x00, 0x16}},
    };
    for (const auto &c : cases) {
        FakeReset();
        OpenConfigured(c.vrange);
        EXPECT_EQ(K7340_SetVoltage(0, c.volts), 0) << c.volts;
        EXPECT_EQ(Frames(), std::vector<Bytes>({c.frame})) << c.volts << " V at " << c.vrange;
    }
}

TEST_F(Instrument, SetpointCodesRoundHalvesUp) {
    EXPECT_EQ(SetpointCode(25000.0, 50000), 8388608u);
    EXPECT_EQ(SetpointCode(1000.0, 50000), 335544u);
    EXPECT_EQ(SetpointCode(20.0, 60000), 5592u);
    EXPECT_EQ(SetpointCode(49999.999, 50000), 16777215u);
}

TEST_F(Instrument, NotANumberIsRefusedAndNothingIsSent) {
    OpenConfigured();
    EXPECT_EQ(K7340_SetVoltage(0, std::nan("")), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_SetVoltage(0, -std::numeric_limits<double>::quiet_NaN()), K7340_ERR_ARGUMENT);
    EXPECT_TRUE(Frames().empty());
}

TEST_F(Instrument, MeterConversionsAreExact) {
    const struct {
        int channel;
        Bytes data;
        double expected;
    } cases[] = {
        {K7340_METER_VOLTAGE, {0x80, 0x00}, 25000.381475547416},
        {K7340_METER_VOLTAGE, {0xFF, 0xFF}, 50000.0},
        {K7340_METER_VOLTAGE, {0x00, 0x00}, 0.0},
        {K7340_METER_CURRENT, {0xFF, 0xFF}, 200.0},
        {K7340_METER_CURRENT, {0x80, 0x00}, 32768.0 * 200 / 65535.0},
        {K7340_METER_TEMPERATURE, {0x0C, 0x80}, 24.414807580797753},
        {K7340_METER_TEMPERATURE, {0x7F, 0xFF}, 250.0},
        {K7340_METER_TEMPERATURE, {0xFF, 0xFF}, 250.0},
        {K7340_METER_TEMPERATURE, {0x80, 0x00}, 0.0},
        {K7340_METER_TEN_BIT, {0x80, 0x00}, 2.5024437927663734},
        {K7340_METER_TEN_BIT, {0xFF, 0xC0}, 5.0},
        {K7340_METER_TEN_BIT, {0xFF, 0xFF}, 5.0},
    };
    OpenConfigured(50000, 200);
    for (const auto &c : cases) {
        FakeClearEvents(0);
        FakeQueueReply(0, FakeReplyFrame(0, c.data));
        double value = -1;
        ASSERT_EQ(K7340_ReadMeter(0, c.channel, &value), 0);
        EXPECT_EQ(value, c.expected) << "channel " << c.channel;
        const unsigned char op = static_cast<unsigned char>(c.channel);
        EXPECT_EQ(Frames(), std::vector<Bytes>({{0x03, op, static_cast<unsigned char>(3 + op)}}));
    }
}

TEST_F(Instrument, MeterProductBeyondThirtyTwoBitsStaysExact) {
    OpenConfigured(60000, 500);
    FakeQueueReply(0, FakeReplyFrame(0, {0xFF, 0xFE}));
    double value = 0;
    ASSERT_EQ(K7340_ReadMeter(0, K7340_METER_VOLTAGE, &value), 0);
    EXPECT_EQ(value, 65534.0 * 60000.0 / 65535.0);
}

TEST_F(Instrument, MeterRefusalsAndFailuresLeaveTheOutput) {
    OpenConfigured();
    double value = 42.0;
    EXPECT_EQ(K7340_ReadMeter(0, 4, &value), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_ReadMeter(0, -1, &value), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_ReadMeter(0, K7340_METER_VOLTAGE, nullptr), K7340_ERR_ARGUMENT);
    EXPECT_TRUE(Frames().empty());
    FakeFaults(0)->silent = true;
    EXPECT_EQ(K7340_ReadMeter(0, K7340_METER_VOLTAGE, &value), K7340_ERR_READ);
    EXPECT_EQ(value, 42.0);
}

TEST_F(Instrument, RawMetersKeepTheirBitsAndMaskAfterAnyOutcome) {
    OpenConfigured();
    const struct {
        int channel;
        int expected;
        Bytes frame;
    } cases[] = {
        {K7340_METER_VOLTAGE, 8388607, {0x03, 0xF9, 0xFC}},
        {K7340_METER_CURRENT, 8388607, {0x03, 0xFA, 0xFD}},
        {K7340_METER_TEMPERATURE, 16777215, {0x03, 0xFB, 0xFE}},
    };
    for (const auto &c : cases) {
        FakeClearEvents(0);
        FakeQueueReply(0, FakeReplyFrame(0, {0xFF, 0xFF, 0xFF}));
        int value = 0;
        ASSERT_EQ(K7340_ReadRawMeter(0, c.channel, &value), 0);
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(Frames(), std::vector<Bytes>({c.frame}));
    }
    FakeClearEvents(0);
    int value = -1;
    EXPECT_EQ(K7340_ReadRawMeter(0, K7340_METER_TEN_BIT, &value), K7340_ERR_ARGUMENT);
    EXPECT_EQ(value, 8388607) << "a rejected channel still masks";
    EXPECT_TRUE(Frames().empty());
    value = -1;
    EXPECT_EQ(K7340_ReadRawMeter(0, -1, &value), K7340_ERR_ARGUMENT);
    EXPECT_EQ(value, 8388607);
    FakeFaults(0)->silent = true;
    value = -1;
    EXPECT_EQ(K7340_ReadRawMeter(0, K7340_METER_VOLTAGE, &value), K7340_ERR_READ);
    EXPECT_EQ(value, 8388607) << "a failed exchange still masks";
    value = -1;
    EXPECT_EQ(K7340_ReadRawMeter(0, K7340_METER_TEMPERATURE, &value), K7340_ERR_READ);
    EXPECT_EQ(value, -1) << "the temperature is never masked";
    value = -1;
    EXPECT_EQ(K7340_ReadRawMeter(1, K7340_METER_VOLTAGE, &value), K7340_ERR_CLOSED);
    EXPECT_EQ(value, -1) << "a closed slot touches nothing";
    EXPECT_EQ(K7340_ReadRawMeter(0, K7340_METER_VOLTAGE, nullptr), K7340_ERR_ARGUMENT);
}

TEST_F(Instrument, WatchdogCountsRoundUpAndSaturate) {
    const struct {
        unsigned ms;
        unsigned char count;
    } cases[] = {
        {0, 0},
        {1, 1},
        {10, 1},
        {11, 2},
        {95, 10},
        {2540, 254},
        {2541, 255},
        {2542, 255},
        {100000, 255},
        {4294967295u, 255},
        {4294967290u, 255},
    };
    OpenConfigured();
    for (const auto &c : cases) {
        FakeClearEvents(0);
        ASSERT_EQ(K7340_SetWD(0, c.ms), 0);
        EXPECT_EQ(Frames(), std::vector<Bytes>({{0x04, 0xF0, c.count,
                                                 static_cast<unsigned char>(0xF4 + c.count)}}))
            << c.ms << " ms";
    }
    // Past 2541 ms the count stays 255; one that wrapped past 255 would send 0 or a small count.
    for (unsigned ms = 2542; ms <= 2796; ms++) {
        FakeClearEvents(0);
        ASSERT_EQ(K7340_SetWD(0, ms), 0);
        EXPECT_EQ(Frames(), std::vector<Bytes>({{0x04, 0xF0, 0xFF, 0xF3}})) << ms << " ms";
    }
}

TEST_F(Instrument, LimitLevels) {
    const struct {
        int percent, level;
    } cases[] = {{0, 0},
                 {1, 0},
                 {2, 1},
                 {50, 31},
                 {99, 62},
                 {100, 63},
                 {101, 63},
                 {150, 63},
                 {-1, 0},
                 {-2, 0},
                 {-2147483647 - 1, 0},
                 {2147483647, 63}};
    for (const auto &c : cases)
        EXPECT_EQ(LimitLevel(c.percent), c.level) << c.percent;
}

TEST_F(Instrument, LimitsSendBothLevelsInOrder) {
    OpenConfigured();
    ASSERT_EQ(K7340_SetLimits(0, 50, 150), 0);
    EXPECT_EQ(Frames(), std::vector<Bytes>({{0x04, 0xF6, 0x1F, 0x19}, {0x04, 0xF7, 0x3F, 0x3A}}));
    FakeClearEvents(0);
    FakeFaults(0)->silent = true;
    EXPECT_EQ(K7340_SetLimits(0, 50, 150), K7340_ERR_READ);
    EXPECT_EQ(Frames().size(), 1u) << "the second limit is not sent after a failure";
}

TEST_F(Instrument, FaultFlagsQueryThenFollowUp) {
    OpenConfigured();
    FakeQueueReply(0, FakeReplyFrame(0x10, {0x88}));
    FakeQueueReply(0, FakeReplyFrame(0x10, {}));
    int flags = 0;
    ASSERT_EQ(K7340_GetFaultFlags(0, &flags), 0);
    EXPECT_EQ(flags, 136);
    EXPECT_EQ(Frames(), std::vector<Bytes>({{0x03, 0xFC, 0xFF}, {0x03, 0xF8, 0xFB}}));

    FakeClearEvents(0);
    FakeQueueReply(0, FakeReplyFrame(0, {0x20}));
    Bytes bad = FakeReplyFrame(0, {});
    bad.back() ^= 1;
    FakeQueueReply(0, bad);
    flags = 0;
    EXPECT_EQ(K7340_GetFaultFlags(0, &flags), K7340_ERR_CHECKSUM);
    EXPECT_EQ(flags, 0x20) << "the fault byte is kept when only the follow-up fails";

    FakeClearEvents(0);
    FakeFaults(0)->silent = true;
    flags = 77;
    EXPECT_EQ(K7340_GetFaultFlags(0, &flags), K7340_ERR_READ);
    EXPECT_EQ(flags, 77);
    EXPECT_EQ(Frames().size(), 1u) << "no follow-up after a failed query";
}

TEST_F(Instrument, NullOutputsAcceptedWhereTheExchangeStillMatters) {
    OpenConfigured();
    EXPECT_EQ(K7340_GetFwVersion(0, nullptr), 0);
    EXPECT_EQ(K7340_GetFaultFlags(0, nullptr), 0);
    EXPECT_EQ(Frames().size(), 3u);
    EXPECT_EQ(K7340_GetStatusFlags(0, nullptr), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_GetRanges(0, nullptr, nullptr), K7340_ERR_ARGUMENT);
}

TEST_F(Instrument, FirmwareRevision) {
    OpenConfigured();
    FakeQueueReply(0, FakeReplyFrame(0, {0x01, 0x23}));
    int version = 0;
    ASSERT_EQ(K7340_GetFwVersion(0, &version), 0);
    EXPECT_EQ(version, 291);
    EXPECT_EQ(Frames(), std::vector<Bytes>({{0x03, 0xF3, 0xF6}}));
}

TEST_F(Instrument, ResetSequenceWithItsPauses) {
    OpenConfigured();
    FakeQueueReply(0, FakeReplyFrame(0x45, {}));
    FakeQueueReply(0, FakeReplyFrame(0x80, {})); // the reset's reply, never read
    const int64_t start = FakeNowUs();
    ASSERT_EQ(K7340_Reset(0), 0);
    const std::vector<FakeEvent> &events = FakeEvents(0);
    std::vector<FakeEventKind> kinds;
    for (const FakeEvent &e : events)
        kinds.push_back(e.kind);
    EXPECT_EQ(kinds, std::vector<FakeEventKind>({FAKE_PURGE, FAKE_WRITE, FAKE_READ, FAKE_PAUSE,
                                                 FAKE_PURGE, FAKE_WRITE, FAKE_PAUSE, FAKE_PURGE}));
    EXPECT_EQ(Frames(),
              std::vector<Bytes>({{0x06, 0x10, 0x00, 0x00, 0x00, 0x16}, {0x03, 0xF4, 0xF7}}));
    EXPECT_EQ(events[3].pauseMs, 500u);
    EXPECT_EQ(events[6].pauseMs, 500u);
    EXPECT_EQ(FakeNowUs() - start, 1000000);
    int status = 0;
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_EQ(status, 0x45) << "the reset reply's status is never cached";
}

TEST_F(Instrument, ResetAfterAFailedSetpointSendsTheResetAtOnce) {
    OpenConfigured();
    FakeFaults(0)->silent = true;
    const int64_t start = FakeNowUs();
    EXPECT_EQ(K7340_Reset(0), K7340_ERR_READ);
    EXPECT_EQ(Frames(),
              std::vector<Bytes>({{0x06, 0x10, 0x00, 0x00, 0x00, 0x16}, {0x03, 0xF4, 0xF7}}));
    EXPECT_EQ(FakeNowUs() - start, 100000) << "no pauses, only the read time-out";
    EXPECT_NE(FakeEvents(0).back().kind, FAKE_PAUSE);
}

TEST_F(Instrument, StatusFlagsNeedNoExchange) {
    OpenConfigured();
    FakeQueueReply(0, FakeReplyFrame(0xA4, {0x00, 0x00}));
    double volts;
    ASSERT_EQ(K7340_ReadMeter(0, 0, &volts), 0);
    FakeClearEvents(0);
    FakeFaults(0)->silent = true;
    int status = 0;
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_EQ(status, 0xA4);
    EXPECT_TRUE(FakeEvents(0).empty());
}
