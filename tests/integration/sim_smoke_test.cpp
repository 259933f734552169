// k7340sim through its pty with plain POSIX calls (no library): proves the simulator and the
// sim_process helper that the other integration tests build on.
#include "sim_process.h"
#include "test_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// Only catches a hang; an answering simulator replies in well under a millisecond.
const int kReplyTimeoutMs = 2000;

int OpenRaw(const char *path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios tio;
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Reads up to count bytes, waiting at most timeoutMs for each; stops early on silence.
Bytes ReadUpTo(int fd, size_t count, int timeoutMs) {
    Bytes got;
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN))
            break;
        unsigned char buf[64];
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

Bytes Exchange(int fd, const Bytes &payload, size_t replyData, int timeoutMs = kReplyTimeoutMs) {
    tcflush(fd, TCIFLUSH);
    Bytes frame = CommandFrame(payload);
    EXPECT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    return ReadUpTo(fd, replyData + 3, timeoutMs);
}

Bytes Reply(int status, const Bytes &data) {
    Bytes frame{static_cast<unsigned char>(data.size() + 3), static_cast<unsigned char>(status)};
    frame.insert(frame.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (unsigned char b : frame)
        sum += b;
    frame.push_back(static_cast<unsigned char>(sum));
    return frame;
}

TEST(SimSmoke, AnswersFramesOnItsPtyAndLogsThem) {
    ScopedSim s;
    ASSERT_EQ(StartSim(&s.sim, {"--fw", "0x0456", "--vrange", "20000", "--irange", "400"}), 0);
    EXPECT_STREQ(getenv("K7340_COM1"), s.sim.link);
    int fd = OpenRaw(s.sim.link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, {0xF3}, 2), Reply(0x00, {0x04, 0x56}));
    EXPECT_EQ(Exchange(fd, {0xF2, 64}, 1), Reply(0x00, {0x4E}));
    EXPECT_EQ(Exchange(fd, {0xF2, 67}, 1), Reply(0x00, {0x90}));
    EXPECT_EQ(Exchange(fd, {0x11, 0x00, 0x00, 0x00}, 0), Reply(0x04, {}));
    EXPECT_EQ(Exchange(fd, {0x10, 0x00, 0x00, 0x00}, 0), Reply(0x00, {}));
    close(fd);

    EXPECT_EQ(StopSim(&s.sim), 0);
    EXPECT_NE(access(s.sim.link, F_OK), 0) << "link removed on SIGTERM";
    std::string log = SimLog(&s.sim);
    EXPECT_NE(log.find("read firmware -> 0x0456"), std::string::npos) << log;
    EXPECT_NE(log.find("read EEPROM 64 -> 0x4E"), std::string::npos) << log;
    EXPECT_NE(log.find("output off"), std::string::npos) << log;
}

TEST(SimSmoke, ControlCommandsTakeEffectAtOnce) {
    ScopedSim s;
    ASSERT_EQ(StartSim(&s.sim), 0);
    int fd = OpenRaw(s.sim.link);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(SimControl(&s.sim, "silent on"), 0);
    EXPECT_TRUE(Exchange(fd, {0xF3}, 2, 200).empty());
    ASSERT_EQ(SimControl(&s.sim, "silent off"), 0);
    ASSERT_EQ(SimControl(&s.sim, "status-bits 0x40"), 0);
    ASSERT_EQ(SimControl(&s.sim, "fault-bits 0x88"), 0);
    EXPECT_EQ(Exchange(fd, {0xFC}, 1), Reply(0x50, {0x88}));
    ASSERT_EQ(SimControl(&s.sim, "corrupt on"), 0);
    Bytes bad = Exchange(fd, {0xF3}, 2);
    ASSERT_EQ(bad.size(), 5u);
    EXPECT_EQ(bad[4], static_cast<unsigned char>(bad[0] + bad[1] + bad[2] + bad[3] + 1));
    close(fd);
}

TEST(SimSmoke, EepromWritesReachTheFileBeforeTheReply) {
    ScopedSim s;
    ASSERT_EQ(StartSim(&s.sim, {"--eeprom", "blank"}), 0);
    EXPECT_EQ(SimEeprom(&s.sim), std::string(128, '\xFF'));
    int fd = OpenRaw(s.sim.link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, {0xF1, 10, 0x5A}, 0), Reply(0x00, {}));
    std::string eeprom = SimEeprom(&s.sim);
    ASSERT_EQ(eeprom.size(), 128u);
    EXPECT_EQ(eeprom[10], '\x5A');
    close(fd);

    // A second run on the same file starts with what the first one left.
    const std::string file = s.sim.eepromPath;
    ScopedSim again;
    ASSERT_EQ(StartSim(&again.sim, {"--eeprom-file", file.c_str()}), 0);
    fd = OpenRaw(again.sim.link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, {0xF2, 10}, 1), Reply(0x00, {0x5A}));
    close(fd);
}

TEST(SimSmoke, HangupDropsTheClientAndAFreshOpenWorksAgain) {
    ScopedSim s;
    ASSERT_EQ(StartSim(&s.sim), 0);
    int fd = OpenRaw(s.sim.link);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Exchange(fd, {0xF3}, 2).size(), 5u);
    ASSERT_EQ(SimControl(&s.sim, "hangup"), 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kReplyTimeoutMs), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0) << "the old port is dead";
    close(fd);
    ASSERT_EQ(WaitForSimLink(&s.sim, 5000), 0);
    fd = OpenRaw(s.sim.link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, {0xF3}, 2), Reply(0x00, {0x01, 0x23}));
    close(fd);
}

} // namespace
