/*
 * sim_pty.cpp - k7340sim's pseudo-terminal: created raw at 57600 baud with its slave end held
 * open here (so the master never sees a hang-up while no client has the port open), and the
 * symbolic link to the slave. It writes only the SimPty it is given.
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

int PtyCreate(SimPty *pty) {
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
    snprintf(pty->slaveName, sizeof pty->slaveName, "%s", name);
    pty->master = master;
    pty->slave = slave;
    return 0;
}

void PtyClose(SimPty *pty) {
    if (pty->master >= 0)
        close(pty->master);
    if (pty->slave >= 0)
        close(pty->slave);
    pty->master = -1;
    pty->slave = -1;
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
int PtyPointLink(const SimPty *pty, const char *link) {
    char temp[SIM_PATH_MAX];
    snprintf(temp, sizeof temp, "%s.new%d", link, static_cast<int>(getpid()));
    unlink(temp);
    if (symlink(pty->slaveName, temp) != 0 || rename(temp, link) != 0) {
        fprintf(stderr, "k7340sim: cannot create link %s: %s\n", link, strerror(errno));
        unlink(temp);
        return -1;
    }
    return 0;
}
