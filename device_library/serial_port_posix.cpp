// POSIX termios backend of the OS seam. COM port n (0 = COM1) is the device named by the
// environment variable K7340_COM<n+1> (K7340_COM1=/dev/ttyUSB0), else /dev/ttyS<n>.
#if !defined(_WIN32)

#include "serial_port.h"

#include "k7340.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

static const long long NS_PER_MS = 1000000;
static const long long NS_PER_S = 1000000000;
static const unsigned MS_PER_S = 1000;

static int g_ports[K7340_MAX_DEVICES];         // port table: descriptors, stale after close
static termios g_saved[K7340_MAX_DEVICES];     // each port's settings as the library found them
static int g_lowLatencySet[K7340_MAX_DEVICES]; // 1 where the library set the low-latency flag

static long long NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

// Waits for events until the monotonic deadline; 1 when ready, 0 at the deadline, -1 on error.
static int WaitFor(int fd, short events, long long deadlineNs, short *revents) {
    for (;;) {
        const long long left = deadlineNs - NowNs();
        if (left <= 0)
            return 0;
        pollfd p = {fd, events, 0};
        timespec ts = {static_cast<time_t>(left / NS_PER_S), static_cast<long>(left % NS_PER_S)};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            return 0;
        *revents = p.revents;
        return 1;
    }
}

// 0, or ENAMETOOLONG for a name that does not fit: a cut name could open another device.
static int PortName(int comPort, char *name, size_t size) {
    char variable[32];
    snprintf(variable, sizeof variable, "K7340_COM%lld", static_cast<long long>(comPort) + 1);
    const char *mapped = getenv(variable);
    const int length = mapped != nullptr && mapped[0] != '\0'
                           ? snprintf(name, size, "%s", mapped)
                           : snprintf(name, size, "/dev/ttyS%d", comPort);
    return length >= 0 && static_cast<size_t>(length) < size ? 0 : ENAMETOOLONG;
}

// A USB adapter's driver holds short replies back for its latency timer (16 ms by default on
// common chips); low latency makes it pass each byte on at once. Ptys and many drivers refuse
// the request: the port works without it. Returns 1 when it set the flag.
static int SetLowLatency(int fd, bool on) {
#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || !(serial.flags & ASYNC_LOW_LATENCY) == !on)
        return 0;
    serial.flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    (void)on;
    return 0;
#endif
}

// Saves the port's settings for PortClose to put back (a terminal named as a port must not be
// left at 57600 baud, raw), then sets the line up.
static int Configure(int fd, termios *saved) {
    if (tcgetattr(fd, saved) != 0)
        return errno;
    termios tio = *saved;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return errno;
    // DTR and RTS held off; a pseudo-terminal has no modem lines, so its refusal is no error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    return 0;
}

int OpenPort(int index, int comPort) {
    g_ports[index] = -1;
    if (comPort < 0)
        return K7340_ERR_NO_PORT; // no COM0 or below, as on Windows: no K7340_COM0 is opened
    char name[PATH_MAX];          // any path the system takes
    const int nameError = PortName(comPort, name, sizeof name);
    if (nameError != 0)
        return nameError;
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    g_ports[index] = fd;
    // ENXIO and ENODEV: a node with nothing behind it (no driver, a socket), as good as absent.
    if (fd < 0)
        return errno == ENOENT || errno == ENXIO || errno == ENODEV ? K7340_ERR_NO_PORT : errno;
    // Exclusive: flock holds off every other opener (root included), TIOCEXCL non-root ones.
    int error = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = errno;
    else if (ioctl(fd, TIOCEXCL) != 0)
        error = errno;
    else
        error = Configure(fd, &g_saved[index]);
    if (error != 0) {
        close(fd);
        return error;
    }
    g_lowLatencySet[index] = SetLowLatency(fd, true);
    return 0;
}

int PortRead(int index, unsigned char *buf, int *count) {
    const int fd = g_ports[index];
    const int wanted = *count;
    const long long deadline = NowNs() + PORT_READ_TIMEOUT_MS * NS_PER_MS;
    int received = 0;
    bool failed = wanted <= 0;
    while (!failed && received < wanted) {
        short revents = 0;
        const int ready = WaitFor(fd, POLLIN, deadline, &revents);
        if (ready <= 0) {
            failed = ready < 0;
            break;
        }
        const ssize_t n = read(fd, buf + received, static_cast<size_t>(wanted - received));
        if (n > 0) {
            received += static_cast<int>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && !(revents & POLLHUP)) {
            continue;
        } else {
            failed = true; // end of file, a hang-up (adapter pulled) or a read error
        }
    }
    *count = received;
    return !failed && received > 0 ? K7340_OK : K7340_ERR_READ;
}

int PortWrite(int index, const unsigned char *buf, int count) {
    const int fd = g_ports[index];
    const long long boundMs =
        PORT_WRITE_TIMEOUT_MS + static_cast<long long>(count) * PORT_WRITE_BYTE_TIMEOUT_MS;
    const long long deadline = NowNs() + boundMs * NS_PER_MS;
    int written = 0;
    while (written < count) {
        const ssize_t n = write(fd, buf + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            break;
        short revents = 0;
        if (WaitFor(fd, POLLOUT, deadline, &revents) <= 0 || (revents & (POLLERR | POLLHUP)))
            break;
    }
    return written == count ? K7340_OK : K7340_ERR_WRITE;
}

void PortPurgeInput(int index) {
    tcflush(g_ports[index], TCIFLUSH);
}

int PortClose(int index) {
    const int fd = g_ports[index];
    // The flag outlives the descriptor while the far end holds a pty: a non-root user could
    // never reopen it.
    ioctl(fd, TIOCNXCL);
    tcsetattr(fd, TCSANOW, &g_saved[index]);
    if (g_lowLatencySet[index])
        SetLowLatency(fd, false);
    close(fd);
    return 0;
}

// To an absolute deadline: restarting with the time left would lose the timer slack at every
// signal, and a fast enough stream of signals would keep the pause from ever ending.
void Pause(unsigned milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / MS_PER_S);
    deadline.tv_nsec += static_cast<long>(milliseconds % MS_PER_S * NS_PER_MS);
    if (deadline.tv_nsec >= NS_PER_S) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NS_PER_S;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

long long MonotonicMs() {
    return NowNs() / NS_PER_MS;
}

#endif
