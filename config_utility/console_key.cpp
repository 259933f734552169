/*
 * console_key.cpp - the single keystroke of k7340config's yes/no questions.
 */
#include "console_key.h"

#if defined(_WIN32)

#include <conio.h>
#include <stdio.h>

int ReadConsoleKey(void) {
    const int key = _getch();
    return key == EOF ? -1 : (key & 0xFF); /* EOF: no console to read a key from */
}

#else /* POSIX */

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

/* The terminal settings to put back, valid while savedValid is 1. A signal handler reads them,
 * so they live at file scope. */
static struct termios savedTerminal;
static volatile sig_atomic_t savedValid = 0;

static const int caughtSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
enum { CAUGHT_SIGNAL_COUNT = sizeof caughtSignals / sizeof caughtSignals[0] };
static struct sigaction previousActions[CAUGHT_SIGNAL_COUNT];

static void RestoreTerminal(void) {
    if (savedValid) {
        /* TCSAFLUSH drops the rest of a key that sends several bytes (arrows, function keys). */
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        savedValid = 0;
    }
}

static void OnSignalDuringKey(int signo) {
    RestoreTerminal();
    /* Let the signal do what it would have done: default action, raised again. */
    signal(signo, SIG_DFL);
    raise(signo);
}

static void CatchSignals(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignalDuringKey;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < CAUGHT_SIGNAL_COUNT; i++) {
        sigaction(caughtSignals[i], &action, &previousActions[i]);
    }
}

static void ReleaseSignals(void) {
    for (int i = 0; i < CAUGHT_SIGNAL_COUNT; i++) {
        sigaction(caughtSignals[i], &previousActions[i], nullptr);
    }
}

static int ReadOneByte(void) {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) {
            return byte;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
}

int ReadConsoleKey(void) {
    struct termios raw;
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return ReadOneByte(); /* a pipe or a file */
    }
    raw = savedTerminal;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO); /* ISIG stays: Ctrl-C still interrupts */
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    CatchSignals();
    savedValid = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        savedValid = 0;
        ReleaseSignals();
        return ReadOneByte();
    }
    const int key = ReadOneByte();
    RestoreTerminal();
    ReleaseSignals();
    return key;
}

#endif
