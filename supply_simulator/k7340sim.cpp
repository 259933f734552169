/*
 * k7340sim.cpp - serves the simulated 7340 supply on a pseudo-terminal.
 *
 * The program creates a pty, holds its slave end open itself (so the master never sees a
 * hang-up while no client has the port open), points a symbolic link at the slave's name and
 * answers command frames through supply_model until SIGTERM or SIGINT, then removes the link.
 * Replies are written the moment the model releases them: at once, or, with --wire, when their
 * last byte would have arrived on a 57600 baud line (absolute-time sleep plus a short spin).
 */
#include "supply_model.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int64_t kTickUs = 10000;       // physics and watchdog advance at least this often
const int64_t kSpinUs = 120;         // final stretch before a wire release is spun
const int64_t kWireWaitUs = 2000;    // a wire release this close is waited for without polling
const int64_t kHangupUs = 200000;    // adapter pulled: time until the new pty appears
const int64_t kMasterRestUs = 20000; // pause after EIO/hang-up on the master
const int kPathMax = 4096;

struct Options {
    const char *link = nullptr;
    const char *eepromFile = nullptr;
    const char *control = nullptr;
    bool log = false;
    int noiseBytes = 0;
    int silentAfterWrites = -1;
    bool silent = false;
    bool corrupt = false;
    double splitGapMs = 0;
    double delayMs = 0;
    double noiseDelayMs = 1.0;
};

// File-scope state of the one running simulator.
Options g_options;
SupplyModel g_model;
volatile sig_atomic_t g_stop = 0;
int g_master = -1;
int g_slave = -1; // our own slave descriptor
char g_slaveName[kPathMax];
int g_control = -1;
int g_controlWriter = -1; // keeps the FIFO from reporting EOF while no one writes
char g_controlLine[512];
int g_controlLength = 0;
int64_t g_startUs = 0;
int64_t g_masterRestUntil = 0;
int64_t g_reopenAt = -1; // after a hang-up: when to create the new pty
int g_savedWrites = 0;

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void OnSignal(int) {
    g_stop = 1;
}

void Usage() {
    fprintf(stdout,
            "usage: k7340sim --link PATH [options]\n"
            "Serves a simulated 7340 supply on a pseudo-terminal; PATH becomes a symbolic link\n"
            "to the terminal once it is ready. Stops on SIGTERM or SIGINT and removes PATH.\n"
            "\n"
            "  --link PATH              symbolic link to create (replaces an existing one)\n"
            "  --log                    decoded traffic log on standard output\n"
            "  --vrange N               full-scale volts in the EEPROM (default 50000)\n"
            "  --irange N               full-scale microamperes in the EEPROM (default 200)\n"
            "  --eeprom configured|blank|bad-ranges   EEPROM contents (default configured)\n"
            "  --eeprom-file PATH       load the EEPROM from PATH if it exists (128 bytes);\n"
            "                           PATH is written at start and after every EEPROM write\n"
            "  --load-ohms R            output load in ohms (default 250e6)\n"
            "  --fw N                   firmware revision, decimal or 0x hex (default 0x0123)\n"
            "  --status-bits X          bits OR-ed into every status byte\n"
            "  --fault-bits X           bits OR-ed into the fault byte\n"
            "  --slew V_PER_S           output slew rate (default 20000; 0 = instant)\n"
            "  --silent                 consume commands, answer nothing\n"
            "  --silent-after-writes N  go silent once N EEPROM writes were answered\n"
            "  --corrupt                every reply's checksum is off by one\n"
            "  --split-gap-ms N         send each reply in two pieces N ms apart\n"
            "  --delay-ms N             delay each reply by N ms\n"
            "  --noise N                N junk bytes after each reply\n"
            "  --noise-delay-ms N       junk comes N ms after the reply (default 1)\n"
            "  --wire                   emulate wire time at 57600 baud, 10 bits a byte\n"
            "  --control FIFO           create FIFO; each line written to it is a command:\n"
            "                           silent on|off, corrupt on|off, delay MS, split MS,\n"
            "                           noise N, status-bits X, fault-bits X, hangup, quit\n"
            "  --help                   this text\n"
            "Numbers X and N are decimal or 0x hex.\n"
            "\n"
            "The simulated supply: a non-zero watchdog count that runs out without a command\n"
            "switches the output off and latches fault bit 0x01; the fault follow-up command\n"
            "(0xF8) clears latched faults; after a reset the status bit 0x80 is in the reset's\n"
            "reply and in the next one; EEPROM writes take effect at once (EEBusy never set).\n");
}

bool ParseLong(const char *text, long *value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    int base = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    char *end;
    errno = 0;
    long v = strtol(text, &end, base);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    *value = v;
    return true;
}

bool ParseDouble(const char *text, double *value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char *end;
    double v = strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v)) {
        return false;
    }
    *value = v;
    return true;
}

// Returns 0, 1 for --help, or -1 after printing an error.
int ParseArguments(int argc, char **argv, SupplyConfig *config) {
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        double d = 0;
        bool ok = true;
        bool usedValue = true;
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            return 1;
        } else if (strcmp(name, "--log") == 0) {
            g_options.log = true;
            usedValue = false;
        } else if (strcmp(name, "--silent") == 0) {
            g_options.silent = true;
            usedValue = false;
        } else if (strcmp(name, "--corrupt") == 0) {
            g_options.corrupt = true;
            usedValue = false;
        } else if (strcmp(name, "--wire") == 0) {
            config->wire = true;
            usedValue = false;
        } else if (strcmp(name, "--link") == 0) {
            ok = value != nullptr;
            g_options.link = value;
        } else if (strcmp(name, "--eeprom-file") == 0) {
            ok = value != nullptr;
            g_options.eepromFile = value;
        } else if (strcmp(name, "--control") == 0) {
            ok = value != nullptr;
            g_options.control = value;
        } else if (strcmp(name, "--eeprom") == 0) {
            if (value != nullptr && strcmp(value, "configured") == 0) {
                config->eeprom = EEPROM_CONFIGURED;
            } else if (value != nullptr && strcmp(value, "blank") == 0) {
                config->eeprom = EEPROM_BLANK;
            } else if (value != nullptr && strcmp(value, "bad-ranges") == 0) {
                config->eeprom = EEPROM_BAD_RANGES;
            } else {
                ok = false;
            }
        } else if (strcmp(name, "--vrange") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= 65535;
            config->vrange = (int)n;
        } else if (strcmp(name, "--irange") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= 65535;
            config->irange = (int)n;
        } else if (strcmp(name, "--fw") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= 65535;
            config->firmware = (int)n;
        } else if (strcmp(name, "--status-bits") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= 255;
            config->forceStatus = (int)n;
        } else if (strcmp(name, "--fault-bits") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= 255;
            config->forceFault = (int)n;
        } else if (strcmp(name, "--load-ohms") == 0) {
            ok = ParseDouble(value, &d) && d > 0;
            config->loadOhms = d;
        } else if (strcmp(name, "--slew") == 0) {
            ok = ParseDouble(value, &d) && d >= 0;
            config->slewVPerS = d;
        } else if (strcmp(name, "--silent-after-writes") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= 1000000;
            g_options.silentAfterWrites = (int)n;
        } else if (strcmp(name, "--split-gap-ms") == 0) {
            ok = ParseDouble(value, &d) && d >= 0;
            g_options.splitGapMs = d;
        } else if (strcmp(name, "--delay-ms") == 0) {
            ok = ParseDouble(value, &d) && d >= 0;
            g_options.delayMs = d;
        } else if (strcmp(name, "--noise-delay-ms") == 0) {
            ok = ParseDouble(value, &d) && d >= 0;
            g_options.noiseDelayMs = d;
        } else if (strcmp(name, "--noise") == 0) {
            ok = ParseLong(value, &n) && n >= 0 && n <= SUPPLY_NOISE_MAX;
            g_options.noiseBytes = (int)n;
        } else {
            fprintf(stderr, "k7340sim: unknown option %s (see --help)\n", name);
            return -1;
        }
        if (!ok) {
            fprintf(stderr, "k7340sim: %s needs a valid value (see --help)\n", name);
            return -1;
        }
        if (usedValue) {
            i++;
        }
    }
    if (g_options.link == nullptr) {
        fprintf(stderr, "k7340sim: --link PATH is required (see --help)\n");
        return -1;
    }
    return 0;
}

// ---- the pseudo-terminal and its link ----

int CreatePty() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("k7340sim: posix_openpt");
        if (master >= 0) {
            close(master);
        }
        return -1;
    }
    const char *name = ptsname(master);
    int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (slave < 0) {
        perror("k7340sim: opening the pty slave");
        close(master);
        return -1;
    }
    termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    snprintf(g_slaveName, sizeof g_slaveName, "%s", name);
    g_master = master;
    g_slave = slave;
    return 0;
}

void ClosePty() {
    if (g_master >= 0) {
        close(g_master);
    }
    if (g_slave >= 0) {
        close(g_slave);
    }
    g_master = -1;
    g_slave = -1;
}

// Points the link at the slave atomically (a new link renamed over the old one).
int PointLink() {
    char temp[kPathMax];
    snprintf(temp, sizeof temp, "%s.new%d", g_options.link, (int)getpid());
    unlink(temp);
    if (symlink(g_slaveName, temp) != 0 || rename(temp, g_options.link) != 0) {
        fprintf(stderr, "k7340sim: cannot create link %s: %s\n", g_options.link, strerror(errno));
        unlink(temp);
        return -1;
    }
    return 0;
}

// ---- EEPROM file ----

bool LoadEepromFile(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    unsigned char bytes[SUPPLY_EEPROM_SIZE + 1];
    size_t n = fread(bytes, 1, sizeof bytes, f);
    fclose(f);
    if (n != SUPPLY_EEPROM_SIZE) {
        fprintf(stderr, "k7340sim: %s does not hold 128 bytes; using the preset\n", path);
        return false;
    }
    SupplyLoadEeprom(&g_model, bytes);
    return true;
}

void SaveEepromFile(const char *path) {
    char temp[kPathMax];
    snprintf(temp, sizeof temp, "%s.new%d", path, (int)getpid());
    FILE *f = fopen(temp, "wb");
    if (f == nullptr) {
        fprintf(stderr, "k7340sim: cannot write %s: %s\n", temp, strerror(errno));
        return;
    }
    size_t n = fwrite(SupplyEeprom(&g_model), 1, SUPPLY_EEPROM_SIZE, f);
    if (fclose(f) != 0 || n != SUPPLY_EEPROM_SIZE || rename(temp, path) != 0) {
        fprintf(stderr, "k7340sim: cannot write %s\n", path);
        unlink(temp);
    }
}

// ---- log ----

void PrintLine(int64_t timeUs, const char *text) {
    if (!g_options.log) {
        return;
    }
    int64_t t = timeUs - g_startUs;
    printf("%lld.%06lld %s\n", (long long)(t / 1000000), (long long)(t % 1000000), text);
    fflush(stdout);
}

void PrintModelLog(int64_t nowUs) {
    char text[SUPPLY_LOG_TEXT];
    int64_t at;
    while (SupplyTakeLog(&g_model, text, sizeof text, &at, nowUs)) {
        PrintLine(at, text);
    }
}

// ---- serving ----

// Saves the EEPROM file before the reply to a write goes out, so a client that has the reply
// finds the file up to date.
void SaveEepromIfWritten() {
    if (g_options.eepromFile != nullptr && g_model.eepromWrites != g_savedWrites) {
        g_savedWrites = g_model.eepromWrites;
        SaveEepromFile(g_options.eepromFile);
    }
}

void WriteReleased(int64_t nowUs) {
    unsigned char buf[SUPPLY_OUT_MAX];
    int n = SupplyTakeOutput(&g_model, buf, sizeof buf, nowUs);
    if (n <= 0 || g_master < 0) {
        return;
    }
    ssize_t done = write(g_master, buf, n);
    if (done != n) {
        char text[96];
        snprintf(text, sizeof text, "! %d reply bytes lost writing to the pty", n - (int)done);
        PrintLine(nowUs, text);
    }
}

void ReadMaster() {
    unsigned char buf[256];
    for (;;) {
        ssize_t n = read(g_master, buf, sizeof buf);
        if (n > 0) {
            int64_t now = NowUs();
            SupplyReceive(&g_model, buf, (int)n, now);
            SaveEepromIfWritten();
            WriteReleased(now); // answer without waiting for the next loop pass
            PrintModelLog(now); // before the model's bounded log overflows in a fast run
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            g_masterRestUntil = NowUs() + kMasterRestUs; // EIO: no slave open; do not spin
        }
        return;
    }
}

void Hangup(int64_t nowUs) {
    ClosePty();
    unlink(g_options.link);
    unsigned char drop[SUPPLY_OUT_MAX];
    while (SupplyTakeOutput(&g_model, drop, sizeof drop, INT64_MAX) > 0) {
    }
    g_reopenAt = nowUs + kHangupUs;
    PrintLine(nowUs, "# hang-up: pty closed, link removed");
}

void Reopen(int64_t nowUs) {
    g_reopenAt = -1;
    if (CreatePty() != 0 || PointLink() != 0) {
        g_stop = 1;
        return;
    }
    char text[kPathMax + 64];
    snprintf(text, sizeof text, "# new pty %s at %s", g_slaveName, g_options.link);
    PrintLine(nowUs, text);
}

bool ParseOnOff(const char *text, bool *value) {
    if (strcmp(text, "on") == 0) {
        *value = true;
    } else if (strcmp(text, "off") == 0) {
        *value = false;
    } else {
        return false;
    }
    return true;
}

void RunControl(char *line, int64_t nowUs) {
    char *word = strtok(line, " \t\r");
    char *arg = strtok(nullptr, " \t\r");
    if (word == nullptr) {
        return;
    }
    SupplyFaults *faults = SupplyFaultsOf(&g_model);
    SupplyConfig *config = SupplyConfigOf(&g_model);
    long n = 0;
    double d = 0;
    bool ok = true;
    if (strcmp(word, "silent") == 0) {
        ok = arg != nullptr && ParseOnOff(arg, &faults->silent);
    } else if (strcmp(word, "corrupt") == 0) {
        ok = arg != nullptr && ParseOnOff(arg, &faults->corrupt);
    } else if (strcmp(word, "delay") == 0 && ParseDouble(arg, &d) && d >= 0) {
        faults->delayUs = (int64_t)(d * 1000.0);
    } else if (strcmp(word, "split") == 0 && ParseDouble(arg, &d) && d >= 0) {
        faults->splitGapUs = (int64_t)(d * 1000.0);
    } else if (strcmp(word, "noise") == 0 && ParseLong(arg, &n) && n >= 0 &&
               n <= SUPPLY_NOISE_MAX) {
        faults->noiseBytes = (int)n;
    } else if (strcmp(word, "status-bits") == 0 && ParseLong(arg, &n) && n >= 0 && n <= 255) {
        config->forceStatus = (int)n;
    } else if (strcmp(word, "fault-bits") == 0 && ParseLong(arg, &n) && n >= 0 && n <= 255) {
        config->forceFault = (int)n;
    } else if (strcmp(word, "hangup") == 0 && g_master >= 0) {
        Hangup(nowUs);
    } else if (strcmp(word, "quit") == 0) {
        g_stop = 1;
    } else {
        ok = false;
    }
    char text[600];
    snprintf(text, sizeof text, "# control: %s%s%s%s", word, arg ? " " : "", arg ? arg : "",
             ok ? "" : " (not understood)");
    PrintLine(nowUs, text);
    if (!ok) {
        fprintf(stderr, "k7340sim: control command not understood: %s\n", word);
    }
}

void ReadControl(int64_t nowUs) {
    for (;;) {
        char c;
        ssize_t n = read(g_control, &c, 1);
        if (n <= 0) {
            return;
        }
        if (c == '\n') {
            g_controlLine[g_controlLength] = '\0';
            g_controlLength = 0;
            RunControl(g_controlLine, nowUs);
        } else if (g_controlLength < (int)sizeof g_controlLine - 1) {
            g_controlLine[g_controlLength++] = c;
        }
    }
}

int OpenControl() {
    struct stat st;
    if (stat(g_options.control, &st) == 0 && !S_ISFIFO(st.st_mode)) {
        fprintf(stderr, "k7340sim: %s exists and is not a FIFO\n", g_options.control);
        return -1;
    }
    if (stat(g_options.control, &st) != 0 && mkfifo(g_options.control, 0600) != 0) {
        fprintf(stderr, "k7340sim: mkfifo %s: %s\n", g_options.control, strerror(errno));
        return -1;
    }
    g_control = open(g_options.control, O_RDONLY | O_NONBLOCK);
    g_controlWriter = open(g_options.control, O_WRONLY | O_NONBLOCK);
    if (g_control < 0 || g_controlWriter < 0) {
        fprintf(stderr, "k7340sim: open %s: %s\n", g_options.control, strerror(errno));
        return -1;
    }
    return 0;
}

// Sleeps to an absolute release time: clock_nanosleep to just before it, then spins.
void WaitUntil(int64_t targetUs) {
    int64_t sleepTo = targetUs - kSpinUs;
    if (NowUs() < sleepTo) {
        timespec ts;
        ts.tv_sec = sleepTo / 1000000;
        ts.tv_nsec = (sleepTo % 1000000) * 1000;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (NowUs() < targetUs && !g_stop) {
    }
}

void Serve() {
    while (!g_stop) {
        int64_t now = NowUs();
        SupplyAdvance(&g_model, now);
        WriteReleased(now);
        PrintModelLog(now);
        SaveEepromIfWritten();
        if (g_reopenAt >= 0 && now >= g_reopenAt) {
            Reopen(now);
            continue;
        }

        int64_t next = SupplyNextOutputUs(&g_model);
        int64_t wait = kTickUs;
        if (next >= 0 && next - now < wait) {
            wait = next - now;
            if (g_model.config.wire) { // wake early enough to wait for it precisely
                wait -= kWireWaitUs / 2;
            }
        }
        if (g_reopenAt >= 0 && g_reopenAt - now < wait) {
            wait = g_reopenAt - now;
        }
        if (next >= 0 && g_model.config.wire && next - now <= kWireWaitUs) {
            WaitUntil(next); // the host is waiting for this reply: be on time
            continue;
        }
        if (wait <= 0) {
            continue;
        }

        pollfd fds[2];
        int nfds = 0;
        int masterSlot = -1, controlSlot = -1;
        if (g_master >= 0 && now >= g_masterRestUntil) {
            masterSlot = nfds;
            fds[nfds++] = {g_master, POLLIN, 0};
        }
        if (g_control >= 0) {
            controlSlot = nfds;
            fds[nfds++] = {g_control, POLLIN, 0};
        }
        timespec ts;
        ts.tv_sec = wait / 1000000;
        ts.tv_nsec = (wait % 1000000) * 1000;
        int ready = ppoll(fds, nfds, &ts, nullptr);
        if (ready <= 0) {
            continue;
        }
        if (masterSlot >= 0 && fds[masterSlot].revents != 0) {
            if (fds[masterSlot].revents & POLLIN) {
                ReadMaster();
            } else {
                g_masterRestUntil = NowUs() + kMasterRestUs; // hang-up: rest, do not spin
            }
        }
        if (controlSlot >= 0 && (fds[controlSlot].revents & POLLIN)) {
            ReadControl(NowUs());
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    SupplyConfig config;
    int parsed = ParseArguments(argc, argv, &config);
    if (parsed > 0) {
        Usage();
        return 0;
    }
    if (parsed < 0) {
        return 2;
    }
    config.log = g_options.log;
    SupplyInit(&g_model, &config);
    SupplyFaults *faults = SupplyFaultsOf(&g_model);
    faults->silent = g_options.silent;
    faults->silentAfterWrites = g_options.silentAfterWrites;
    faults->corrupt = g_options.corrupt;
    faults->splitGapUs = (int64_t)(g_options.splitGapMs * 1000.0);
    faults->delayUs = (int64_t)(g_options.delayMs * 1000.0);
    faults->noiseBytes = g_options.noiseBytes;
    faults->noiseDelayUs = (int64_t)(g_options.noiseDelayMs * 1000.0);
    if (g_options.eepromFile != nullptr && !LoadEepromFile(g_options.eepromFile)) {
        SaveEepromFile(g_options.eepromFile); // so the preset can be inspected too
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal; // no SA_RESTART: waits end at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_TIMERSLACK, 1UL); // wake-ups on time, not up to 50 us late

    if (CreatePty() != 0) {
        return 1;
    }
    if (g_options.control != nullptr && OpenControl() != 0) {
        return 1;
    }
    g_startUs = NowUs();
    if (PointLink() != 0) {
        return 1;
    }
    fprintf(stderr, "k7340sim: serving %s at %s\n", g_slaveName, g_options.link);
    char text[kPathMax + 64];
    snprintf(text, sizeof text, "# serving %s at %s", g_slaveName, g_options.link);
    PrintLine(g_startUs, text);

    Serve();

    unlink(g_options.link);
    if (g_control >= 0) {
        close(g_control);
        close(g_controlWriter);
        unlink(g_options.control);
    }
    ClosePty();
    PrintLine(NowUs(), "# stopped");
    return 0;
}
