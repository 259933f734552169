/* The guest side of the VM tests: one check of the library on a kernel serial driver, its
 * results on standard output as one line of key=value words for the host to compare.
 * COM port 0 is the device K7340_COM1 names; the device path is given for direct looks at it.
 *
 *   guest_check session|exclusive|silent LINK DEVICE
 *   guest_check settings LINK DEVICE   the line as the driver reports it while the library holds it
 *   guest_check unplug LINK DEVICE     polls until the port fails, then waits for it to come back
 *
 * Each result line starts with LINK; lines starting with @ ask the host to act.
 */
#include "k7340.h"

#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static const char *linkName = ""; /* the result lines' first word */

static void Report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    printf("%s ", linkName);
    vprintf(format, args);
    va_end(args);
}

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
    strcpy(text, "-");
    if (f != NULL) {
        if (fscanf(f, "%7s", text) != 1)
            strcpy(text, "?");
        fclose(f);
    }
    return text;
}

static void Session(void) {
    int opened = K7340_OpenDevice(0, 0), vrange = 0, irange = 0, status = 0, fault = 0;
    K7340_GetRanges(0, &vrange, &irange);
    const int wd = K7340_SetWD(0, 1000); /* the watchdog is armed before the output goes on */
    const int on = K7340_SetVoltage(0, 5000.0);
    double v = 0, i = 0, t = 0;
    int meters = K7340_ReadMeter(0, 0, &v); /* one statement each: in this order on the wire */
    meters |= K7340_ReadMeter(0, 1, &i);
    meters |= K7340_ReadMeter(0, 2, &t);
    int flags = K7340_GetStatusFlags(0, &status);
    flags |= K7340_GetFaultFlags(0, &fault);
    int off = K7340_SetVoltage(0, 0.0);
    off |= K7340_SetWD(0, 0);
    Report("session open=%d ranges=%d,%d wd=%d on=%d meters=%d V=%.1f I=%.1f T=%.1f flags=%d "
           "status=0x%02X fault=0x%02X off=%d close=%d\n",
           opened, vrange, irange, wd, on, meters, v, i, t, flags, status, fault, off,
           K7340_CloseDevice(0));
}

static void Exclusive(void) {
    const int first = K7340_OpenDevice(0, 0), second = K7340_OpenDevice(1, 0);
    Report("exclusive first=%d second=%d\n", first, second);
    K7340_CloseDevice(1);
    K7340_CloseDevice(0);
}

/* The library's own descriptor of the device: a second open would raise DTR and RTS again. */
static int HeldDescriptor(const char *device) {
    struct stat d, s;
    for (int fd = 3; fd < 256 && stat(device, &d) == 0; fd++)
        if (fstat(fd, &s) == 0 && S_ISCHR(s.st_mode) && s.st_rdev == d.st_rdev)
            return fd;
    return -1;
}

static void Settings(const char *device) {
    char before[8], held[8] = "?", after[8];
    Latency(device, before);
    const int opened = K7340_OpenDevice(0, 0);
    const int fd = HeldDescriptor(device);
    struct termios tio;
    struct serial_struct serial;
    int lines = -1, low = -1;
    memset(&tio, 0, sizeof tio);
    if (fd >= 0) {
        tcgetattr(fd, &tio);
        ioctl(fd, TIOCMGET, &lines);
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0)
            low = (serial.flags & ASYNC_LOW_LATENCY) != 0;
        Latency(device, held);
    }
    K7340_CloseDevice(0);
    Report("settings open=%d speed=%d cs8=%d parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d "
           "icanon=%d echo=%d isig=%d opost=%d dtr=%d rts=%d low_latency=%d latency=%s,%s,%s\n",
           opened, cfgetospeed(&tio) == B57600 ? 57600 : (int)cfgetospeed(&tio),
           (tio.c_cflag & CSIZE) == CS8, !!(tio.c_cflag & PARENB), !!(tio.c_cflag & CSTOPB),
           !!(tio.c_cflag & CRTSCTS), !!(tio.c_iflag & IXON), !!(tio.c_iflag & IXOFF),
           !!(tio.c_lflag & ICANON), !!(tio.c_lflag & ECHO), !!(tio.c_lflag & ISIG),
           !!(tio.c_oflag & OPOST), !!(lines & TIOCM_DTR), !!(lines & TIOCM_RTS), low, before, held,
           Latency(device, after));
}

/* Calls the supply until `calls` exchanges have failed; prints the codes, when the first came,
 * the slowest failing call and the processor time the failing calls took (a spinning loop
 * would use up the whole wait). */
static void Failures(const char *name, int calls, double limitMs) {
    int code = 0, codes[8], n = 0;
    double slowest = 0, cpu = 0, start = NowMs(), firstAt = -1;
    while (n < calls && NowMs() - start < limitMs) {
        const double t0 = NowMs(), c0 = CpuMs();
        code = K7340_GetFwVersion(0, NULL);
        if (code != 0) {
            firstAt = n == 0 ? NowMs() - start : firstAt;
            codes[n++] = code;
            slowest = NowMs() - t0 > slowest ? NowMs() - t0 : slowest;
            cpu += CpuMs() - c0;
        }
    }
    Report("%s fails=%d first=%d last=%d first_ms=%.0f slowest_ms=%.0f cpu_ms=%.0f\n", name, n,
           n ? codes[0] : 0, code, firstAt, slowest, cpu);
}

static void Silent(void) {
    const double t0 = NowMs();
    const int opened = K7340_OpenDevice(0, 0);
    Report("silent_open open=%d open_ms=%.0f\n", opened, NowMs() - t0);
    Failures("silent", 5, 5000);
    K7340_CloseDevice(0);
}

static void Unplug(const char *device) {
    Report("unplug_open open=%d\n", K7340_OpenDevice(0, 0));
    printf("@mon device_del usb1\n");
    Failures("unplug", 3, 20000);
    K7340_CloseDevice(0);
    printf("@mon device_add usb-serial,chardev=c2,id=usb1\n");
    double t0 = NowMs();
    while (access(device, F_OK) != 0 && NowMs() - t0 < 20000)
        usleep(50000);
    usleep(500000); /* the driver finishes setting the adapter up */
    int version = 0;
    const int opened = K7340_OpenDevice(0, 0);
    const int fw = K7340_GetFwVersion(0, &version);
    Report("replug open=%d fw=%d version=0x%04X\n", opened, fw, version);
    K7340_CloseDevice(0);
}

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    linkName = argv[2];
    setvbuf(stdout, NULL, _IOLBF, 0); /* the host acts on each line as it comes */
    if (!strcmp(argv[1], "session"))
        Session();
    else if (!strcmp(argv[1], "exclusive"))
        Exclusive();
    else if (!strcmp(argv[1], "settings"))
        Settings(argv[3]);
    else if (!strcmp(argv[1], "silent"))
        Silent();
    else if (!strcmp(argv[1], "unplug"))
        Unplug(argv[3]);
    else
        return 2;
    return 0;
}
