// Starting and stopping k7340sim for the benchmark.
#include "bench_sim.h"

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

static const int MAX_OPTIONS = 24;
static const int START_TIMEOUT_MS = 5000;

static pid_t g_pid = -1;
static char g_dir[256];
static char g_link[300];
static char g_control[300];

static void SleepMs(long ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

int StartSim(const char *simPath, const char *const *options) {
    snprintf(g_dir, sizeof g_dir, "/tmp/k7340_bench.XXXXXX");
    if (mkdtemp(g_dir) == nullptr) {
        perror("k7340_bench: mkdtemp");
        return -1;
    }
    snprintf(g_link, sizeof g_link, "%s/com1", g_dir);
    snprintf(g_control, sizeof g_control, "%s/control", g_dir);
    char log[300];
    snprintf(log, sizeof log, "%s/sim.log", g_dir);

    const char *argv[MAX_OPTIONS + 6] = {simPath, "--link", g_link, "--control", g_control};
    int argc = 5;
    for (int i = 0; options[i] != nullptr && argc < MAX_OPTIONS + 5; i++)
        argv[argc++] = options[i];
    argv[argc] = nullptr;

    g_pid = fork();
    if (g_pid < 0) {
        perror("k7340_bench: fork");
        return -1;
    }
    if (g_pid == 0) {
        const int fd = open(log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execv(simPath, const_cast<char *const *>(argv));
        _exit(127);
    }
    for (int waited = 0; waited < START_TIMEOUT_MS; waited += 10) {
        struct stat st;
        if (stat(g_link, &st) == 0) {
            setenv("K7340_COM1", g_link, 1);
            return 0;
        }
        int status;
        if (waitpid(g_pid, &status, WNOHANG) == g_pid) {
            fprintf(stderr, "k7340_bench: %s ended at start, see %s\n", simPath, log);
            g_pid = -1;
            return -1;
        }
        SleepMs(10);
    }
    fprintf(stderr, "k7340_bench: %s did not create %s\n", simPath, g_link);
    StopSim();
    return -1;
}

int ControlSim(const char *line) {
    const int fd = open(g_control, O_WRONLY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    const ssize_t n = write(fd, line, strlen(line));
    const ssize_t end = write(fd, "\n", 1);
    close(fd);
    SleepMs(50);
    return n == static_cast<ssize_t>(strlen(line)) && end == 1 ? 0 : -1;
}

const char *SimLink() {
    return g_link;
}

void StopSim() {
    if (g_pid > 0) {
        kill(g_pid, SIGTERM);
        int status;
        while (waitpid(g_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    g_pid = -1;
    char path[300];
    const char *names[] = {"sim.log", "control", "com1"};
    for (const char *name : names) {
        snprintf(path, sizeof path, "%s/%s", g_dir, name);
        unlink(path);
    }
    rmdir(g_dir);
}
