/*
 * k7340sim.cpp - serves the simulated 7340 supply on a pseudo-terminal.
 *
 * The program creates a pty, holds its slave end open itself (so the master never sees a
 * hang-up while no client has the port open), points a symbolic link at the slave's name and
 * answers command frames through supply_model until SIGTERM or SIGINT, then removes the link.
 * Replies are written the moment the model releases them: at once, or, with --wire, when their
 * last byte would have arrived on a 57600 baud line (absolute-time sleep plus a short spin).
 * This file holds the one running simulator (SimContext, passed by pointer), the serve loop and
 * the stop, the hang-up, the log output, the control FIFO and main; the options are in
 * sim_options.cpp, the EEPROM file in sim_eeprom_file.cpp, the pseudo-terminal in sim_pty.cpp.
 */
#include "k7340sim.h"

#include <cerrno>
#include <csignal>
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
static const int64_t HANGUP_US = 200000;     // adapter pulled: time until the new pty appears
static const int64_t US_PER_S = 1000000;
static const int64_t NS_PER_US = 1000;

enum {
    CONTROL_LINE_MAX = 512,       // a control line beyond this is cut
    NOTE_MAX = SIM_PATH_MAX + 64, // one of the simulator's own log lines
    MASTER_CHUNK = 256,           // bytes taken from the pty in one read
};

// The one running simulator.
struct SimContext {
    SupplyModel model;
    SimPaths paths;
    SimPty pty;
    int control;       // the control FIFO, or -1
    int controlWriter; // keeps the FIFO from reporting EOF while no one writes
    bool controlReady; // the control path is a FIFO of ours: removed at the end
    char controlLine[CONTROL_LINE_MAX];
    int controlLength;
    int64_t startUs;
    int64_t masterRestUntil;
    int64_t reopenAt; // after a hang-up: when to create the new pty, else -1
    int savedWrites;
};

// Set by SIGTERM and SIGINT, by the control word quit and when a new pty cannot be made.
static volatile sig_atomic_t g_stop = 0;

static int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * US_PER_S + ts.tv_nsec / NS_PER_US;
}

static void OnSignal(int) {
    g_stop = 1;
}

// ---- the EEPROM file ----

// Saves the EEPROM file before the reply to a write goes out, so a client that has the reply
// finds the file up to date.
static void SaveEepromIfWritten(SimContext *ctx) {
    if (ctx->paths.eepromFile != nullptr && ctx->model.eepromWrites != ctx->savedWrites) {
        ctx->savedWrites = ctx->model.eepromWrites;
        EepromFileSave(&ctx->model, ctx->paths.eepromFile);
    }
}

// ---- log ----

// One line of the traffic log on standard output (while --log is on).
static void PrintLine(const SimContext *ctx, int64_t timeUs, const char *text) {
    if (!ctx->model.config.log)
        return;
    const int64_t t = timeUs - ctx->startUs;
    printf("%lld.%06lld %s\n", static_cast<long long>(t / US_PER_S),
           static_cast<long long>(t % US_PER_S), text);
    fflush(stdout);
}

static void PrintModelLog(SimContext *ctx, int64_t nowUs) {
    char text[SUPPLY_LOG_TEXT];
    int64_t at;
    while (SupplyTakeLog(&ctx->model, text, sizeof text, &at, nowUs))
        PrintLine(ctx, at, text);
}

// ---- the line ----

static void WriteReleased(SimContext *ctx, int64_t nowUs) {
    unsigned char buf[SUPPLY_OUT_MAX];
    const int n = SupplyTakeOutput(&ctx->model, buf, sizeof buf, nowUs);
    if (n <= 0 || ctx->pty.master < 0)
        return;
    const ssize_t done = write(ctx->pty.master, buf, n);
    if (done != n) {
        char text[NOTE_MAX];
        snprintf(text, sizeof text, "! %d reply bytes lost writing to the pty",
                 n - static_cast<int>(done));
        PrintLine(ctx, nowUs, text);
    }
}

static void ReadMaster(SimContext *ctx) {
    unsigned char buf[MASTER_CHUNK];
    for (;;) {
        const ssize_t n = read(ctx->pty.master, buf, sizeof buf);
        if (n > 0) {
            const int64_t now = NowUs();
            SupplyReceive(&ctx->model, buf, static_cast<int>(n), now);
            SaveEepromIfWritten(ctx);
            WriteReleased(ctx, now); // answer without waiting for the next loop pass
            PrintModelLog(ctx, now); // before the model's bounded log overflows in a fast run
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            ctx->masterRestUntil = NowUs() + MASTER_REST_US; // EIO: no slave open; do not spin
        return;
    }
}

// ---- the hang-up (a pulled adapter) ----

// Closes the pty, removes the link and drops queued replies; false when already hung up.
static bool Hangup(SimContext *ctx, int64_t nowUs) {
    if (ctx->pty.master < 0)
        return false;
    PtyClose(&ctx->pty);
    unlink(ctx->paths.link);
    unsigned char drop[SUPPLY_OUT_MAX];
    while (SupplyTakeOutput(&ctx->model, drop, sizeof drop, INT64_MAX) > 0) {
    }
    ctx->reopenAt = nowUs + HANGUP_US;
    PrintLine(ctx, nowUs, "# hang-up: pty closed, link removed");
    return true;
}

// After a hang-up: makes the new pty once its time has come; true when it did (or failed, which
// stops the simulator).
static bool ReopenIfDue(SimContext *ctx, int64_t nowUs) {
    if (ctx->reopenAt < 0 || nowUs < ctx->reopenAt)
        return false;
    ctx->reopenAt = -1;
    if (PtyCreate(&ctx->pty) != 0 || PtyPointLink(&ctx->pty, ctx->paths.link) != 0) {
        g_stop = 1;
        return true;
    }
    char text[NOTE_MAX];
    snprintf(text, sizeof text, "# new pty %s at %s", ctx->pty.slaveName, ctx->paths.link);
    PrintLine(ctx, nowUs, text);
    return true;
}

// ---- the control FIFO ----

// Runs one line: a setting through the option table, the actions here.
static void RunControl(SimContext *ctx, char *line, int64_t nowUs) {
    const char *word;
    const char *arg;
    const ControlOutcome outcome =
        ApplyControl(line, SupplyConfigOf(&ctx->model), SupplyFaultsOf(&ctx->model), &word, &arg);
    if (outcome == CONTROL_EMPTY)
        return;
    bool ok = outcome != CONTROL_REFUSED;
    if (outcome == CONTROL_HANGUP)
        ok = Hangup(ctx, nowUs);
    else if (outcome == CONTROL_QUIT)
        g_stop = 1;
    char text[NOTE_MAX];
    snprintf(text, sizeof text, "# control: %s%s%s%s", word, arg ? " " : "", arg ? arg : "",
             ok ? "" : " (not understood)");
    PrintLine(ctx, nowUs, text);
    if (!ok)
        fprintf(stderr, "k7340sim: control command not understood: %s\n", word);
}

static void ReadControl(SimContext *ctx, int64_t nowUs) {
    for (;;) {
        char c;
        if (read(ctx->control, &c, 1) <= 0)
            return;
        if (c == '\n') {
            ctx->controlLine[ctx->controlLength] = '\0';
            ctx->controlLength = 0;
            RunControl(ctx, ctx->controlLine, nowUs);
        } else if (ctx->controlLength < static_cast<int>(sizeof ctx->controlLine) - 1) {
            ctx->controlLine[ctx->controlLength++] = c;
        }
    }
}

static int OpenControl(SimContext *ctx) {
    const char *path = ctx->paths.control;
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISFIFO(st.st_mode)) {
        fprintf(stderr, "k7340sim: %s exists and is not a FIFO\n", path);
        return -1;
    }
    if (stat(path, &st) != 0 && mkfifo(path, S_IRUSR | S_IWUSR) != 0) {
        fprintf(stderr, "k7340sim: mkfifo %s: %s\n", path, strerror(errno));
        return -1;
    }
    ctx->controlReady = true;
    ctx->control = open(path, O_RDONLY | O_NONBLOCK);
    ctx->controlWriter = open(path, O_WRONLY | O_NONBLOCK);
    if (ctx->control < 0 || ctx->controlWriter < 0) {
        fprintf(stderr, "k7340sim: open %s: %s\n", path, strerror(errno));
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
        ts.tv_sec = sleepTo / US_PER_S;
        ts.tv_nsec = (sleepTo % US_PER_S) * NS_PER_US;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (NowUs() < targetUs && !g_stop) {
    }
}

// How long the loop may wait for input before it has something to do itself.
static int64_t WaitBudget(const SimContext *ctx, int64_t now, int64_t next) {
    int64_t wait = TICK_US;
    if (next >= 0 && next - now < wait) {
        wait = next - now;
        if (ctx->model.config.wire) // wake early enough to wait for it precisely
            wait -= WIRE_WAIT_US / 2;
    }
    if (ctx->reopenAt >= 0 && ctx->reopenAt - now < wait)
        wait = ctx->reopenAt - now;
    return wait;
}

// Waits up to wait microseconds for the master or the control FIFO and serves what came.
static void PollInput(SimContext *ctx, int64_t now, int64_t wait) {
    pollfd fds[2];
    int nfds = 0;
    int masterSlot = -1, controlSlot = -1;
    if (ctx->pty.master >= 0 && now >= ctx->masterRestUntil) {
        masterSlot = nfds;
        fds[nfds++] = {ctx->pty.master, POLLIN, 0};
    }
    if (ctx->control >= 0) {
        controlSlot = nfds;
        fds[nfds++] = {ctx->control, POLLIN, 0};
    }
    timespec ts;
    ts.tv_sec = wait / US_PER_S;
    ts.tv_nsec = (wait % US_PER_S) * NS_PER_US;
    if (ppoll(fds, nfds, &ts, nullptr) <= 0)
        return;
    if (masterSlot >= 0 && fds[masterSlot].revents != 0) {
        if (fds[masterSlot].revents & POLLIN)
            ReadMaster(ctx);
        else
            ctx->masterRestUntil = NowUs() + MASTER_REST_US; // hang-up: rest, do not spin
    }
    if (controlSlot >= 0 && (fds[controlSlot].revents & POLLIN))
        ReadControl(ctx, NowUs());
}

static void Serve(SimContext *ctx) {
    while (!g_stop) {
        const int64_t now = NowUs();
        SupplyAdvance(&ctx->model, now);
        WriteReleased(ctx, now);
        PrintModelLog(ctx, now);
        SaveEepromIfWritten(ctx);
        if (ReopenIfDue(ctx, now))
            continue;
        const int64_t next = SupplyNextOutputUs(&ctx->model);
        const int64_t wait = WaitBudget(ctx, now, next);
        if (next >= 0 && ctx->model.config.wire && next - now <= WIRE_WAIT_US) {
            WaitUntil(next); // the host is waiting for this reply: be on time
            continue;
        }
        if (wait > 0)
            PollInput(ctx, now, wait);
    }
}

// Loads the EEPROM, takes the signals, makes the pty, the control FIFO and the link: 0, or 1
// after an error message (whatever was made by then is left for CloseAll).
static int Start(SimContext *ctx) {
    if (ctx->paths.eepromFile != nullptr) {
        const int loaded = EepromFileLoad(&ctx->model, ctx->paths.eepromFile);
        if (loaded < 0)
            return 1;
        if (loaded == 0)
            EepromFileSave(&ctx->model, ctx->paths.eepromFile); // the preset can be inspected
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal; // no SA_RESTART: waits end at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_TIMERSLACK, 1UL); // wake-ups on time, not up to 50 us late

    const char *link = ctx->paths.link;
    if (PtyLinkIsLive(link)) {
        fprintf(stderr,
                "k7340sim: %s is served by a running simulator: stop it or give another"
                " --link\n",
                link);
        return 1;
    }
    if (PtyCreate(&ctx->pty) != 0)
        return 1;
    if (ctx->paths.control != nullptr && OpenControl(ctx) != 0)
        return 1;
    ctx->startUs = NowUs();
    return PtyPointLink(&ctx->pty, link) != 0 ? 1 : 0;
}

// Closes what Start opened and removes the control FIFO it made ready, whichever step it
// reached: every way out of Run passes here.
static void CloseAll(SimContext *ctx) {
    if (ctx->control >= 0)
        close(ctx->control);
    if (ctx->controlWriter >= 0)
        close(ctx->controlWriter);
    if (ctx->controlReady)
        unlink(ctx->paths.control);
    PtyClose(&ctx->pty);
}

// Starts the simulator described by settings; the exit status after it stops.
static int Run(SimContext *ctx, const SimSettings *settings) {
    SupplyInit(&ctx->model, &settings->config);
    *SupplyFaultsOf(&ctx->model) = settings->faults;
    ctx->paths = settings->paths;
    ctx->pty = {-1, -1, ""};
    ctx->control = -1;
    ctx->controlWriter = -1;
    ctx->controlReady = false;
    ctx->reopenAt = -1;
    if (Start(ctx) != 0) {
        CloseAll(ctx);
        return 1;
    }
    const char *link = ctx->paths.link;
    fprintf(stderr, "k7340sim: serving %s at %s\n", ctx->pty.slaveName, link);
    char text[NOTE_MAX];
    snprintf(text, sizeof text, "# serving %s at %s", ctx->pty.slaveName, link);
    PrintLine(ctx, ctx->startUs, text);

    Serve(ctx);

    unlink(link);
    CloseAll(ctx);
    PrintLine(ctx, NowUs(), "# stopped");
    return 0;
}

int main(int argc, char **argv) {
    SimSettings settings = {};
    const int parsed = ParseArguments(argc, argv, &settings);
    if (parsed > 0) {
        PrintUsage();
        return 0;
    }
    if (parsed < 0)
        return 2;
    static SimContext context; // static: the model's queues and log are large for a stack
    return Run(&context, &settings);
}
