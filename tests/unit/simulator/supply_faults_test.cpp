// Fault injection and timing of the supply model: delay, split, noise, wire time, corrupt
// checksums, silence.
#include "supply_test_support.h"

namespace {

const Bytes kFirmwareReply = ReplyFrame(0x00, {0x01, 0x23}); // 5 bytes

struct TimingCase {
    const char *name;
    int64_t delayUs, splitGapUs;
    int noiseBytes;
    int64_t noiseDelayUs;
    bool wire;
    std::vector<Piece> expected; // relative to the moment the command was passed in
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const TimingCase &c, std::ostream *os) {
    *os << c.name;
}

// 5-byte firmware reply to a 3-byte command. One byte on the wire: 173.611 us.
const TimingCase kTimings[] = {
    {"immediate", 0, 0, 0, 1000, false, {{0, kFirmwareReply}}},
    {"delay", 7000, 0, 0, 1000, false, {{7000, kFirmwareReply}}},
    {"split", 0, 30000, 0, 1000, false, {{0, {0x05, 0x00}}, {30000, {0x01, 0x23, 0x29}}}},
    {"delay_and_split",
     2000,
     5000,
     0,
     1000,
     false,
     {{2000, {0x05, 0x00}}, {7000, {0x01, 0x23, 0x29}}}},
    {"wire", 0, 0, 0, 1000, true, {{1389, kFirmwareReply}}}, // 8 bytes: 1388.9 us
    {"wire_and_delay", 3000, 0, 0, 1000, true, {{4389, kFirmwareReply}}},
    // Wire: 3 command bytes, 2 reply bytes, 30 ms, 3 reply bytes.
    {"wire_and_split", 0, 30000, 0, 1000, true, {{869, {0x05, 0x00}}, {31389, {0x01, 0x23, 0x29}}}},
};

class ReplyTiming : public SupplyTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(ReplyTiming, ReleasesThePiecesAtTheirTimes) {
    const TimingCase &c = GetParam();
    SupplyConfig config;
    config.wire = c.wire;
    Init(config);
    faults()->delayUs = c.delayUs;
    faults()->splitGapUs = c.splitGapUs;
    const int64_t t0 = 1000000;
    Send(CommandFrame({0xF3}), t0);
    std::vector<Piece> pieces = Drain(INT64_MAX);
    for (Piece &p : pieces)
        p.atUs -= t0;
    EXPECT_EQ(pieces, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Faults, ReplyTiming, ::testing::ValuesIn(kTimings),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SupplyTest, NoiseFollowsTheReplyAndSitsInTheBufferUntilTaken) {
    faults()->noiseBytes = 4;
    Send(CommandFrame({0xF3}), 1000);
    std::vector<Piece> pieces = Drain(INT64_MAX);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], (Piece{1000, kFirmwareReply}));
    EXPECT_EQ(pieces[1].atUs, 2000);
    EXPECT_EQ(pieces[1].bytes.size(), 4u);
}

TEST_F(SupplyTest, NoiseNotYetSentIsDroppedWhenTheNextCommandArrives) {
    faults()->noiseBytes = 4;
    EXPECT_EQ(Exchange({0xF3}, 1000), kFirmwareReply);
    EXPECT_EQ(Exchange({0xF3}, 1500), kFirmwareReply); // before the noise was due
    std::vector<Piece> rest = Drain(INT64_MAX);
    ASSERT_EQ(rest.size(), 1u) << "only the second reply's noise is left";
    EXPECT_EQ(rest[0].atUs, 2500);
}

TEST_F(SupplyTest, NoiseAlreadySentStaysAheadOfTheNextReply) {
    faults()->noiseBytes = 3;
    faults()->noiseDelayUs = 0;
    Send(CommandFrame({0xF3}), 1000);
    unsigned char reply[5];
    ASSERT_EQ(SupplyTakeOutput(m(), reply, 5, 1000), 5); // the host reads just the reply
    Send(CommandFrame({0xFC}), 3000);                    // without purging
    unsigned char buf[16];
    ASSERT_EQ(SupplyTakeOutput(m(), buf, sizeof buf, 3000), 3 + 4 + 3);
    EXPECT_EQ(Bytes(buf + 3, buf + 7), ReplyFrame(0x00, {0x00}));
}

TEST_F(SupplyTest, WireEmulationKeepsAnOpenAtWireTime) {
    SupplyConfig config;
    config.wire = true;
    Init(config);
    // 128 EEPROM reads, each command sent the moment the previous reply is complete.
    int64_t now = 0;
    for (int address = 0; address < 128; address++) {
        Send(CommandFrame({0xF2, static_cast<unsigned char>(address)}), now);
        int64_t released = SupplyNextOutputUs(m());
        ASSERT_GE(released, now);
        EXPECT_EQ(released - now, 1389) << "4 + 4 bytes at 57600 baud, address " << address;
        Drain(released);
        now = released;
    }
    EXPECT_EQ(now, 128 * 1389);
}

TEST_F(SupplyTest, WireEmulationQueuesBytesWrittenFasterThanTheLine) {
    SupplyConfig config;
    config.wire = true;
    Init(config);
    Bytes two = CommandFrame({0xF3});
    Bytes second = CommandFrame({0xF3});
    two.insert(two.end(), second.begin(), second.end());
    Send(two, 0);
    // Second command complete after 6 byte times; its reply waits for the first reply's 5.
    EXPECT_EQ(Drain(INT64_MAX),
              (std::vector<Piece>{{1389, kFirmwareReply}, {2257, kFirmwareReply}}));
}

TEST_F(SupplyTest, CorruptRepliesHaveTheirChecksumOneTooHigh) {
    faults()->corrupt = true;
    for (const Bytes &payload : {Bytes{0xF3}, Bytes{0xF2, 64}, Bytes{0x10, 0, 0, 0}}) {
        Bytes reply = Exchange(payload, 1000);
        ASSERT_GE(reply.size(), 3u);
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < reply.size(); i++)
            sum += reply[i];
        EXPECT_EQ(reply.back(), static_cast<unsigned char>(sum + 1));
    }
}

TEST_F(SupplyTest, SilentSupplyNeitherAnswersNorObeys) {
    faults()->silent = true;
    EXPECT_TRUE(Exchange({0x11, 0xFF, 0xFF, 0xFF}, 1000).empty());
    EXPECT_TRUE(Exchange({0xF1, 10, 0x00}, 2000).empty());
    EXPECT_TRUE(Drain(INT64_MAX).empty());
    faults()->silent = false;
    EXPECT_EQ(StatusAt(3000), 0x00) << "output not switched on";
    EXPECT_EQ(m()->eepromWrites, 0);
}

TEST_F(SupplyTest, SilentAfterWritesAnswersThatManyWritesThenNothing) {
    faults()->silentAfterWrites = 2;
    EXPECT_EQ(Exchange({0xF2, 0}, 1000).size(), 4u) << "reads do not count";
    EXPECT_EQ(Exchange({0xF1, 64, 0x11}, 2000), ReplyFrame(0x00, {}));
    EXPECT_EQ(Exchange({0xF1, 65, 0x22}, 3000), ReplyFrame(0x00, {}));
    EXPECT_TRUE(Exchange({0xF1, 66, 0x33}, 4000).empty());
    EXPECT_TRUE(Exchange({0xF3}, 5000).empty());
    EXPECT_EQ(SupplyEeprom(m())[64], 0x11);
    EXPECT_EQ(SupplyEeprom(m())[65], 0x22);
    EXPECT_NE(SupplyEeprom(m())[66], 0x33) << "the unanswered write did not happen";
}

TEST_F(SupplyTest, SilentAfterZeroWritesIsSilentFromTheStart) {
    faults()->silentAfterWrites = 0;
    EXPECT_TRUE(Exchange({0xF3}, 1000).empty());
}

// Behind a USB adapter with a 16 ms latency timer, reply bytes reach the host when it fires.
struct UsbLatencyCase {
    const char *name;
    int64_t sentUs, splitGapUs;
    bool wire;
    std::vector<Piece> expected;
};

const UsbLatencyCase kUsbLatency[] = {
    {"between_ticks", 1000000, 0, false, {{1008000, kFirmwareReply}}},
    {"on_a_tick", 1008000, 0, false, {{1008000, kFirmwareReply}}},
    {"wire", 1000000, 0, true, {{1008000, kFirmwareReply}}},
    {"split", 1000000, 30000, false, {{1008000, {0x05, 0x00}}, {1040000, {0x01, 0x23, 0x29}}}},
};

void PrintTo(const UsbLatencyCase &c, std::ostream *os) {
    *os << c.name;
}

class UsbLatency : public SupplyTest, public ::testing::WithParamInterface<UsbLatencyCase> {};

TEST_P(UsbLatency, RepliesLeaveAtTheTimersTicks) {
    const UsbLatencyCase &c = GetParam();
    SupplyConfig config;
    config.wire = c.wire;
    config.usbLatencyUs = 16000;
    Init(config);
    faults()->splitGapUs = c.splitGapUs;
    Send(CommandFrame({0xF3}), c.sentUs);
    EXPECT_EQ(Drain(INT64_MAX), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Faults, UsbLatency, ::testing::ValuesIn(kUsbLatency),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
