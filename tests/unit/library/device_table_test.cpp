#include "library_test_support.h"

#include "device_table.h"

#include <cstring>

TEST(ErrorTexts, EveryCodeHasItsText) {
    const struct {
        int code;
        const char *text;
    } cases[] = {
        {K7340_OK, "No errors"},
        {K7340_ERR_CLOSED, "Device closed"},
        {K7340_ERR_ARGUMENT, "Illegal argument value"},
        {K7340_ERR_WRITE, "Device write failed"},
        {K7340_ERR_READ, "Device read failed"},
        {K7340_ERR_CHECKSUM, "Communication checksum error"},
        {K7340_ERR_COMMAND, "Invalid serial command"},
        {K7340_ERR_REPLY, "Invalid serial reply"},
        {K7340_ERR_RANGES, "Invalid setpoint/meter ranges"},
        {K7340_ERR_EEPROM_CHECKSUM, "EEPROM checksum error"},
        {K7340_ERR_NO_PORT, "COM port busy or not found"},
        {-11, "System error"},
        {5, "System error"},
        {2, "System error"},
        {-2147483647 - 1, "System error"},
        {2147483647, "System error"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(K7340_GetErrString(c.code), c.text) << "code " << c.code;
}

// A port step that failed must never read as success, whatever number the system gives.
TEST(SystemErrorCode, AFailureWithoutANumberStillFails) {
    const struct {
        unsigned long osError;
        int code;
    } cases[] = {
        {5, 5},             // access denied: the system's own number
        {2, 2},             // file not found after the open: a number like any other
        {87, 87},           // invalid parameter
        {0, 31},            // no number: "a device attached to the system is not functioning"
        {0x80000000ul, 31}, // not a positive int: it would read as a library code
        {0xFFFFFFFCul, 31}, // would be -4, "Device read failed"
        {0x7FFFFFFFul, 0x7FFFFFFF},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SystemErrorCode(c.osError), c.code) << "error " << c.osError;
}

TEST(ApiVersion, NeedsNoOpenSlot) {
    EXPECT_STREQ(K7340_GetApiVersion(), "2.0.0");
}

// Every call that works on a device, run against one index.
static std::vector<int> CallEverything(int index) {
    unsigned char byte = 0;
    unsigned char buffer[8] = {};
    int value = 0, second = 0, count = 4;
    double reading = 0;
    return {
        K7340_CloseDevice(index),
        K7340_ReadPort(index, buffer, &count),
        K7340_WritePort(index, buffer, 3),
        K7340_GetRanges(index, &value, &second),
        K7340_SetRanges(index, 20000, 400),
        K7340_GetEEPROM(index, 5, &byte),
        K7340_SetEEPROM(index, 5, 1),
        K7340_GetFwVersion(index, &value),
        K7340_GetStatusFlags(index, &value),
        K7340_GetFaultFlags(index, &value),
        K7340_ReadMeter(index, 0, &reading),
        K7340_ReadRawMeter(index, 0, &value),
        K7340_SetVoltage(index, 1000.0),
        K7340_SetWD(index, 100),
        K7340_SetLimits(index, 50, 50),
        K7340_Reset(index),
    };
}

class SlotLookup : public LibraryTest {};

TEST_F(SlotLookup, IndexOutOfRangeIsRefusedBeforeAnythingIsSent) {
    for (int index : {8, 9, -1, -2147483647 - 1}) {
        EXPECT_EQ(K7340_OpenDevice(index, 0), K7340_ERR_ARGUMENT) << index;
        for (int code : CallEverything(index))
            EXPECT_EQ(code, K7340_ERR_ARGUMENT) << "index " << index;
    }
    for (int i = 0; i < K7340_MAX_DEVICES; i++)
        EXPECT_TRUE(FakeEvents(i).empty());
}

TEST_F(SlotLookup, NeverOpenedSlotIsClosedAndUntouched) {
    int value = 1234;
    for (int code : CallEverything(3))
        EXPECT_EQ(code, K7340_ERR_CLOSED);
    EXPECT_EQ(K7340_GetStatusFlags(3, &value), K7340_ERR_CLOSED);
    EXPECT_EQ(value, 1234);
    EXPECT_TRUE(FakeEvents(3).empty());
    EXPECT_EQ(FakeOpenedComPort(3), -1);
}

TEST_F(SlotLookup, SlotsAreIndependent) {
    SupplyConfig small;
    small.vrange = 2000;
    small.irange = 50;
    FakeConfigure(5, small);
    ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
    ASSERT_EQ(K7340_OpenDevice(5, 3), 0);
    int v0, i0, v5, i5;
    ASSERT_EQ(K7340_GetRanges(0, &v0, &i0), 0);
    ASSERT_EQ(K7340_GetRanges(5, &v5, &i5), 0);
    EXPECT_EQ(v0, 50000);
    EXPECT_EQ(v5, 2000);
    EXPECT_EQ(i5, 50);
    EXPECT_EQ(FakeOpenedComPort(5), 3);
    EXPECT_EQ(K7340_CloseDevice(0), 0);
    EXPECT_EQ(K7340_GetRanges(0, &v0, &i0), K7340_ERR_CLOSED);
    EXPECT_EQ(K7340_GetRanges(5, &v5, &i5), 0);
}
