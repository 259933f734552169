// The supply model's frames: replies to every opcode, rejected frames, reassembly, the EEPROM
// presets and EEPROM commands.
#include "supply_test_support.h"

#include <cstring>

namespace {

struct OpcodeCase {
    const char *name;
    Bytes payload;
    int status;
    Bytes data;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const OpcodeCase &c, std::ostream *os) {
    *os << c.name;
}

// A fresh supply: vrange 50000 (0xC350), irange 200, firmware 0x0123, output off at 25.0 C.
const OpcodeCase kOpcodes[] = {
    {"meter0", {0x00}, 0x00, {0x00, 0x00}},
    {"meter1", {0x01}, 0x00, {0x00, 0x00}},
    {"meter2_25C", {0x02}, 0x00, {0x0C, 0xCD}}, // round(25 * 32767 / 250) = 3277
    {"meter3", {0x03}, 0x00, {0x00, 0x00}},
    {"output_off", {0x10, 0x00, 0x00, 0x00}, 0x00, {}},
    {"output_on", {0x11, 0x05, 0x1E, 0xB8}, 0x04, {}},
    {"watchdog", {0xF0, 0x0A}, 0x00, {}},
    {"eeprom_write", {0xF1, 0x0A, 0x55}, 0x00, {}},
    {"eeprom_read_vrange_high", {0xF2, 64}, 0x00, {0xC3}},
    {"eeprom_read_irange_low", {0xF2, 67}, 0x00, {0xC8}},
    {"eeprom_read_beyond", {0xF2, 200}, 0x00, {0xFF}},
    {"firmware", {0xF3}, 0x00, {0x01, 0x23}},
    {"reset", {0xF4}, 0x80, {}},
    {"limit_voltage", {0xF6, 31}, 0x00, {}},
    {"limit_current", {0xF7, 31}, 0x00, {}},
    {"fault_follow_up", {0xF8}, 0x00, {}},
    {"raw0", {0xF9}, 0x00, {0x00, 0x00, 0x00}},
    {"raw1", {0xFA}, 0x00, {0x00, 0x00, 0x00}},
    {"raw2_25C", {0xFB}, 0x00, {0x19, 0x99, 0x9A}}, // round(25 / 250 * 0xFFFFFF)
    {"fault_query", {0xFC}, 0x00, {0x00}},
};

class OpcodeReply : public SupplyTest, public ::testing::WithParamInterface<OpcodeCase> {};

TEST_P(OpcodeReply, HasTheLengthStatusAndDataTheLibraryReads) {
    const OpcodeCase &c = GetParam();
    EXPECT_EQ(Exchange(c.payload, 1000), ReplyFrame(c.status, c.data));
    EXPECT_EQ(SupplyNextOutputUs(m()), -1) << "nothing else on the line";
}

INSTANTIATE_TEST_SUITE_P(EveryOpcode, OpcodeReply, ::testing::ValuesIn(kOpcodes),
                         [](const auto &info) { return std::string(info.param.name); });

struct RejectCase {
    const char *name;
    Bytes junk;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const RejectCase &c, std::ostream *os) {
    *os << c.name;
}

const RejectCase kRejects[] = {
    {"bad_checksum", {0x03, 0xF3, 0xF7}},
    {"unknown_opcode", CommandFrame({0x42})},
    {"unused_opcode_F5", CommandFrame({0xF5})},
    {"payload_too_long", CommandFrame({0xF3, 0x00})},
    {"payload_too_short", CommandFrame({0x11, 0x05})},
    {"lengths_out_of_range", {0x00, 0x01, 0x02, 0x0E, 0xFF}},
};

class RejectedFrame : public SupplyTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(RejectedFrame, GetsNoReplyAndTheNextGoodFrameIsAnswered) {
    Send(GetParam().junk, 1000);
    EXPECT_TRUE(Drain(1000000).empty());
    EXPECT_EQ(Exchange({0xF3}, 2000), ReplyFrame(0x00, {0x01, 0x23}));
}

INSTANTIATE_TEST_SUITE_P(Junk, RejectedFrame, ::testing::ValuesIn(kRejects),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SupplyTest, FrameArrivingInPiecesIsAnsweredWhenComplete) {
    Bytes frame = CommandFrame({0xF2, 64});
    for (size_t i = 0; i < frame.size(); i++) {
        Send({frame[i]}, 1000 + 30000 * static_cast<int64_t>(i));
        if (i + 1 < frame.size()) {
            EXPECT_EQ(SupplyNextOutputUs(m()), -1) << "answered after " << i + 1 << " bytes";
        }
    }
    EXPECT_EQ(Drain(INT64_MAX), (std::vector<Piece>{{91000, ReplyFrame(0x00, {0xC3})}}));
}

TEST_F(SupplyTest, TwoFramesInOneWriteGetTwoReplies) {
    Bytes both = CommandFrame({0xF3});
    Bytes second = CommandFrame({0xFC});
    both.insert(both.end(), second.begin(), second.end());
    Send(both, 500);
    Bytes expected = ReplyFrame(0x00, {0x01, 0x23});
    Bytes fault = ReplyFrame(0x00, {0x00});
    expected.insert(expected.end(), fault.begin(), fault.end());
    EXPECT_EQ(Drain(500), (std::vector<Piece>{{500, expected}}));
}

TEST_F(SupplyTest, JunkBeforeAFrameIsSkippedByScanningAgain) {
    Bytes bytes{0x05, 0x03}; // looks like the start of a 5-byte frame
    Bytes frame = CommandFrame({0xF3});
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    Send(bytes, 1000);
    EXPECT_EQ(Drain(1000), (std::vector<Piece>{{1000, ReplyFrame(0x00, {0x01, 0x23})}}));
}

TEST_F(SupplyTest, StalePartialFrameIsDroppedSoTheNextCommandIsUnderstood) {
    Send({0x0D}, 1000); // a 13-byte frame that never completes swallows the next command
    Send(CommandFrame({0xF3}), 2000);
    EXPECT_TRUE(Drain(INT64_MAX).empty());
    EXPECT_EQ(Exchange({0xF3}, 2000 + 100001), ReplyFrame(0x00, {0x01, 0x23}));
}

// ---- EEPROM ----

struct PresetCase {
    const char *name;
    EepromPreset preset;
    int storedVrange, storedIrange; // from bytes 64..67
    bool checksumValid;
    int usedVrange, usedIrange; // what the supply scales with
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const PresetCase &c, std::ostream *os) {
    *os << c.name;
}

const PresetCase kPresets[] = {
    {"configured", EEPROM_CONFIGURED, 40000, 300, true, 40000, 300},
    {"blank", EEPROM_BLANK, 0xFFFF, 0xFFFF, false, 60000, 500},
    {"bad_ranges", EEPROM_BAD_RANGES, 500, 300, true, 60000, 500},
};

class EepromPresetTest : public SupplyTest, public ::testing::WithParamInterface<PresetCase> {};

TEST_P(EepromPresetTest, HoldsRangesAndChecksumAsTheLibraryReadsThem) {
    const PresetCase &c = GetParam();
    SupplyConfig config;
    config.vrange = 40000;
    config.irange = 300;
    config.eeprom = c.preset;
    Init(config);
    // Read the image over the wire, as an open does.
    Bytes image;
    for (int address = 0; address < 128; address++) {
        Bytes reply = Exchange({0xF2, static_cast<unsigned char>(address)}, 1000 + address);
        ASSERT_EQ(reply.size(), 4u);
        image.push_back(reply[2]);
    }
    EXPECT_EQ(0, memcmp(image.data(), SupplyEeprom(m()), 128));
    EXPECT_EQ(image[64] << 8 | image[65], c.storedVrange);
    EXPECT_EQ(image[66] << 8 | image[67], c.storedIrange);
    int sum = 0;
    for (int i = 0; i < 126; i++)
        sum += image[i];
    EXPECT_EQ((image[126] << 8 | image[127]) == sum, c.checksumValid);
    EXPECT_EQ(SupplyEepromChecksum(image.data()), sum);
    int vrange, irange;
    SupplyRanges(m(), &vrange, &irange);
    EXPECT_EQ(vrange, c.usedVrange);
    EXPECT_EQ(irange, c.usedIrange);
}

INSTANTIATE_TEST_SUITE_P(Presets, EepromPresetTest, ::testing::ValuesIn(kPresets),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SupplyTest, ConfiguredEepromCarriesMoreThanTheRanges) {
    const unsigned char *e = SupplyEeprom(m());
    int programmed = 0;
    for (int i = 0; i < 64; i++)
        programmed += e[i] != 0xFF;
    EXPECT_GT(programmed, 8) << "identification and serial number expected below address 64";
}

TEST_F(SupplyTest, EepromWriteTakesEffectAtOnceAndChangesTheRanges) {
    EXPECT_EQ(Exchange({0xF1, 64, 0x4E}, 1000), ReplyFrame(0x00, {}));
    EXPECT_EQ(Exchange({0xF1, 65, 0x20}, 2000), ReplyFrame(0x00, {}));
    EXPECT_EQ(Exchange({0xF2, 64}, 3000), ReplyFrame(0x00, {0x4E}));
    EXPECT_EQ(m()->eepromWrites, 2);
    int vrange, irange;
    SupplyRanges(m(), &vrange, &irange);
    EXPECT_EQ(vrange, 20000);
    // Full scale now means 20000 V: the output follows the supply's own EEPROM.
    SupplyConfigOf(m())->slewVPerS = 0;
    Exchange({0x11, 0xFF, 0xFF, 0xFF}, 4000);
    SupplyAdvance(m(), 5000);
    EXPECT_DOUBLE_EQ(SupplyVolts(m()), 20000.0);
}

TEST_F(SupplyTest, WriteBeyondTheEepromIsAnsweredAndChangesNothing) {
    unsigned char before[128];
    memcpy(before, SupplyEeprom(m()), 128);
    EXPECT_EQ(Exchange({0xF1, 0x80, 0x00}, 1000), ReplyFrame(0x00, {}));
    EXPECT_EQ(0, memcmp(before, SupplyEeprom(m()), 128));
    EXPECT_EQ(m()->eepromWrites, 0);
}

TEST_F(SupplyTest, LoadedEepromReplacesThePreset) {
    unsigned char bytes[128];
    SupplyPresetEeprom(bytes, EEPROM_CONFIGURED, 12345, 77);
    SupplyLoadEeprom(m(), bytes);
    EXPECT_EQ(Exchange({0xF2, 64}, 1000), ReplyFrame(0x00, {0x30}));
    EXPECT_EQ(Exchange({0xF2, 67}, 2000), ReplyFrame(0x00, {77}));
}

} // namespace
