// The library never reaches the heap: malloc, calloc, realloc and free are defined in this
// executable, so the shared library's calls bind to them, and counted while a library call
// runs. Every export is run against k7340sim, on good exchanges and on failing ones.
#include "k7340.h"
#include "sim_process.h"
#include "simulator_test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
}

namespace {

// Only the test's own thread counts: gtest and the helper allocate while counting is off.
volatile int g_counting;
volatile int g_heapCalls;

void Count() {
    if (g_counting)
        g_heapCalls = g_heapCalls + 1;
}

} // namespace

extern "C" {
__attribute__((visibility("default"))) void *malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}
__attribute__((visibility("default"))) void *calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}
__attribute__((visibility("default"))) void *realloc(void *block, size_t size) {
    Count();
    return __libc_realloc(block, size);
}
__attribute__((visibility("default"))) void free(void *block) {
    Count();
    __libc_free(block);
}
}

namespace {

// Valgrind puts its own allocator in place of libc's and of ours: nothing to count there.
bool UnderValgrind() {
    const char *preload = getenv("LD_PRELOAD");
    return preload != nullptr && strstr(preload, "vgpreload") != nullptr;
}

#define SKIP_UNDER_VALGRIND()                                                                      \
    if (UnderValgrind())                                                                           \
    GTEST_SKIP() << "valgrind replaces the allocator; the native run checks the heap"

// Heap calls made during one library call.
template <typename Call> int HeapCallsDuring(Call call, int *code) {
    g_heapCalls = 0;
    g_counting = 1;
    *code = call();
    g_counting = 0;
    return g_heapCalls;
}

struct LibraryCall {
    const char *name;
    int (*call)();
    int expected; // its code against an answering simulator
};

unsigned char g_byte;
unsigned char g_buffer[16];
int g_int, g_other;
double g_double;

const unsigned char kFirmwareQuery[] = {0x03, 0xF3, 0xF6};

// Every export after the open, in an order that leaves the slot open.
const LibraryCall kCalls[] = {
    {"GetApiVersion", [] { return K7340_GetApiVersion()[0] == '2' ? 0 : -99; }, 0},
    {"GetErrString", [] { return K7340_GetErrString(-4)[0] == 'D' ? 0 : -99; }, 0},
    {"GetRanges", [] { return K7340_GetRanges(0, &g_int, &g_other); }, 0},
    {"GetEEPROM", [] { return K7340_GetEEPROM(0, 64, &g_byte); }, 0},
    {"SetEEPROM", [] { return K7340_SetEEPROM(0, 100, 0x5A); }, 0},
    {"SetRanges", [] { return K7340_SetRanges(0, 40000, 300); }, 0},
    {"GetFwVersion", [] { return K7340_GetFwVersion(0, &g_int); }, 0},
    {"GetStatusFlags", [] { return K7340_GetStatusFlags(0, &g_int); }, 0},
    {"GetFaultFlags", [] { return K7340_GetFaultFlags(0, &g_int); }, 0},
    {"ReadMeter", [] { return K7340_ReadMeter(0, 1, &g_double); }, 0},
    {"ReadRawMeter", [] { return K7340_ReadRawMeter(0, 2, &g_int); }, 0},
    {"SetVoltage", [] { return K7340_SetVoltage(0, 1000.5); }, 0},
    {"SetWD", [] { return K7340_SetWD(0, 0); }, 0},
    {"SetLimits", [] { return K7340_SetLimits(0, 100, 100); }, 0},
    {"Reset", [] { return K7340_Reset(0); }, 0},
    {"WritePort", [] { return K7340_WritePort(0, kFirmwareQuery, 3); }, 0},
    {"ReadPort",
     [] {
         g_int = 5;
         return K7340_ReadPort(0, g_buffer, &g_int);
     },
     0},
    {"bad index", [] { return K7340_ReadMeter(9, 0, &g_double); }, K7340_ERR_ARGUMENT},
    {"bad channel", [] { return K7340_ReadMeter(0, 4, &g_double); }, K7340_ERR_ARGUMENT},
    {"closed slot", [] { return K7340_SetVoltage(3, 100.0); }, K7340_ERR_CLOSED},
};

class NoHeap : public SimulatorTest {
  protected:
    void TearDown() override {
        g_counting = 0;
        SimulatorTest::TearDown();
    }
};

} // namespace

// Without this the other tests would prove nothing: a shared library's malloc must bind to the
// counting one here, and the counter must see it.
// Without this the other tests would prove nothing: a shared library's malloc must bind to the
// counting one here, and the counter must see it. (asprintf, not strdup: valgrind replaces
// strdup whole, but lets libc's formatting allocate through malloc.)
TEST(NoHeapInterposition, SharedLibrariesBindToTheCountingAllocator) {
    SKIP_UNDER_VALGRIND();
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "malloc"), reinterpret_cast<void *>(&malloc));
    static char *text;
    int code = 0;
    const int calls = HeapCallsDuring(
        [] { return asprintf(&text, "allocated in %s", "libc") > 0 ? 0 : -1; }, &code);
    free(text);
    EXPECT_EQ(code, 0);
    EXPECT_GE(calls, 1) << "libc's allocation inside asprintf";
}

TEST_F(NoHeap, OpenEveryCommandAndClose) {
    SKIP_UNDER_VALGRIND();
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "0"}), 0);
    int code = 0;
    EXPECT_EQ(HeapCallsDuring([] { return K7340_OpenDevice(0, 0); }, &code), 0) << "open";
    ASSERT_EQ(code, 0);
    for (const LibraryCall &c : kCalls) {
        EXPECT_EQ(HeapCallsDuring(c.call, &code), 0) << c.name;
        EXPECT_EQ(code, c.expected) << c.name;
    }
    EXPECT_EQ(HeapCallsDuring([] { return K7340_CloseDevice(0); }, &code), 0) << "close";
    EXPECT_EQ(code, 0);
}

// Failing exchanges take other paths through the library and the port: silence, a corrupted
// checksum, an unusable EEPROM, a missing port and a pty whose far end is gone.
TEST_F(NoHeap, FailuresAllocateNothingEither) {
    SKIP_UNDER_VALGRIND();
    ASSERT_EQ(StartSim(&sim.sim, {"--eeprom", "blank"}), 0);
    int code = 0;
    EXPECT_EQ(HeapCallsDuring([] { return K7340_OpenDevice(0, 0); }, &code), 0);
    EXPECT_EQ(code, K7340_ERR_EEPROM_CHECKSUM);

    ASSERT_EQ(SimControl(&sim.sim, "corrupt on"), 0);
    EXPECT_EQ(HeapCallsDuring([] { return K7340_GetFwVersion(0, &g_int); }, &code), 0);
    EXPECT_EQ(code, K7340_ERR_CHECKSUM);
    ASSERT_EQ(SimControl(&sim.sim, "corrupt off"), 0);

    ASSERT_EQ(SimControl(&sim.sim, "silent on"), 0);
    EXPECT_EQ(HeapCallsDuring([] { return K7340_GetFaultFlags(0, &g_int); }, &code), 0);
    EXPECT_EQ(code, K7340_ERR_READ);
    EXPECT_EQ(HeapCallsDuring([] { return K7340_Reset(0); }, &code), 0);
    EXPECT_EQ(code, K7340_ERR_READ);
    ASSERT_EQ(SimControl(&sim.sim, "silent off"), 0);

    setenv("K7340_COM6", "/nonexistent/k7340-port", 1);
    EXPECT_EQ(HeapCallsDuring([] { return K7340_OpenDevice(1, 5); }, &code), 0);
    EXPECT_EQ(code, K7340_ERR_NO_PORT);
    unsetenv("K7340_COM6");

    // The far end is gone: writes fail, and so do reads.
    ASSERT_EQ(SimControl(&sim.sim, "hangup"), 0);
    EXPECT_EQ(HeapCallsDuring([] { return K7340_ReadMeter(0, 0, &g_double); }, &code), 0);
    EXPECT_EQ(code, K7340_ERR_WRITE);
    EXPECT_EQ(HeapCallsDuring(
                  [] {
                      g_int = 4;
                      return K7340_ReadPort(0, g_buffer, &g_int);
                  },
                  &code),
              0);
    EXPECT_EQ(code, K7340_ERR_READ);
    EXPECT_EQ(HeapCallsDuring([] { return K7340_CloseDevice(0); }, &code), 0);
    EXPECT_EQ(code, 0);
}
