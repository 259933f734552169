// k7340_bench: how long the library's calls take against k7340sim on a pseudo-terminal, with
// and without wire emulation at 57600 baud, next to the wire's own time and to the same open
// sequence written with pyserial. A benchmark, not a test: it reports, it asserts nothing.
//
//   k7340_bench [--runs N] [--sim PATH] [--python PATH] [--peer PATH | --no-peer]
#include "sim_process.h"
#include "k7340.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

static const double BYTE_MS = 10.0 * 1000.0 / 57600.0; // 10 bits a byte at 57600 baud
static const int MAX_RUNS = 2000;
static const double OPEN_WIRE_BYTES = 128 * 8;           // 4-byte command, 4-byte reply
static const double EXCHANGE_WIRE_BYTES = 3 + 5;         // firmware query and its reply
static const double POLL_WIRE_BYTES = 3 * 8 + 9 + 7 + 6; // meters, setpoint, fault pair
static const double SET_RANGES_WIRE_BYTES = 6 * (5 + 3);
static const double SET_RANGES_PAUSE_MS = 6 * 100.0;

struct Options {
    int runs = 50;
    const char *sim = K7340SIM_PATH;
    const char *python = "/usr/bin/python3";
    const char *peer = K7340_BENCH_PEER;
};

static Options g_options;
static double g_samples[MAX_RUNS];
static SimProcess g_sim; // the simulator of the scenario being run

static double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1.0e6;
}

static double Median(double *values, int count) {
    std::sort(values, values + count);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2.0;
}

static void Report(const char *what, double *samples, int count, double wireMs) {
    const double median = Median(samples, count);
    printf("  %-34s %10.3f ms  (min %.3f, max %.3f, %d runs)", what, median, samples[0],
           samples[count - 1], count);
    if (wireMs > 0)
        printf("  wire %.3f ms, ratio %.3f", wireMs, median / wireMs);
    printf("\n");
}

// Each measurement: the median of runs of one call sequence; -1 if a call failed.
enum Sequence { SEQ_OPEN, SEQ_EXCHANGE, SEQ_POLL, SEQ_SET_RANGES };

static int RunOnce(Sequence sequence, double *ms) {
    int code = 0;
    double value;
    int flags;
    const double start = NowMs();
    switch (sequence) {
    case SEQ_OPEN:
        code = K7340_OpenDevice(0, 0);
        *ms = NowMs() - start;
        K7340_CloseDevice(0);
        return code;
    case SEQ_EXCHANGE:
        code = K7340_GetFwVersion(0, &flags);
        break;
    case SEQ_POLL:
        for (int channel = 0; channel < 3 && code == 0; channel++)
            code = K7340_ReadMeter(0, channel, &value);
        if (code == 0)
            code = K7340_SetVoltage(0, 1000.5);
        if (code == 0)
            code = K7340_GetStatusFlags(0, &flags);
        if (code == 0)
            code = K7340_GetFaultFlags(0, &flags);
        break;
    case SEQ_SET_RANGES:
        code = K7340_SetRanges(0, 50000, 200);
        break;
    }
    *ms = NowMs() - start;
    return code;
}

static double Measure(const char *what, Sequence sequence, int runs, double wireMs,
                      int expectedCode = 0) {
    if (sequence != SEQ_OPEN && K7340_OpenDevice(0, 0) != 0) {
        fprintf(stderr, "k7340_bench: open failed before \"%s\"\n", what);
        return -1;
    }
    int n = 0;
    for (int i = 0; i < runs && i < MAX_RUNS; i++) {
        const int code = RunOnce(sequence, &g_samples[n]);
        if (code != expectedCode) {
            fprintf(stderr, "k7340_bench: %s returned %d (%s)\n", what, code,
                    K7340_GetErrString(code));
            K7340_CloseDevice(0);
            return -1;
        }
        n++;
    }
    if (sequence != SEQ_OPEN)
        K7340_CloseDevice(0);
    const double median = Median(g_samples, n);
    Report(what, g_samples, n, wireMs);
    return median;
}

// One batch of pyserial opens appended to samples at *n; 0 or -1.
static int RunPeer(int runs, double *samples, int *n) {
    char command[1024];
    snprintf(command, sizeof command, "'%s' '%s' '%s' %d", g_options.python, g_options.peer,
             g_sim.link, runs);
    FILE *peer = popen(command, "r");
    if (peer == nullptr)
        return -1;
    int got = 0;
    while (got < runs && *n < MAX_RUNS && fscanf(peer, "%lf", &samples[*n]) == 1) {
        got++;
        (*n)++;
    }
    const int status = pclose(peer);
    return got == runs && status == 0 ? 0 : -1;
}

// Ours and the pyserial peer in alternating batches, so that a busy machine slows both alike.
static int ComparePeer(int runs) {
    static double ours[MAX_RUNS], peer[MAX_RUNS];
    const int rounds = 5;
    const int batch = runs / rounds > 0 ? runs / rounds : 1;
    int nOurs = 0, nPeer = 0;
    for (int round = 0; round < rounds; round++) {
        for (int i = 0; i < batch; i++) {
            if (RunOnce(SEQ_OPEN, &ours[nOurs]) != 0)
                return -1;
            nOurs++;
        }
        if (RunPeer(batch, peer, &nPeer) != 0) {
            fprintf(stderr, "k7340_bench: the pyserial peer failed\n");
            return -1;
        }
    }
    const double oursMedian = Median(ours, nOurs);
    const double peerMedian = Median(peer, nPeer);
    Report("open, ours (alternating with peer)", ours, nOurs, 0);
    Report("open, pyserial peer", peer, nPeer, 0);
    printf("  %-34s %10.2f\n", "peer / ours (open)", peerMedian / oursMedian);
    return 0;
}

// One pass over every figure with the simulator started with the given options.
static int RunScenario(const char *title, const char *const *simOptions, bool wire) {
    if (StartSimProgram(&g_sim, g_options.sim, simOptions, true) != 0)
        return -1;
    printf("%s\n", title);
    const int runs = g_options.runs;
    const double openWire = wire ? OPEN_WIRE_BYTES * BYTE_MS : 0;
    int failed = 0;
    const double open = Measure("open (128 exchanges)", SEQ_OPEN, runs, openWire);
    failed |= open < 0;
    failed |= Measure("one exchange (firmware query)", SEQ_EXCHANGE, runs * 10,
                      wire ? EXCHANGE_WIRE_BYTES * BYTE_MS : 0) < 0;
    failed |= Measure("panel poll (6 exchanges)", SEQ_POLL, runs,
                      wire ? POLL_WIRE_BYTES * BYTE_MS : 0) < 0;
    const double setRanges = Measure("K7340_SetRanges (6 writes)", SEQ_SET_RANGES, 5, 0);
    failed |= setRanges < 0;
    // The replies to the writes travel during the 100 ms pauses: only the command frames'
    // wire time adds to them.
    if (setRanges >= 0)
        printf("  %-34s %10.3f ms  (wire time of all its frames %.3f ms)\n",
               "SetRanges beyond its 600 ms pauses", setRanges - SET_RANGES_PAUSE_MS,
               wire ? SET_RANGES_WIRE_BYTES * BYTE_MS : 0.0);
    if (!failed && K7340_OpenDevice(0, 0) == 0 && SimControl(&g_sim, "silent on") == 0) {
        int n = 0;
        for (int i = 0; i < 10; i++) {
            const int code = RunOnce(SEQ_EXCHANGE, &g_samples[n]);
            if (code != K7340_ERR_READ) {
                fprintf(stderr, "k7340_bench: silent exchange returned %d\n", code);
                failed = 1;
                break;
            }
            n++;
        }
        if (n == 10)
            Report("one exchange, silent supply", g_samples, n, 0);
        SimControl(&g_sim, "silent off");
    }
    K7340_CloseDevice(0);
    if (!failed && g_options.peer != nullptr)
        failed |= ComparePeer(runs) != 0;
    StopSim(&g_sim);
    CleanupSim(&g_sim);
    if (!failed && wire)
        printf("  target: open within 1.10 x wire time: %s (%.3f)\n",
               open / openWire <= 1.10 ? "met" : "MISSED", open / openWire);
    if (!failed && !wire)
        printf("  target: open under 10 ms: %s (%.3f ms)\n", open < 10.0 ? "met" : "MISSED", open);
    printf("\n");
    return failed ? -1 : 0;
}

// A USB serial adapter whose latency timer (16 ms on common chips) holds short replies: what it
// costs an open and a panel poll when the driver cannot be asked for low latency.
static int RunUsbLatency() {
    const char *const options[] = {"--slew", "0", "--wire", "--usb-latency", "16", nullptr};
    if (StartSimProgram(&g_sim, g_options.sim, options, true) != 0)
        return -1;
    printf("with wire emulation behind a 16 ms USB latency timer (--usb-latency 16)\n");
    const int runs = g_options.runs < 3 ? g_options.runs : 3;
    int failed = Measure("open (128 exchanges)", SEQ_OPEN, runs, 0) < 0;
    failed |= Measure("panel poll (6 exchanges)", SEQ_POLL, runs * 3, 0) < 0;
    K7340_CloseDevice(0);
    StopSim(&g_sim);
    CleanupSim(&g_sim);
    printf("\n");
    return failed ? -1 : 0;
}

static int ParseOptions(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--runs") == 0 && hasValue) {
            g_options.runs = atoi(argv[++i]);
            if (g_options.runs < 1 || g_options.runs > MAX_RUNS / 10)
                return -1;
        } else if (strcmp(argv[i], "--sim") == 0 && hasValue) {
            g_options.sim = argv[++i];
        } else if (strcmp(argv[i], "--python") == 0 && hasValue) {
            g_options.python = argv[++i];
        } else if (strcmp(argv[i], "--peer") == 0 && hasValue) {
            g_options.peer = argv[++i];
        } else if (strcmp(argv[i], "--no-peer") == 0) {
            g_options.peer = nullptr;
        } else {
            return -1;
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    if (ParseOptions(argc, argv) != 0) {
        fprintf(stderr,
                "usage: k7340_bench [--runs N (1..%d)] [--sim PATH] [--python PATH] "
                "[--peer PATH | --no-peer]\n",
                MAX_RUNS / 10);
        return 2;
    }
    printf("k7340_bench: medians over %d runs (exchanges: %d), k7340sim %s\n\n", g_options.runs,
           g_options.runs * 10, g_options.sim);
    const char *const plain[] = {"--slew", "0", nullptr};
    const char *const wire[] = {"--slew", "0", "--wire", nullptr};
    int failed = 0;
    failed |= RunScenario("without wire emulation", plain, false) != 0;
    failed |= RunScenario("with wire emulation at 57600 baud", wire, true) != 0;
    failed |= RunUsbLatency() != 0;
    if (failed) {
        printf("k7340_bench: FAILED (a call or the peer failed, see above)\n");
        return 1;
    }
    printf("k7340_bench: done\n");
    return 0;
}
