/* The guest side of the VM tests: checks of the library on a kernel serial driver, each
 * printing one line "LINK name key=value ..." for the host to compare; a line "@..." asks the
 * host to act. COM port 0 is K7340_COM1; DEVICE is the same device, for looks at the driver.
 *
 *   guest_check session|held|silent|unplug LINK DEVICE
 */
#include "k7340.h"

#include <linux/serial.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double NowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static double CpuMs(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

/* The adapter's latency timer in sysfs, or "-" where the driver has none. */
static const char *Latency(const char *device, char *text) {
    char path[128];
    snprintf(path, sizeof path, "/sys/class/tty/%s/device/latency_timer", strrchr(device, '/') + 1);
    FILE *f = fopen(path, "r");
    if (f == NULL || fscanf(f, "%7s", text) != 1)
        strcpy(text, "-");
    if (f != NULL)
        fclose(f);
    return text;
}

/* Open, watchdog, output on, meters, status and faults, output off, close. */
static void Session(void) {
    int opened = K7340_OpenDevice(0, 0), vrange = 0, irange = 0, status = 0, fault = 0;
    K7340_GetRanges(0, &vrange, &irange);
    const int wd = K7340_SetWD(0, 1000); /* the watchdog is armed before the output goes on */
    const int on = K7340_SetVoltage(0, 5000.0);
    double v = 0, i = 0, t = 0;
    /* one call a statement: in this order on the wire */
    int codes = K7340_ReadMeter(0, K7340_METER_VOLTAGE, &v);
    codes |= K7340_ReadMeter(0, K7340_METER_CURRENT, &i);
    codes |= K7340_ReadMeter(0, K7340_METER_TEMPERATURE, &t);
    codes |= K7340_GetStatusFlags(0, &status);
    codes |= K7340_GetFaultFlags(0, &fault);
    int off = K7340_SetVoltage(0, 0.0);
    off |= K7340_SetWD(0, 0);
    printf("session open=%d ranges=%d,%d wd=%d on=%d codes=%d V=%.1f I=%.1f T=%.1f status=0x%02X "
           "fault=0x%02X off=%d close=%d\n",
           opened, vrange, irange, wd, on, codes, v, i, t, status, fault, off,
           K7340_CloseDevice(0));
}

/* While the library holds the port: the line as the driver reports it, read on the library's
 * own descriptor (another open() raises DTR and RTS), then a second open. */
static void Held(const char *device) {
    char before[8], held[8] = "?", after[8];
    Latency(device, before);
    const int opened = K7340_OpenDevice(0, 0);
    struct stat d, s;
    struct termios tio;
    struct serial_struct serial;
    int fd = 3, lines = -1, low = -1;
    memset(&tio, 0, sizeof tio);
    while (fd < 256 && !(fstat(fd, &s) == 0 && stat(device, &d) == 0 && s.st_rdev == d.st_rdev))
        fd++;
    if (fd < 256 && tcgetattr(fd, &tio) == 0 && ioctl(fd, TIOCMGET, &lines) == 0) {
        low = ioctl(fd, TIOCGSERIAL, &serial) == 0 ? !!(serial.flags & ASYNC_LOW_LATENCY) : -1;
        Latency(device, held);
    }
    const int second = K7340_OpenDevice(1, 0); /* last: its open() raises DTR and RTS again */
    K7340_CloseDevice(1);
    K7340_CloseDevice(0);
    printf("held open=%d second=%d speed=%d cs8=%d parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d "
           "icanon=%d echo=%d isig=%d opost=%d dtr=%d rts=%d low_latency=%d latency=%s,%s,%s\n",
           opened, second, cfgetospeed(&tio) == B57600 ? 57600 : (int)cfgetospeed(&tio),
           (tio.c_cflag & CSIZE) == CS8, !!(tio.c_cflag & PARENB), !!(tio.c_cflag & CSTOPB),
           !!(tio.c_cflag & CRTSCTS), !!(tio.c_iflag & IXON), !!(tio.c_iflag & IXOFF),
           !!(tio.c_lflag & ICANON), !!(tio.c_lflag & ECHO), !!(tio.c_lflag & ISIG),
           !!(tio.c_oflag & OPOST), !!(lines & TIOCM_DTR), !!(lines & TIOCM_RTS), low, before, held,
           Latency(device, after));
}

/* Calls the supply until `calls` exchanges have failed; prints their first and last codes, when
 * the first came, the slowest one and the processor time they took (a spin would use it all). */
static void Failures(const char *name, int calls, double limitMs) {
    int code = 0, first = 0, n = 0;
    double slowest = 0, cpu = 0, start = NowMs(), firstAt = -1;
    while (n < calls && NowMs() - start < limitMs) {
        const double t0 = NowMs(), c0 = CpuMs();
        code = K7340_GetFwVersion(0, NULL);
        if (code != 0) {
            firstAt = n == 0 ? NowMs() - start : firstAt;
            first = n++ == 0 ? code : first;
            slowest = NowMs() - t0 > slowest ? NowMs() - t0 : slowest;
            cpu += CpuMs() - c0;
        }
    }
    printf("%s fails=%d first=%d last=%d first_ms=%.0f slowest_ms=%.0f cpu_ms=%.0f\n", name, n,
           first, code, firstAt, slowest, cpu);
}

static void Silent(const char *link) {
    const double t0 = NowMs();
    const int opened = K7340_OpenDevice(0, 0);
    printf("silent_open open=%d open_ms=%.0f\n%s ", opened, NowMs() - t0, link);
    Failures("silent", 5, 5000);
    K7340_CloseDevice(0);
}

/* The adapter is taken away during a session and given back; then a fresh open. */
static void Unplug(const char *link, const char *device) {
    printf("unplug_open open=%d\n@mon device_del usb1\n%s ", K7340_OpenDevice(0, 0), link);
    Failures("unplug", 3, 20000);
    K7340_CloseDevice(0);
    printf("@mon device_add usb-serial,chardev=c2,id=usb1\n");
    const double t0 = NowMs();
    while (access(device, F_OK) != 0 && NowMs() - t0 < 20000)
        usleep(50000);
    usleep(500000); /* the driver finishes setting the adapter up */
    int version = 0;
    const int opened = K7340_OpenDevice(0, 0);
    const int fw = K7340_GetFwVersion(0, &version);
    printf("%s replug open=%d fw=%d version=0x%04X\n", link, opened, fw, version);
    K7340_CloseDevice(0);
}

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    setvbuf(stdout, NULL, _IOLBF, 0); /* the host acts on each line as it comes */
    printf("%s ", argv[2]);
    if (!strcmp(argv[1], "session"))
        Session();
    else if (!strcmp(argv[1], "held"))
        Held(argv[3]);
    else if (!strcmp(argv[1], "silent"))
        Silent(argv[2]);
    else if (!strcmp(argv[1], "unplug"))
        Unplug(argv[2], argv[3]);
    else
        return 2;
    return 0;
}
