// A test over the real shared library and a k7340sim of its own: every slot the test opened is
// closed before the simulator stops.
#ifndef K7340_SIMULATOR_TEST_H
#define K7340_SIMULATOR_TEST_H

#include "k7340.h"
#include "sim_process.h"

#include <gtest/gtest.h>

class SimulatorTest : public ::testing::Test {
  protected:
    ScopedSim sim;
    void TearDown() override {
        for (int i = 0; i < K7340_MAX_DEVICES; i++)
            K7340_CloseDevice(i);
    }
};

#endif
