// The POSIX backend against hostile surroundings: port paths longer than any fixed buffer,
// device nodes with nothing behind them, and a storm of signals while the library pauses.
#include "k7340.h"
#include "sim_process.h"
#include "simulator_test.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// COM port 1 (K7340_COM2) is named by each case; the simulator stays on COM port 0.
int OpenComPort1(const std::string &path) {
    setenv("K7340_COM2", path.c_str(), 1);
    const int code = K7340_OpenDevice(1, 1);
    unsetenv("K7340_COM2");
    return code;
}

} // namespace

class PortHardening : public SimulatorTest {};

TEST_F(PortHardening, LongPortPathsOpenWholeOrNotAtAll) {
    ASSERT_EQ(StartSim(&sim.sim), 0);
    const std::string dir = sim.sim.dir;
    // Repeated slashes name the same file, so a path can be made as long as a case needs.
    const std::string to255 = dir + std::string(255 - dir.size() - 5, '/') + "/com1";
    ASSERT_EQ(to255.size(), 255u);
    const struct {
        const char *what;
        std::string path;
        int code;
    } cases[] = {
        // The first 255 bytes name the supply; the whole path names nothing.
        {"257 bytes, a prefix of which is the supply", to255 + "-x", K7340_ERR_NO_PORT},
        {"310 bytes that name the supply", dir + std::string(300, '/') + "com1", K7340_OK},
        {"longer than the system takes", std::string(5000, '/') + "dev/null", ENAMETOOLONG},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(OpenComPort1(c.path), c.code) << c.what;
        K7340_CloseDevice(1);
    }
}

TEST_F(PortHardening, ANodeWithNothingBehindItIsAPortThatDoesNotExist) {
    char dir[] = "/tmp/k7340-nodes-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string socketPath = std::string(dir) + "/socket";
    const std::string nodePath = std::string(dir) + "/node";
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    // Major 240 is reserved for local use: no driver stands behind it (open gives ENXIO).
    const bool haveNode = mknod(nodePath.c_str(), S_IFCHR | 0600, makedev(240, 0)) == 0;
    EXPECT_EQ(OpenComPort1(socketPath), K7340_ERR_NO_PORT) << "a socket (ENXIO)";
    if (haveNode)
        EXPECT_EQ(OpenComPort1(nodePath), K7340_ERR_NO_PORT) << "a device node (ENXIO)";
    else
        printf("mknod not permitted here: the device node case was not run\n");
    K7340_CloseDevice(1);
    close(s);
    unlink(socketPath.c_str());
    unlink(nodePath.c_str());
    rmdir(dir);
}

namespace {

void Ignore(int) {}

// SIGALRM every intervalUs, delivered to this thread, without SA_RESTART, until Stop or until
// the storm has lasted limitMs (so a pause that never ends under it ends after it).
class SignalStorm {
  public:
    SignalStorm(long intervalUs, int limitMs) {
        struct sigaction action = {};
        action.sa_handler = Ignore;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_);
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr); // the guard thread must not take them
        guard_ = std::thread([this, limitMs] {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return stop_; });
            Disarm();
        });
        pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
        itimerval timer = {{0, intervalUs}, {0, intervalUs}};
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~SignalStorm() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        done_.notify_one();
        guard_.join();
        sigaction(SIGALRM, &previous_, nullptr);
    }

  private:
    static void Disarm() {
        itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    struct sigaction previous_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool stop_ = false;
    std::thread guard_;
};

} // namespace

TEST_F(PortHardening, PausesKeepTheirLengthUnderASignalStorm) {
    ASSERT_EQ(StartSim(&sim.sim), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), K7340_OK);
    // Six EEPROM writes, each followed by a 100 ms pause: 600 ms and a few exchanges.
    const double nominalS = 0.6;
    const auto start = std::chrono::steady_clock::now();
    int code;
    {
        SignalStorm storm(50, 4000);
        code = K7340_SetRanges(0, 20000, 400);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(code, K7340_OK);
    EXPECT_LT(seconds, 3 * nominalS) << "600 ms of pauses took " << seconds << " s";
}
