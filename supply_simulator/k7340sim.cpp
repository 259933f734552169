/*
 * k7340sim.cpp - serves the simulated 7340 supply on a pseudo-terminal.
 *
 * The program creates a pty, holds its slave end open itself (so the master never sees a
 * hang-up while no client has the port open), points a symbolic link at the slave's name and
 * answers command frames through supply_model until SIGTERM or SIGINT, then removes the link.
 * Replies are written the moment the model releases them: at once, or, with --wire, when their
 * last byte would have arrived on a 57600 baud line (absolute-time sleep plus a short spin).
 * This file holds the serve loop, the EEPROM file, the log output, the control FIFO and main;
 * the options are in sim_options.cpp, the pseudo-terminal in sim_pty.cpp.
 */
#include "k7340sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

static const int64_t TICK_US = 10000;        // physics and watchdog advance at least this often
static const int64_t SPIN_US = 120;          // final stretch before a wire release is spun
static const int64_t WIRE_WAIT_US = 2000;    // a wire release this close is waited for, no poll
static const int64_t MASTER_REST_US = 20000; // pause after EIO/hang-up on the master
static const int PATH_MAX_TEXT = 4096;

SupplyModel g_model;
SimPaths g_paths = {nullptr, nullptr, nullptr};
volatile sig_atomic_t g_stop = 0;

static int g_control = -1;
static int g_controlWriter = -1; // keeps the FIFO from reporting EOF while no one writes
static char g_controlLine[512];
static int g_controlLength = 0;
static int64_t g_startUs = 0;
static int64_t g_masterRestUntil = 0;
static int g_savedWrites = 0;

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

static void OnSignal(int) {
    g_stop = 1;
}

// ---- EEPROM file ----

static bool LoadEepromFile(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    unsigned char bytes[SUPPLY_EEPROM_SIZE + 1];
    const size_t n = fread(bytes, 1, sizeof bytes, f);
    fclose(f);
    if (n != SUPPLY_EEPROM_SIZE) {
        fprintf(stderr, "k7340sim: %s does not hold 128 bytes; using the preset\n", path);
        return false;
    }
    SupplyLoadEeprom(&g_model, bytes);
    return true;
}

static void SaveEepromFile(const char *path) {
    char temp[PATH_MAX_TEXT];
    snprintf(temp, sizeof temp, "%s.new%d", path, static_cast<int>(getpid()));
    FILE *f = fopen(temp, "wb");
    if (f == nullptr) {
        fprintf(stderr, "k7340sim: cannot write %s: %s\n", temp, strerror(errno));
        return;
    }
    const size_t n = fwrite(SupplyEeprom(&g_model), 1, SUPPLY_EEPROM_SIZE, f);
    if (fclose(f) != 0 || n != SUPPLY_EEPROM_SIZE || rename(temp, path) != 0) {
        fprintf(stderr, "k7340sim: cannot write %s\n", path);
        unlink(temp);
    }
}

// Saves the EEPROM file before the reply to a write goes out, so a client that has the reply
// finds the file up to date.
static void SaveEepromIfWritten() {
    if (g_paths.eepromFile != nullptr && g_model.eepromWrites != g_savedWrites) {
        g_savedWrites = g_model.eepromWrites;
        SaveEepromFile(g_paths.eepromFile);
    }
}

// ---- log ----

void PrintLine(int64_t timeUs, const char *text) {
    if (!g_model.config.log)
        return;
    const int64_t t = timeUs - g_startUs;
    printf("%lld.%06lld %s\n", static_cast<long long>(t / 1000000),
           static_cast<long long>(t % 1000000), text);
    fflush(stdout);
}

static void PrintModelLog(int64_t nowUs) {
    char text[SUPPLY_LOG_TEXT];
    int64_t at;
    while (SupplyTakeLog(&g_model, text, sizeof text, &at, nowUs))
        PrintLine(at, text);
}

// ---- the line ----

static void WriteReleased(int64_t nowUs) {
    unsigned char buf[SUPPLY_OUT_MAX];
    const int n = SupplyTakeOutput(&g_model, buf, sizeof buf, nowUs);
    if (n <= 0 || PtyMaster() < 0)
        return;
    const ssize_t done = write(PtyMaster(), buf, n);
    if (done != n) {
        char text[96];
        snprintf(text, sizeof text, "! %d reply bytes lost writing to the pty",
                 n - static_cast<int>(done));
        PrintLine(nowUs, text);
    }
}

static void ReadMaster() {
    unsigned char buf[256];
    for (;;) {
        const ssize_t n = read(PtyMaster(), buf, sizeof buf);
        if (n > 0) {
            const int64_t now = NowUs();
            SupplyReceive(&g_model, buf, static_cast<int>(n), now);
            SaveEepromIfWritten();
            WriteReleased(now); // answer without waiting for the next loop pass
            PrintModelLog(now); // before the model's bounded log overflows in a fast run
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            g_masterRestUntil = NowUs() + MASTER_REST_US; // EIO: no slave open; do not spin
        return;
    }
}

// ---- the control FIFO ----

static void ReadControl(int64_t nowUs) {
    for (;;) {
        char c;
        if (read(g_control, &c, 1) <= 0)
            return;
        if (c == '\n') {
            g_controlLine[g_controlLength] = '\0';
            g_controlLength = 0;
            RunControl(g_controlLine, nowUs);
        } else if (g_controlLength < static_cast<int>(sizeof g_controlLine) - 1) {
            g_controlLine[g_controlLength++] = c;
        }
    }
}

static int OpenControl() {
    struct stat st;
    if (stat(g_paths.control, &st) == 0 && !S_ISFIFO(st.st_mode)) {
        fprintf(stderr, "k7340sim: %s exists and is not a FIFO\n", g_paths.control);
        return -1;
    }
    if (stat(g_paths.control, &st) != 0 && mkfifo(g_paths.control, 0600) != 0) {
        fprintf(stderr, "k7340sim: mkfifo %s: %s\n", g_paths.control, strerror(errno));
        return -1;
    }
    g_control = open(g_paths.control, O_RDONLY | O_NONBLOCK);
    g_controlWriter = open(g_paths.control, O_WRONLY | O_NONBLOCK);
    if (g_control < 0 || g_controlWriter < 0) {
        fprintf(stderr, "k7340sim: open %s: %s\n", g_paths.control, strerror(errno));
        return -1;
    }
    return 0;
}

// ---- serving ----

// Sleeps to an absolute release time: clock_nanosleep to just before it, then spins.
static void WaitUntil(int64_t targetUs) {
    const int64_t sleepTo = targetUs - SPIN_US;
    if (NowUs() < sleepTo) {
        timespec ts;
        ts.tv_sec = sleepTo / 1000000;
        ts.tv_nsec = (sleepTo % 1000000) * 1000;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (NowUs() < targetUs && !g_stop) {
    }
}

// How long the loop may wait for input before it has something to do itself.
static int64_t WaitBudget(int64_t now, int64_t next) {
    int64_t wait = TICK_US;
    if (next >= 0 && next - now < wait) {
        wait = next - now;
        if (g_model.config.wire) // wake early enough to wait for it precisely
            wait -= WIRE_WAIT_US / 2;
    }
    const int64_t reopen = PtyReopenDueUs();
    if (reopen >= 0 && reopen - now < wait)
        wait = reopen - now;
    return wait;
}

// Waits up to wait microseconds for the master or the control FIFO and serves what came.
static void PollInput(int64_t now, int64_t wait) {
    pollfd fds[2];
    int nfds = 0;
    int masterSlot = -1, controlSlot = -1;
    if (PtyMaster() >= 0 && now >= g_masterRestUntil) {
        masterSlot = nfds;
        fds[nfds++] = {PtyMaster(), POLLIN, 0};
    }
    if (g_control >= 0) {
        controlSlot = nfds;
        fds[nfds++] = {g_control, POLLIN, 0};
    }
    timespec ts;
    ts.tv_sec = wait / 1000000;
    ts.tv_nsec = (wait % 1000000) * 1000;
    if (ppoll(fds, nfds, &ts, nullptr) <= 0)
        return;
    if (masterSlot >= 0 && fds[masterSlot].revents != 0) {
        if (fds[masterSlot].revents & POLLIN)
            ReadMaster();
        else
            g_masterRestUntil = NowUs() + MASTER_REST_US; // hang-up: rest, do not spin
    }
    if (controlSlot >= 0 && (fds[controlSlot].revents & POLLIN))
        ReadControl(NowUs());
}

static void Serve() {
    while (!g_stop) {
        const int64_t now = NowUs();
        SupplyAdvance(&g_model, now);
        WriteReleased(now);
        PrintModelLog(now);
        SaveEepromIfWritten();
        if (PtyReopenIfDue(now))
            continue;
        const int64_t next = SupplyNextOutputUs(&g_model);
        const int64_t wait = WaitBudget(now, next);
        if (next >= 0 && g_model.config.wire && next - now <= WIRE_WAIT_US) {
            WaitUntil(next); // the host is waiting for this reply: be on time
            continue;
        }
        if (wait > 0)
            PollInput(now, wait);
    }
}

int main(int argc, char **argv) {
    SupplyConfig config;
    SupplyFaults faults;
    const int parsed = ParseArguments(argc, argv, &config, &faults);
    if (parsed > 0) {
        PrintUsage();
        return 0;
    }
    if (parsed < 0)
        return 2;
    SupplyInit(&g_model, &config);
    *SupplyFaultsOf(&g_model) = faults;
    if (g_paths.eepromFile != nullptr && !LoadEepromFile(g_paths.eepromFile))
        SaveEepromFile(g_paths.eepromFile); // so the preset can be inspected too

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal; // no SA_RESTART: waits end at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_TIMERSLACK, 1UL); // wake-ups on time, not up to 50 us late

    if (PtyLinkIsLive(g_paths.link)) {
        fprintf(stderr,
                "k7340sim: %s is served by a running simulator: stop it or give another"
                " --link\n",
                g_paths.link);
        return 1;
    }
    if (PtyCreate() != 0)
        return 1;
    if (g_paths.control != nullptr && OpenControl() != 0)
        return 1;
    g_startUs = NowUs();
    if (PtyPointLink() != 0)
        return 1;
    fprintf(stderr, "k7340sim: serving %s at %s\n", PtySlaveName(), g_paths.link);
    char text[PATH_MAX_TEXT + 64];
    snprintf(text, sizeof text, "# serving %s at %s", PtySlaveName(), g_paths.link);
    PrintLine(g_startUs, text);

    Serve();

    unlink(g_paths.link);
    if (g_control >= 0) {
        close(g_control);
        close(g_controlWriter);
        unlink(g_paths.control);
    }
    PtyClose();
    PrintLine(NowUs(), "# stopped");
    return 0;
}
