// The POSIX backend over a bare pseudo-terminal pair: the test holds the master (the supply's
// end of the wire) and the backend opens the slave by name through K7340_COM1. Times are
// compared with the backend's own 100 ms read bound: lower bounds it guarantees, upper bounds
// several times it, so a loaded machine cannot fail them and a wrong read still does.
#include "k7340.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const double READ_BOUND_MS = 100.0;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double ThreadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void Nothing(int) {}

class PosixPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        setenv("K7340_COM1", ttyname(slave_), 1);
        ASSERT_EQ(OpenPort(0, 0), K7340_OK);
    }
    void TearDown() override {
        PortClose(0);
        if (master_ >= 0)
            close(master_);
        close(slave_);
        unsetenv("K7340_COM1");
    }
    void Send(const char *bytes, int count) { ASSERT_EQ(write(master_, bytes, count), count); }
    // Waits until count bytes sit in the slave's input queue, without taking them.
    void WaitQueued(int count) {
        int queued = 0;
        for (int i = 0; i < 1000 && queued < count; i++) {
            ioctl(slave_, FIONREAD, &queued);
            if (queued < count)
                usleep(1000);
        }
        ASSERT_GE(queued, count);
    }
    int master_ = -1;
    int slave_ = -1;
};

TEST_F(PosixPort, APartialReadReturnsWhatArrivedOnceTheBoundRunsOut) {
    Send("\x03\x04\x07", 3);
    WaitQueued(3);
    unsigned char buf[8] = {};
    int count = 8;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PortRead(0, buf, &count), K7340_OK);
    EXPECT_GE(MsSince(start), READ_BOUND_MS) << "it waits for the rest until the bound";
    ASSERT_EQ(count, 3);
    EXPECT_EQ(buf[0], 0x03);
    EXPECT_EQ(buf[2], 0x07);
}

TEST_F(PosixPort, TheBoundRunsFromTheStartOfTheReadNotFromTheLastByte) {
    // A byte every 40 ms for 400 ms: a bound counted from the last byte would take them all.
    std::thread feeder([this] {
        for (int i = 0; i < 10; i++) {
            Send("\x55", 1);
            usleep(40000);
        }
    });
    unsigned char buf[32];
    int count = 32;
    const Clock::time_point start = Clock::now();
    const int code = PortRead(0, buf, &count);
    const double ms = MsSince(start);
    feeder.join();
    EXPECT_EQ(code, K7340_OK);
    EXPECT_GE(count, 1);
    EXPECT_LT(count, 10);
    EXPECT_GE(ms, READ_BOUND_MS);
    EXPECT_LT(ms, 4 * READ_BOUND_MS);
}

TEST_F(PosixPort, AHangUpFailsTheReadAtOnceWithoutSpinning) {
    close(master_);
    master_ = -1;
    for (int i = 0; i < 3; i++) {
        unsigned char buf[4];
        int count = 4;
        const double cpu = ThreadCpuMs();
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(PortRead(0, buf, &count), K7340_ERR_READ) << "read " << i;
        EXPECT_EQ(count, 0);
        // A loop on the hang-up would burn the bound on the processor; a wait uses next to none.
        EXPECT_LT(ThreadCpuMs() - cpu, READ_BOUND_MS / 10) << "read " << i;
        EXPECT_LT(MsSince(start), 4 * READ_BOUND_MS) << "read " << i;
    }
}

TEST_F(PosixPort, PurgeDropsWhatWaits) {
    Send("stale", 5);
    WaitQueued(5);
    PortPurgeInput(0);
    Send("\x42", 1);
    WaitQueued(1);
    unsigned char buf[8] = {};
    int count = 8;
    EXPECT_EQ(PortRead(0, buf, &count), K7340_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(buf[0], 0x42);
}

TEST_F(PosixPort, SignalsNeitherShortenNorStretchARead) {
    struct sigaction action = {};
    action.sa_handler = Nothing; // no SA_RESTART: every signal interrupts the wait
    struct sigaction previous;
    sigaction(SIGUSR1, &action, &previous);
    const pthread_t reader = pthread_self();
    std::atomic<bool> stop(false);
    // Signals every 5 ms for longer than the read may take.
    std::thread signaller([&] {
        for (int i = 0; i < 100 && !stop; i++) {
            pthread_kill(reader, SIGUSR1);
            usleep(5000);
        }
    });
    for (int arrived : {0, 2}) {
        if (arrived > 0)
            Send("\x01\x02", arrived);
        unsigned char buf[8];
        int count = 8;
        const Clock::time_point start = Clock::now();
        const int code = PortRead(0, buf, &count);
        const double ms = MsSince(start);
        EXPECT_EQ(code, arrived > 0 ? K7340_OK : K7340_ERR_READ) << arrived << " bytes";
        EXPECT_EQ(count, arrived);
        EXPECT_GE(ms, READ_BOUND_MS) << "shortened with " << arrived << " bytes";
        EXPECT_LT(ms, 4 * READ_BOUND_MS) << "stretched with " << arrived << " bytes";
    }
    stop = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

// The library puts back the settings it found (a terminal named as a port must not stay raw at
// 57600 baud), and a negative COM port number opens nothing, not even what K7340_COM0 names.
TEST_F(PosixPort, CloseRestoresTheSettingsAndNegativePortsOpenNothing) {
    PortClose(0);
    termios before;
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    cfsetspeed(&before, B9600);
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
    ASSERT_EQ(OpenPort(0, 0), K7340_OK);
    termios held;
    ASSERT_EQ(tcgetattr(slave_, &held), 0);
    EXPECT_EQ(cfgetispeed(&held), static_cast<speed_t>(B57600));
    EXPECT_EQ(held.c_lflag & (ICANON | ECHO), 0u);
    PortClose(0);
    termios after;
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    setenv("K7340_COM0", ttyname(slave_), 1);
    for (int comPort : {-1, -2, -2147483647 - 1})
        EXPECT_EQ(OpenPort(1, comPort), K7340_ERR_NO_PORT) << comPort;
    unsetenv("K7340_COM0");
    ASSERT_EQ(OpenPort(0, 0), K7340_OK) << "the slave is free: nothing else holds it";
}

} // namespace
