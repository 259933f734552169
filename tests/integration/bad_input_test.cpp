// Bad input: every export given device indices -1 to 9 (and the extremes), channels -1 to 4,
// null pointers, counts -1, 0 and 12 and out-of-range values, with slot 0 open on k7340sim and
// the others closed: each call returns its exact code from the library's table and the slot
// still works afterwards. Then k7340config given arbitrary byte strings as arguments: the
// banner, its usage or bounds message, and no command ever reaches the supply.
#include "k7340.h"
#include "sim_process.h"
#include "simulator_test.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Case {
    std::string what;
    std::function<int(int index)> call;
    int expected; // on the open slot 0; other indices give -1 or -2
};

const int kIndices[] = {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, INT_MIN, INT_MAX};

int LookupCode(int index) {
    if (index < 0 || index >= K7340_MAX_DEVICES)
        return K7340_ERR_ARGUMENT;
    return index == 0 ? K7340_OK : K7340_ERR_CLOSED;
}

std::vector<Case> CallsWithArguments() {
    static int value;
    static double reading;
    static unsigned char byte, buffer[16];
    std::vector<Case> cases;
    for (int channel = -1; channel <= 4; channel++) {
        for (int null = 0; null <= 1; null++) {
            const std::string args = "(" + std::to_string(channel) + (null ? ", null)" : ")");
            cases.push_back({"ReadMeter" + args,
                             [channel, null](int i) {
                                 return K7340_ReadMeter(i, channel, null ? nullptr : &reading);
                             },
                             channel >= 0 && channel <= 3 && !null ? 0 : K7340_ERR_ARGUMENT});
            cases.push_back({"ReadRawMeter" + args,
                             [channel, null](int i) {
                                 return K7340_ReadRawMeter(i, channel, null ? nullptr : &value);
                             },
                             channel >= 0 && channel <= 2 && !null ? 0 : K7340_ERR_ARGUMENT});
        }
    }
    for (int null = 0; null <= 1; null++) {
        const char *n = null ? "(null)" : "";
        int *out = null ? nullptr : &value;
        cases.push_back({std::string("GetFwVersion") + n,
                         [out](int i) { return K7340_GetFwVersion(i, out); }, 0});
        cases.push_back({std::string("GetFaultFlags") + n,
                         [out](int i) { return K7340_GetFaultFlags(i, out); }, 0});
        cases.push_back({std::string("GetStatusFlags") + n,
                         [out](int i) { return K7340_GetStatusFlags(i, out); },
                         null ? K7340_ERR_ARGUMENT : 0});
        cases.push_back({std::string("GetRanges(null first)") + n,
                         [out](int i) { return K7340_GetRanges(i, nullptr, out); },
                         K7340_ERR_ARGUMENT});
        cases.push_back({std::string("GetRanges") + n,
                         [out](int i) { return K7340_GetRanges(i, &value, out); },
                         null ? K7340_ERR_ARGUMENT : 0});
    }
    for (int address : {-1, 0, 127, 128, INT_MIN, INT_MAX}) {
        const bool valid = address >= 0 && address <= 127;
        for (int null = 0; null <= 1; null++)
            cases.push_back({"GetEEPROM(" + std::to_string(address) + (null ? ", null)" : ")"),
                             [address, null](int i) {
                                 return K7340_GetEEPROM(i, address, null ? nullptr : &byte);
                             },
                             valid && !null ? 0 : K7340_ERR_ARGUMENT});
    }
    // 0 and 127 keep their values, so the image stays as the open read it.
    for (int address : {-1, 128, INT_MIN}) {
        cases.push_back({"SetEEPROM(" + std::to_string(address) + ")",
                         [address](int i) { return K7340_SetEEPROM(i, address, 0x1FF); },
                         K7340_ERR_ARGUMENT});
    }
    cases.push_back({"SetEEPROM(100, -1)", [](int i) { return K7340_SetEEPROM(i, 100, -1); }, 0});
    for (int count : {-1, 0, 12}) {
        for (int null = 0; null <= 1; null++) {
            const std::string args = "(" + std::to_string(count) + (null ? ", null)" : ")");
            // Nothing is waiting: a read of any length ends empty.
            cases.push_back(
                {"ReadPort" + args,
                 [count, null](int i) {
                     int n = count;
                     return K7340_ReadPort(i, null ? nullptr : buffer, &n);
                 },
                 count < 0 || (null && count > 0) ? K7340_ERR_ARGUMENT : K7340_ERR_READ});
            // Zero bytes: junk that the supply drops one byte at a time.
            cases.push_back({"WritePort" + args,
                             [count, null](int i) {
                                 memset(buffer, 0, sizeof buffer);
                                 return K7340_WritePort(i, null ? nullptr : buffer, count);
                             },
                             count < 0 || (null && count > 0) ? K7340_ERR_ARGUMENT : 0});
        }
    }
    cases.push_back({"ReadPort(null count)",
                     [](int i) { return K7340_ReadPort(i, buffer, nullptr); }, K7340_ERR_ARGUMENT});
    const std::pair<int, int> ranges[] = {{-1, 200},    {0, 200},       {999, 200},
                                          {60001, 200}, {INT_MIN, 200}, {50000, -1},
                                          {50000, 9},   {50000, 501},   {50000, INT_MAX}};
    for (const auto &r : ranges)
        cases.push_back(
            {"SetRanges(" + std::to_string(r.first) + ", " + std::to_string(r.second) + ")",
             [r](int i) { return K7340_SetRanges(i, r.first, r.second); }, K7340_ERR_ARGUMENT});
    cases.push_back({"SetRanges(1000, 10)", [](int i) { return K7340_SetRanges(i, 1000, 10); }, 0});
    cases.push_back(
        {"SetRanges(60000, 500)", [](int i) { return K7340_SetRanges(i, 60000, 500); }, 0});
    const double volts[] = {-HUGE_VAL, -DBL_MAX, -1.0, 0.0, 19.999, DBL_MAX, HUGE_VAL};
    for (double v : volts)
        cases.push_back({"SetVoltage(" + std::to_string(v) + ")",
                         [v](int i) { return K7340_SetVoltage(i, v); }, 0});
    cases.push_back(
        {"SetVoltage(NaN)", [](int i) { return K7340_SetVoltage(i, NAN); }, K7340_ERR_ARGUMENT});
    for (unsigned ms : {0u, 2541u, UINT_MAX})
        cases.push_back(
            {"SetWD(" + std::to_string(ms) + ")", [ms](int i) { return K7340_SetWD(i, ms); }, 0});
    for (int percent : {-1, 0, 100, 101, INT_MIN, INT_MAX})
        cases.push_back({"SetLimits(" + std::to_string(percent) + ")",
                         [percent](int i) { return K7340_SetLimits(i, percent, percent); }, 0});
    cases.push_back({"Reset", [](int i) { return K7340_Reset(i); }, 0});
    return cases;
}

class BadInput : public SimulatorTest {};

} // namespace

TEST_F(BadInput, EveryExportGivesItsCodeForEveryIndexAndArgument) {
    ASSERT_EQ(StartSim(&sim.sim, {"--slew", "0"}), 0);
    ASSERT_EQ(K7340_OpenDevice(0, 0), K7340_OK);
    for (const Case &c : CallsWithArguments()) {
        for (int index : kIndices) {
            const int lookup = LookupCode(index);
            EXPECT_EQ(c.call(index), lookup != K7340_OK ? lookup : c.expected)
                << c.what << " on index " << index;
        }
    }
    // The port open takes any number: those that name no device answer -10, slots stay closed.
    for (int index : kIndices) {
        for (int comPort : {-1, INT_MIN, INT_MAX}) {
            const int expected = index < 0 || index >= K7340_MAX_DEVICES ? K7340_ERR_ARGUMENT
                                 : index == 0                            ? K7340_OK
                                                                         : K7340_ERR_NO_PORT;
            EXPECT_EQ(K7340_OpenDevice(index, comPort), expected)
                << "open of index " << index << " on COM port " << comPort;
        }
        const int closeCode = LookupCode(index) == K7340_OK ? K7340_OK : LookupCode(index);
        if (index != 0) {
            EXPECT_EQ(K7340_CloseDevice(index), closeCode) << index;
        }
    }
    for (int code : {INT_MIN, -11, -10, -1, 0, 1, 5, INT_MAX}) {
        const char *text = K7340_GetErrString(code);
        ASSERT_NE(text, nullptr);
        if (code < -10 || code > 0) {
            EXPECT_STREQ(text, "System error") << code;
        }
    }
    EXPECT_STREQ(K7340_GetApiVersion(), "2.0.0");

    // Nothing above broke the slot: the supply still answers, with the ranges last set.
    double volts = -1;
    int vrange = 0, irange = 0;
    EXPECT_EQ(K7340_ReadMeter(0, 0, &volts), K7340_OK);
    EXPECT_EQ(K7340_GetRanges(0, &vrange, &irange), K7340_OK);
    EXPECT_EQ(vrange, 60000);
    EXPECT_EQ(irange, 500);
    EXPECT_EQ(K7340_CloseDevice(0), K7340_OK);
    EXPECT_EQ(K7340_CloseDevice(0), K7340_ERR_CLOSED);
}

// --- k7340config ------------------------------------------------------------------------------

namespace {

const std::string kBanner = "Vantrel MODEL 7340 CONFIGURATION UTILITY\n";
const std::string kUsage =
    "Usage: k7340config <comport> <vrange> <irange>\n"
    " comport - COM port designator: 0=COM1, 1=COM2, etc.\n"
    " vrange  - maximum \"output voltage swing\" from data sheet (2000 to 60000)\n"
    " irange  - \"I Limit\" from data sheet (50 to 20000)\n"
    "Examples:\n"
    " \"k7340config 0 50000 500\"  - COM1, 50 kV, 500 uA\n"
    " \"k7340config 1 20000 1000\" - COM2, 20 kV, 1 mA\n";
const std::string kWrongCount = "ERROR: wrong number of arguments\n";
const std::string kVrange = "ERROR: vrange must fall within 2000:60000\n";
const std::string kIrange = "ERROR: irange must fall within 50:20000\n";

// k7340config lives beside k7340sim in the build's bin directory.
std::string ConfigPath() {
    std::string path = K7340SIM_PATH;
    return path.substr(0, path.rfind('/') + 1) + "k7340config";
}

// What "%d" makes of an argument, from the C library: a number, or none.
bool Number(const std::string &text, long long *value) {
    char *end;
    *value = strtoll(text.c_str(), &end, 10);
    return end != text.c_str();
}

// The message the utility owes these arguments; empty when they are good (not run here).
std::string Expected(const std::vector<std::string> &args) {
    if (args.size() != 3)
        return kWrongCount + kUsage;
    long long com, v, i;
    const bool haveCom = Number(args[0], &com);
    if (!Number(args[1], &v) || v < 2000 || v > 60000)
        return kVrange + kUsage;
    if (!Number(args[2], &i) || i < 50 || i > 20000)
        return kIrange + kUsage;
    return haveCom ? "" : kUsage;
}

// Runs k7340config with these arguments and no input; its standard output.
std::string RunConfig(const std::vector<std::string> &args, int *status) {
    std::vector<char *> argv;
    std::string path = ConfigPath();
    argv.push_back(&path[0]);
    std::vector<std::string> copies = args;
    for (std::string &a : copies)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0)
        return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    close(out[0]);
    *status = -1;
    if (spawned == 0)
        waitpid(pid, status, 0);
    return text;
}

// Arguments of arbitrary bytes (never zero: an argument ends there).
std::vector<std::string> RandomArguments(std::mt19937 *random) {
    const char *pieces[] = {"0",    "5",    "-",     "+",  " ",     "\t",
                            "\n",   "2000", "60000", "50", "20000", "9999999999",
                            "\xff", "\x80", "0x",    "e",  ".",     "\x01"};
    std::vector<std::string> args((*random)() % 6);
    for (std::string &a : args) {
        const int parts = (*random)() % 5;
        for (int p = 0; p < parts; p++) {
            if ((*random)() % 3 == 0)
                a += static_cast<char>(1 + (*random)() % 255);
            else
                a += pieces[(*random)() % (sizeof pieces / sizeof pieces[0])];
        }
    }
    return args;
}

} // namespace

TEST_F(BadInput, ConfigUtilityAnswersAnyArgumentBytesWithItsMessages) {
    // A unit with out-of-bounds ranges would be written at once if the utility opened it.
    ASSERT_EQ(StartSim(&sim.sim, {"--eeprom", "bad-ranges"}), 0);
    std::vector<std::vector<std::string>> runs = {
        {"\xff\xfe", "50000", "500"},
        {"0", "\xff", "500"},
        {"0", "50000", "\x80\x81"},
        {"0", "", ""},
        {"", "", ""},
        {"0", "-", "+"},
        {"0", "99999999999999999999999999", "500"},
        {"0", "50000", "-99999999999999999999999"},
        {"\t", "\t", "\t"},
        {"0", std::string(5000, '7'), "500"},
        {std::string(5000, '\xee'), "2000", "50"},
        {},
        {"\x01"},
        {"0", "50000"},
        {"0", "50000", "500", "\xff"},
    };
    std::mt19937 random(7340);
    while (runs.size() < 300) {
        std::vector<std::string> args = RandomArguments(&random);
        if (!Expected(args).empty())
            runs.push_back(args);
    }
    for (const std::vector<std::string> &args : runs) {
        std::string shown;
        for (const std::string &a : args)
            shown += "[" + a + "] ";
        int status;
        EXPECT_EQ(RunConfig(args, &status), kBanner + Expected(args)) << shown;
        EXPECT_TRUE(WIFEXITED(status)) << shown;
    }
    EXPECT_EQ(SimLog(&sim.sim).find(" > "), std::string::npos) << "a command reached the supply";
}
