#include "library_test_support.h"

#include "device_open.h"

namespace {

int Word(const unsigned char *eeprom, int address) {
    return (eeprom[address] << 8) | eeprom[address + 1];
}

int SumOfFirst126(const unsigned char *eeprom) {
    int sum = 0;
    for (int i = 0; i < 126; i++)
        sum += eeprom[i];
    return sum;
}

} // namespace

class DeviceOpen : public LibraryTest {};

TEST_F(DeviceOpen, ImageLoadReadsAllAddressesAndTakesTheRanges) {
    SupplyConfig config;
    config.vrange = 20000;
    config.irange = 400;
    FakeConfigure(0, config);
    ASSERT_EQ(K7340_OpenDevice(0, 1), 0);
    EXPECT_EQ(FakeOpenedComPort(0), 1);
    const std::vector<Bytes> frames = Frames();
    ASSERT_EQ(frames.size(), 128u);
    for (int address = 0; address < 128; address++) {
        const unsigned char a = static_cast<unsigned char>(address);
        EXPECT_EQ(frames[address], Bytes({0x04, 0xF2, a, static_cast<unsigned char>(0xF6 + a)}));
    }
    int vrange = 0, irange = 0;
    ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
    EXPECT_EQ(vrange, 20000);
    EXPECT_EQ(irange, 400);
}

TEST_F(DeviceOpen, UnusableImagesFallBackToDefaults) {
    const struct {
        EepromPreset preset;
        int code;
    } cases[] = {{EEPROM_BLANK, K7340_ERR_EEPROM_CHECKSUM}, {EEPROM_BAD_RANGES, K7340_ERR_RANGES}};
    for (const auto &c : cases) {
        FakeReset();
        SupplyConfig config;
        config.eeprom = c.preset;
        FakeConfigure(0, config);
        EXPECT_EQ(K7340_OpenDevice(0, 0), c.code);
        int vrange = 0, irange = 0;
        ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0) << "the slot stays open";
        EXPECT_EQ(vrange, 60000);
        EXPECT_EQ(irange, 500);
    }
}

TEST_F(DeviceOpen, RangeBoundsAreInclusive) {
    const struct {
        int vrange, irange;
        bool valid;
    } cases[] = {
        {1000, 10, true}, {60000, 500, true}, {999, 10, false},  {60001, 500, false},
        {1000, 9, false}, {1000, 501, false}, {500, 200, false}, {65535, 65535, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RangesValid(c.vrange, c.irange), c.valid) << c.vrange << "/" << c.irange;
}

TEST_F(DeviceOpen, RepeatedOpenSendsNothingAndKeepsThePort) {
    OpenConfigured();
    EXPECT_EQ(K7340_OpenDevice(0, 4), 0);
    EXPECT_TRUE(FakeEvents(0).empty());
    EXPECT_EQ(FakeOpenedComPort(0), 0);
}

TEST_F(DeviceOpen, PortFailureLeavesTheSlotClosed) {
    for (int code : {K7340_ERR_NO_PORT, 5}) {
        FakeReset();
        FakeSetOpenResult(0, code);
        EXPECT_EQ(K7340_OpenDevice(0, 0), code);
        int vrange;
        int irange;
        EXPECT_EQ(K7340_GetRanges(0, &vrange, &irange), K7340_ERR_CLOSED);
        EXPECT_TRUE(Frames().empty());
    }
}

TEST_F(DeviceOpen, ExchangeFailurePartWayLeavesTheSlotOpenWithDefaults) {
    SupplyConfig config;
    config.vrange = 20000;
    FakeConfigure(0, config);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    ASSERT_EQ(K7340_CloseDevice(0), 0);
    // Reopened: the supply answers the first 40 reads, then goes silent.
    FakeClearEvents(0);
    for (int i = 0; i < 40; i++)
        FakeQueueReply(0, FakeReplyFrame(0, {0x11}));
    FakeFaults(0)->silent = true;
    EXPECT_EQ(K7340_OpenDevice(0, 0), K7340_ERR_READ);
    EXPECT_EQ(Frames().size(), 41u) << "the load stops at the first failure";
    int vrange = 0, irange = 0;
    ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
    EXPECT_EQ(vrange, 60000);
    EXPECT_EQ(irange, 500);
    EXPECT_EQ(K7340_CloseDevice(0), 0);
}

TEST_F(DeviceOpen, SetRangesProgramsWordsAndAFreshChecksum) {
    OpenConfigured();
    const int64_t before = FakeNowUs();
    ASSERT_EQ(K7340_SetRanges(0, 20000, 400), 0);
    EXPECT_GE(FakeNowUs() - before, 600000) << "six writes, 100 ms pause each";
    const unsigned char *eeprom = SupplyEeprom(FakeModel(0));
    EXPECT_EQ(Bytes(eeprom + 64, eeprom + 68), Bytes({0x4E, 0x20, 0x01, 0x90}));
    EXPECT_EQ(Word(eeprom, 126), SumOfFirst126(eeprom));
    const std::vector<Bytes> frames = Frames();
    ASSERT_EQ(frames.size(), 6u);
    const int addresses[] = {64, 65, 66, 67, 126, 127};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(frames[i][1], 0xF1);
        EXPECT_EQ(frames[i][2], addresses[i]);
    }
    int pauses = 0;
    for (const FakeEvent &e : FakeEvents(0))
        pauses += e.kind == FAKE_PAUSE && e.pauseMs == 100;
    EXPECT_EQ(pauses, 6);
    // A new open finds a consistent EEPROM with the new ranges.
    ASSERT_EQ(K7340_CloseDevice(0), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    int vrange = 0, irange = 0;
    ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
    EXPECT_EQ(vrange, 20000);
    EXPECT_EQ(irange, 400);
}

TEST_F(DeviceOpen, SetRangesOutsideTheLibraryBoundsChangesNothing) {
    OpenConfigured(50000, 200);
    EXPECT_EQ(K7340_SetRanges(0, 50000, 501), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_SetRanges(0, 999, 200), K7340_ERR_ARGUMENT);
    EXPECT_TRUE(Frames().empty());
    int vrange = 0, irange = 0;
    ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
    EXPECT_EQ(vrange, 50000);
    EXPECT_EQ(irange, 200);
}

TEST_F(DeviceOpen, InterruptedSetRangesKeepsNewRangesAndLeavesAStaleChecksum) {
    // The supply answers `answered` writes, then the line goes dead.
    for (int answered = 0; answered < 6; answered++) {
        FakeReset();
        OpenConfigured(50000, 200);
        FakeFaults(0)->silentAfterWrites = answered;
        EXPECT_EQ(K7340_SetRanges(0, 20000, 400), K7340_ERR_READ) << answered;
        EXPECT_EQ(Frames().size(), static_cast<size_t>(answered + 1)) << "no write after a failure";
        int vrange = 0, irange = 0;
        ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
        EXPECT_EQ(vrange, 20000);
        EXPECT_EQ(irange, 400);
        if (answered == 0)
            continue; // nothing reached the EEPROM
        FakeFaults(0)->silent = false;
        FakeFaults(0)->silentAfterWrites = -1;
        ASSERT_EQ(K7340_CloseDevice(0), 0);
        EXPECT_EQ(K7340_OpenDevice(0, 0), K7340_ERR_EEPROM_CHECKSUM) << answered;
        ASSERT_EQ(K7340_SetRanges(0, 20000, 400), 0);
        ASSERT_EQ(K7340_CloseDevice(0), 0);
        EXPECT_EQ(K7340_OpenDevice(0, 0), 0) << "repaired";
        ASSERT_EQ(K7340_GetRanges(0, &vrange, &irange), 0);
        EXPECT_EQ(vrange, 20000);
    }
}

TEST_F(DeviceOpen, EepromByteCallsBypassTheImage) {
    OpenConfigured();
    const int imageByte = SupplyEeprom(FakeModel(0))[10]; // what the open read into the image
    ASSERT_NE(imageByte, 0xFF);
    EXPECT_EQ(K7340_SetEEPROM(0, 10, 0x1FF), 0);
    EXPECT_EQ(Frames().back(), Bytes({0x05, 0xF1, 0x0A, 0xFF, 0xFF}));
    unsigned char value = 0;
    ASSERT_EQ(K7340_GetEEPROM(0, 10, &value), 0);
    EXPECT_EQ(value, 0xFF);
    // The next SetRanges takes its checksum from the image, which never saw that byte.
    ASSERT_EQ(K7340_SetRanges(0, 20000, 400), 0);
    const unsigned char *eeprom = SupplyEeprom(FakeModel(0));
    EXPECT_EQ(Word(eeprom, 126), SumOfFirst126(eeprom) - 0xFF + imageByte);
}

TEST_F(DeviceOpen, EepromAddressesOutsideTheImageAreRefused) {
    OpenConfigured();
    unsigned char value = 0x5A;
    for (int address : {128, 255, -1}) {
        EXPECT_EQ(K7340_GetEEPROM(0, address, &value), K7340_ERR_ARGUMENT);
        EXPECT_EQ(K7340_SetEEPROM(0, address, 1), K7340_ERR_ARGUMENT);
    }
    EXPECT_EQ(K7340_GetEEPROM(0, 0, nullptr), K7340_ERR_ARGUMENT);
    EXPECT_EQ(value, 0x5A);
    EXPECT_TRUE(Frames().empty());
}
