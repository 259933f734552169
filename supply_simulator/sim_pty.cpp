/*
 * sim_pty.cpp - k7340sim's pseudo-terminal: created raw at 57600 baud with its slave end held
 * open here (so the master never sees a hang-up while no client has the port open), the
 * symbolic link to the slave, and the hang-up that stands for a pulled adapter.
 */
#include "k7340sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>

static const int64_t HANGUP_US = 200000; // adapter pulled: time until the new pty appears
static const int PATH_MAX_TEXT = 4096;

static int g_master = -1;
static int g_slave = -1; // our own slave descriptor
static char g_slaveName[PATH_MAX_TEXT];
static int64_t g_reopenAt = -1; // after a hang-up: when to create the new pty

int PtyCreate() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("k7340sim: posix_openpt");
        if (master >= 0)
            close(master);
        return -1;
    }
    const char *name = ptsname(master);
    const int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
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

void PtyClose() {
    if (g_master >= 0)
        close(g_master);
    if (g_slave >= 0)
        close(g_slave);
    g_master = -1;
    g_slave = -1;
}

int PtyMaster() {
    return g_master;
}

const char *PtySlaveName() {
    return g_slaveName;
}

// A link whose target is still a terminal device is served by a running simulator (a pty's
// slave exists while its master is open): taking it over would leave that one unreachable. A
// link to a pty that is gone is stale and replaced.
int PtyLinkIsLive(const char *link) {
    char target[256];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    struct stat st;
    return stat(target, &st) == 0 && S_ISCHR(st.st_mode) ? 1 : 0;
}

// Points the link at the slave atomically (a new link renamed over the old one).
int PtyPointLink() {
    char temp[PATH_MAX_TEXT];
    snprintf(temp, sizeof temp, "%s.new%d", g_paths.link, static_cast<int>(getpid()));
    unlink(temp);
    if (symlink(g_slaveName, temp) != 0 || rename(temp, g_paths.link) != 0) {
        fprintf(stderr, "k7340sim: cannot create link %s: %s\n", g_paths.link, strerror(errno));
        unlink(temp);
        return -1;
    }
    return 0;
}

void PtyHangup(int64_t nowUs) {
    PtyClose();
    unlink(g_paths.link);
    unsigned char drop[SUPPLY_OUT_MAX];
    while (SupplyTakeOutput(&g_model, drop, sizeof drop, INT64_MAX) > 0) {
    }
    g_reopenAt = nowUs + HANGUP_US;
    PrintLine(nowUs, "# hang-up: pty closed, link removed");
}

bool PtyReopenIfDue(int64_t nowUs) {
    if (g_reopenAt < 0 || nowUs < g_reopenAt)
        return false;
    g_reopenAt = -1;
    if (PtyCreate() != 0 || PtyPointLink() != 0) {
        g_stop = 1;
        return true;
    }
    char text[PATH_MAX_TEXT + 64];
    snprintf(text, sizeof text, "# new pty %s at %s", g_slaveName, g_paths.link);
    PrintLine(nowUs, text);
    return true;
}

int64_t PtyReopenDueUs() {
    return g_reopenAt;
}
