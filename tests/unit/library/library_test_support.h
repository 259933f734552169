// Shared set-up of the library's unit tests: a fresh fake port for every test.
#ifndef K7340_LIBRARY_TEST_SUPPORT_H
#define K7340_LIBRARY_TEST_SUPPORT_H

#include "fake_serial_port.h"
#include "k7340.h"
#include "test_frames.h"

#include <gtest/gtest.h>

#include <vector>

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { FakeReset(); }
    void TearDown() override { FakeReset(); }

    // Opens slot 0 on a supply holding the given ranges, then forgets the open's traffic.
    void OpenConfigured(int vrange = 50000, int irange = 200) {
        SupplyConfig config;
        config.vrange = vrange;
        config.irange = irange;
        FakeConfigure(0, config);
        ASSERT_EQ(K7340_OpenDevice(0, 0), 0);
        FakeClearEvents(0);
    }

    // The command frames written since the last clear, one entry per write.
    static std::vector<Bytes> Frames(int index = 0) {
        std::vector<Bytes> frames;
        for (const FakeEvent &e : FakeEvents(index))
            if (e.kind == FAKE_WRITE)
                frames.push_back(e.bytes);
        return frames;
    }
};

#endif
