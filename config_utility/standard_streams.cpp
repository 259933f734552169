/*
 * standard_streams.cpp - a closed standard descriptor is filled with the null device.
 */
#include "standard_streams.h"

#if defined(_WIN32)

int HoldStandardStreams() {
    return 1;
}

#else // POSIX

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int HoldStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the closed one: open gives exactly fd.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                close(opened);
            return 0;
        }
    }
    return 1;
}

#endif
