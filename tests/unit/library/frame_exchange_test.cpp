#include "library_test_support.h"

#include "device_table.h"
#include "frame_exchange.h"
#include "serial_port.h"

class FrameExchange : public LibraryTest {
  protected:
    DeviceSlot *slot = nullptr;
    void SetUp() override {
        LibraryTest::SetUp();
        OpenConfigured();
        ASSERT_EQ(GetOpenSlot(0, &slot), 0);
    }
};

TEST_F(FrameExchange, CommandFramesCarryLengthPayloadAndChecksum) {
    const struct {
        Bytes payload;
        Bytes frame;
    } cases[] = {
        {{0xF2, 0x05}, {0x04, 0xF2, 0x05, 0xFB}},
        {{0x02}, {0x03, 0x02, 0x05}},
        {{0xF1, 0x40, 0xC3}, {0x05, 0xF1, 0x40, 0xC3, 0xF9}},
        {Bytes(11, 0xFF),
         [] {
             Bytes f{13};
             f.insert(f.end(), 11, 0xFF);
             f.push_back(static_cast<unsigned char>(13 + 11 * 0xFF));
             return f;
         }()},
    };
    for (const auto &c : cases) {
        FakeClearEvents(0);
        EXPECT_EQ(SendCommandFrame(slot, c.payload.data(), static_cast<int>(c.payload.size())), 0);
        ASSERT_EQ(Frames().size(), 1u);
        EXPECT_EQ(Frames()[0], c.frame);
    }
}

TEST_F(FrameExchange, OverlongPayloadAndReplyAreRefusedWithoutTraffic) {
    const Bytes twelve(12, 0x01);
    EXPECT_EQ(SendCommandFrame(slot, twelve.data(), 12), K7340_ERR_COMMAND);
    unsigned char dst[16];
    EXPECT_EQ(ReadReplyFrame(slot, dst, 9), K7340_ERR_REPLY);
    EXPECT_TRUE(FakeEvents(0).empty());
}

TEST_F(FrameExchange, EepromReadOfAddressFiveIsTheWorkedExample) {
    unsigned char value = 0;
    ASSERT_EQ(K7340_GetEEPROM(0, 5, &value), 0);
    EXPECT_EQ(Frames(), std::vector<Bytes>({{0x04, 0xF2, 0x05, 0xFB}}));
    EXPECT_EQ(value, SupplyEeprom(FakeModel(0))[5]);
}

TEST_F(FrameExchange, BadChecksumKeepsTheCachedStatusAndOutput) {
    FakeQueueReply(0, FakeReplyFrame(0x24, {0x01, 0x23}));
    int version = 0;
    ASSERT_EQ(K7340_GetFwVersion(0, &version), 0);
    ASSERT_EQ(version, 0x123);
    Bytes bad = FakeReplyFrame(0x81, {0x45, 0x67});
    bad.back()++;
    FakeQueueReply(0, bad);
    version = 7;
    EXPECT_EQ(K7340_GetFwVersion(0, &version), K7340_ERR_CHECKSUM);
    EXPECT_EQ(version, 7);
    int status = 0;
    ASSERT_EQ(K7340_GetStatusFlags(0, &status), 0);
    EXPECT_EQ(status, 0x24);
}

TEST_F(FrameExchange, SilentSupplyFailsOneHundredMillisecondsAfterTheCommand) {
    FakeFaults(0)->silent = true;
    const int64_t before = FakeNowUs();
    int version = 0;
    EXPECT_EQ(K7340_GetFwVersion(0, &version), K7340_ERR_READ);
    EXPECT_EQ(FakeNowUs() - before, 100000);
}

TEST_F(FrameExchange, StaleInputIsPurgedBeforeEachCommand) {
    FakeInjectInput(0, FakeReplyFrame(0x80, {0xDE, 0xAD}));
    int version = 0;
    ASSERT_EQ(K7340_GetFwVersion(0, &version), 0);
    EXPECT_EQ(version, 0x0123);
    const auto &events = FakeEvents(0);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, FAKE_PURGE);
    EXPECT_EQ(events[1].kind, FAKE_WRITE);
}

// Each read pass waits up to 100 ms for what is still missing; a pass that ends with part of the
// reply is followed by another, and only an empty pass fails.
TEST_F(FrameExchange, ReplyInTwoPiecesIsAssembledUnlessAPassEndsEmpty) {
    const struct {
        int64_t gapUs;
        int code;
        int reads;
    } cases[] = {
        {20000, 0, 1}, {99000, 0, 1}, {150000, 0, 2}, {199000, 0, 2}, {250000, K7340_ERR_READ, 2},
    };
    for (const auto &c : cases) {
        FakeClearEvents(0);
        FakeFaults(0)->splitGapUs = c.gapUs;
        int version = 0;
        EXPECT_EQ(K7340_GetFwVersion(0, &version), c.code) << c.gapUs;
        if (c.code == 0) {
            EXPECT_EQ(version, 0x0123);
        }
        int reads = 0;
        for (const FakeEvent &e : FakeEvents(0))
            reads += e.kind == FAKE_READ;
        EXPECT_EQ(reads, c.reads) << c.gapUs;
        // Let a late second piece arrive before the next case.
        FakeFaults(0)->splitGapUs = 0;
        Pause(300);
    }
}

// A backend that reports success with no bytes, or with more than asked, ends the framed read
// with -4 on that one read: the core neither spins nor counts past its frame.
TEST_F(FrameExchange, AReadThatBreaksTheBackendContractFailsAtOnce) {
    for (int claimed : {0, 6, 1000}) { // the firmware reply asks for 5
        FakeClearEvents(0);
        FakeSetReadClaims(0, claimed);
        int version = 7;
        EXPECT_EQ(K7340_GetFwVersion(0, &version), K7340_ERR_READ) << claimed;
        EXPECT_EQ(version, 7) << claimed;
        FakeSetReadClaims(0, -1);
        int reads = 0;
        for (const FakeEvent &e : FakeEvents(0))
            reads += e.kind == FAKE_READ;
        EXPECT_EQ(reads, 1) << claimed;
    }
}

TEST_F(FrameExchange, TransactStoresDataBigEndian) {
    const struct {
        Bytes data;
        int expected;
    } cases[] = {
        {{}, 0},
        {{0xAB}, 0xAB},
        {{0xFF, 0xFE}, 0xFFFE},
        {{0xFF, 0xFF, 0xFF}, 0xFFFFFF},
        {{0x80, 0x00, 0x00, 0x01}, static_cast<int>(0x80000001u)},
    };
    const unsigned char payload[] = {0xF3};
    for (const auto &c : cases) {
        FakeQueueReply(0, FakeReplyFrame(0, c.data));
        int out = -7;
        ASSERT_EQ(Transact(slot, payload, 1, &out, static_cast<int>(c.data.size())), 0);
        EXPECT_EQ(out, c.expected);
    }
}

TEST_F(FrameExchange, WriteFailureIsReported) {
    FakeSetWriteFails(0, true);
    double volts = 0;
    EXPECT_EQ(K7340_ReadMeter(0, 0, &volts), K7340_ERR_WRITE);
}

TEST_F(FrameExchange, RawReadReturnsWhatArrived) {
    unsigned char buf[8] = {};
    const unsigned char ping[] = {0x03, 0xF3, 0xF6};
    ASSERT_EQ(K7340_WritePort(0, ping, 3), 0);
    int count = 8; // the firmware reply is 5 bytes: a partial read
    EXPECT_EQ(K7340_ReadPort(0, buf, &count), 0);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(buf[2], 0x01);
    EXPECT_EQ(buf[3], 0x23);
    count = 5; // nothing more arrives
    EXPECT_EQ(K7340_ReadPort(0, buf, &count), K7340_ERR_READ);
    EXPECT_EQ(count, 0);
    FakeInjectInput(0, {1, 2, 3});
    count = 0;
    EXPECT_EQ(K7340_ReadPort(0, buf, &count), K7340_ERR_READ);
    EXPECT_EQ(count, 0);
}

TEST_F(FrameExchange, NegativeOrMissingCountsAndBuffersAreRefused) {
    unsigned char buf[4] = {9, 9, 9, 9};
    int count = -1;
    FakeInjectInput(0, {1, 2, 3});
    EXPECT_EQ(K7340_ReadPort(0, buf, &count), K7340_ERR_ARGUMENT);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(K7340_ReadPort(0, buf, nullptr), K7340_ERR_ARGUMENT);
    count = 2;
    EXPECT_EQ(K7340_ReadPort(0, nullptr, &count), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_WritePort(0, buf, -1), K7340_ERR_ARGUMENT);
    EXPECT_EQ(K7340_WritePort(0, nullptr, 3), K7340_ERR_ARGUMENT);
    EXPECT_TRUE(Frames().empty());
}

TEST_F(FrameExchange, CountsOfZeroNeedNoBuffer) {
    unsigned char buf[4] = {9, 9, 9, 9};
    FakeInjectInput(0, {1, 2, 3});
    for (unsigned char *buffer : {static_cast<unsigned char *>(nullptr), buf}) {
        int count = 0;
        EXPECT_EQ(K7340_ReadPort(0, buffer, &count), K7340_ERR_READ)
            << (buffer ? "buffer" : "null");
        EXPECT_EQ(count, 0);
        EXPECT_EQ(K7340_WritePort(0, buffer, 0), K7340_OK) << (buffer ? "buffer" : "null");
    }
    EXPECT_EQ(buf[0], 9);
    EXPECT_TRUE(Frames().empty());
}

// After an exchange failed on its read, the next one lets one full time-out pass since the
// failure, then purges: a reply up to one time-out late is thrown away, never taken for the
// next command's answer. Raw port calls neither wait nor purge.
TEST_F(FrameExchange, ALateReplyIsNeverTakenForTheNextCommandsAnswer) {
    const struct {
        const char *name;
        int64_t delayUs; // the first reply's delay
        bool corrupt;    // the first reply's checksum is off
        int firstCode;
        unsigned idleMs; // the caller's own pause between the calls
        int64_t waitUs;  // what the library waits before the next command
    } cases[] = {
        {"answered in time", 0, false, 0, 0, 0},
        {"150 ms late", 150000, false, K7340_ERR_READ, 0, 100000},
        {"150 ms late, caller idle 40 ms", 150000, false, K7340_ERR_READ, 40, 60000},
        {"150 ms late, caller idle 150 ms", 150000, false, K7340_ERR_READ, 150, 0},
        {"bad checksum", 0, true, K7340_ERR_CHECKSUM, 0, 100000},
    };
    for (const auto &c : cases) {
        FakeFaults(0)->delayUs = c.delayUs;
        FakeFaults(0)->corrupt = c.corrupt;
        double volts = 0;
        EXPECT_EQ(K7340_ReadMeter(0, 0, &volts), c.firstCode) << c.name;
        *FakeFaults(0) = SupplyFaults();
        const int64_t failedAtUs = FakeNowUs();
        Pause(c.idleMs);
        FakeClearEvents(0);
        int version = 0;
        EXPECT_EQ(K7340_GetFwVersion(0, &version), 0) << c.name;
        EXPECT_EQ(version, 0x0123) << c.name;
        for (const FakeEvent &e : FakeEvents(0)) {
            if (e.kind == FAKE_WRITE) {
                EXPECT_EQ(e.atUs - failedAtUs - c.idleMs * 1000, c.waitUs) << c.name;
            }
        }
    }
    FakeFaults(0)->delayUs = 150000;
    int version = 0;
    ASSERT_EQ(K7340_GetFwVersion(0, &version), K7340_ERR_READ);
    FakeClearEvents(0);
    const unsigned char ping[] = {0x03, 0xF3, 0xF6};
    ASSERT_EQ(K7340_WritePort(0, ping, 3), 0);
    ASSERT_EQ(FakeEvents(0).size(), 1u);
    EXPECT_EQ(FakeEvents(0)[0].kind, FAKE_WRITE);
    EXPECT_EQ(FakeEvents(0)[0].atUs, FakeNowUs());
}
