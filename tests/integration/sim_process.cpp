// sim_process.cpp - starts, controls and stops k7340sim for the integration tests.
#include "sim_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef K7340SIM_PATH
#error "K7340SIM_PATH must name the k7340sim binary"
#endif

namespace {

// Bounds that only catch a hang; a healthy simulator is up in milliseconds.
const int kStartTimeoutMs = 10000;
const int kControlTimeoutMs = 5000;
const int kStopTimeoutMs = 10000;
const int kMaxArgs = 64;
const int kQuietControlMs = 50; // ample for a simulator that polls its FIFO every 10 ms

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string ReadFile(const char *path) {
    std::string text;
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        return text;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
    }
    fclose(f);
    return text;
}

size_t CountOf(const std::string &text, const char *what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        count++;
    }
    return count;
}

bool Exited(SimProcess *sim, int *status) {
    if (sim->pid <= 0) {
        return true;
    }
    pid_t done = waitpid(sim->pid, status, WNOHANG);
    if (done == sim->pid || (done < 0 && errno == ECHILD)) {
        sim->pid = 0;
        return true;
    }
    return false;
}

} // namespace

int StartSimProgram(SimProcess *sim, const char *program, const char *const *options, bool quiet) {
    memset(sim, 0, sizeof *sim);
    const char *tmp = getenv("TMPDIR");
    snprintf(sim->dir, sizeof sim->dir, "%s/k7340sim-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (mkdtemp(sim->dir) == nullptr) {
        fprintf(stderr, "StartSim: mkdtemp %s: %s\n", sim->dir, strerror(errno));
        return -1;
    }
    snprintf(sim->link, sizeof sim->link, "%s/com1", sim->dir);
    snprintf(sim->logPath, sizeof sim->logPath, "%s/sim.log", sim->dir);
    snprintf(sim->stderrPath, sizeof sim->stderrPath, "%s/sim.stderr", sim->dir);
    snprintf(sim->controlPath, sizeof sim->controlPath, "%s/control", sim->dir);
    snprintf(sim->eepromPath, sizeof sim->eepromPath, "%s/eeprom.bin", sim->dir);

    const char *argv[kMaxArgs];
    int argc = 0;
    argv[argc++] = program;
    argv[argc++] = "--link";
    argv[argc++] = sim->link;
    argv[argc++] = "--control";
    argv[argc++] = sim->controlPath;
    if (!quiet) {
        for (const char *a :
             {"--log", "--eeprom-file", static_cast<const char *>(sim->eepromPath)}) {
            argv[argc++] = a;
        }
    }
    sim->quiet = quiet;
    for (int i = 0; options != nullptr && options[i] != nullptr && argc < kMaxArgs - 1; i++) {
        argv[argc++] = options[i];
    }
    argv[argc] = nullptr;

    int out = open(sim->logPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(sim->stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) {
        fprintf(stderr, "StartSim: cannot create files in %s\n", sim->dir);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(program, const_cast<char *const *>(argv));
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    if (pid < 0) {
        fprintf(stderr, "StartSim: fork: %s\n", strerror(errno));
        return -1;
    }
    sim->pid = pid;
    if (WaitForSimLink(sim, kStartTimeoutMs) != 0) {
        fprintf(stderr, "StartSim: k7340sim did not come up: %s\n",
                ReadFile(sim->stderrPath).c_str());
        StopSim(sim);
        return -1;
    }
    setenv("K7340_COM1", sim->link, 1);
    return 0;
}

int StartSim(SimProcess *sim, std::initializer_list<const char *> options) {
    const char *list[kMaxArgs];
    int n = 0;
    for (const char *a : options) {
        if (n < kMaxArgs - 1) {
            list[n++] = a;
        }
    }
    list[n] = nullptr;
    return StartSimProgram(sim, K7340SIM_PATH, list, false);
}

int WaitForSimLink(const SimProcess *sim, int timeoutMs) {
    int64_t deadline = NowMs() + timeoutMs;
    struct stat st;
    while (lstat(sim->link, &st) != 0 || !S_ISLNK(st.st_mode)) {
        siginfo_t info;
        info.si_pid = 0; // an exited child is left to StopSim to reap
        if (sim->pid <= 0 || NowMs() > deadline ||
            waitid(P_PID, sim->pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
            return -1;
        }
        SleepMs(2);
    }
    return 0;
}

int SimControl(const SimProcess *sim, const char *command) {
    size_t before = CountOf(SimLog(sim), "# control: ");
    int fd = open(sim->controlPath, O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    char line[256];
    int n = snprintf(line, sizeof line, "%s\n", command);
    bool written = write(fd, line, n) == n;
    close(fd);
    if (!written) {
        return -1;
    }
    if (sim->quiet) {
        SleepMs(kQuietControlMs); // no log to see it taken in
        return 0;
    }
    int64_t deadline = NowMs() + kControlTimeoutMs;
    while (CountOf(SimLog(sim), "# control: ") <= before) {
        if (NowMs() > deadline) {
            return -1;
        }
        SleepMs(2);
    }
    return 0;
}

std::string SimLog(const SimProcess *sim) {
    return ReadFile(sim->logPath);
}

std::string SimEeprom(const SimProcess *sim) {
    return ReadFile(sim->eepromPath);
}

int StopSim(SimProcess *sim) {
    if (sim->pid <= 0) {
        return 0;
    }
    int status = 0;
    kill(sim->pid, SIGTERM);
    int64_t deadline = NowMs() + kStopTimeoutMs;
    while (!Exited(sim, &status)) {
        if (NowMs() > deadline) {
            kill(sim->pid, SIGKILL);
            waitpid(sim->pid, &status, 0);
            sim->pid = 0;
            return -1;
        }
        SleepMs(2);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CleanupSim(SimProcess *sim) {
    if (sim->dir[0] == '\0') {
        return;
    }
    for (const char *path :
         {sim->link, sim->logPath, sim->stderrPath, sim->controlPath, sim->eepromPath}) {
        unlink(path);
    }
    rmdir(sim->dir);
    sim->dir[0] = '\0';
}
