/*
 * console_key.cpp - the single keystroke of k7340config's yes/no questions.
 */
#include "console_key.h"

#if defined(_WIN32)

#include <conio.h>
#include <cstdio>

int ReadConsoleKey() {
    const int key = _getch();
    return key == EOF ? -1 : (key & 0xFF); // EOF: no console to read a key from
}

#else // POSIX

#include "ending_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <termios.h>
#include <unistd.h>

// The terminal settings to put back and the ones of the wait, valid while g_savedValid is 1.
// Signal handlers read them, so they live at file scope.
static termios g_savedTerminal;
static termios g_keyTerminal;
static volatile sig_atomic_t g_savedValid = 0;

// Signals that end the program (ending_signals.h): the terminal is restored, then the signal
// takes its course.
static sigset_t g_ending;
static struct sigaction g_previousEnding[NSIG];
static struct sigaction g_previousStop;

static void RestoreTerminal() {
    if (g_savedValid) {
        // TCSAFLUSH drops the rest of a key that sends several bytes (arrows, function keys).
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
        g_savedValid = 0;
    }
}

static void SetHandler(int signo, void (*handler)(int), struct sigaction *previous) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, previous);
}

static void RaiseUnblocked(int signo) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
}

static void OnEndingSignal(int signo) {
    RestoreTerminal();
    SetHandler(signo, SIG_DFL, nullptr);
    RaiseUnblocked(signo);
}

// Ctrl-Z: the shell gets its terminal back while the program is stopped, and the wait takes it
// again on SIGCONT (the read is interrupted and resumed).
static void OnStopSignal(int signo) {
    const int savedErrno = errno;
    if (g_savedValid)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    SetHandler(signo, SIG_DFL, nullptr);
    RaiseUnblocked(signo); // stops here until SIGCONT
    SetHandler(signo, OnStopSignal, nullptr);
    if (g_savedValid)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_keyTerminal);
    errno = savedErrno;
}

static void CatchSignals() {
    EndingSignals(&g_ending);
    for (int signo = 1; signo < NSIG; signo++)
        if (sigismember(&g_ending, signo) == 1)
            SetHandler(signo, OnEndingSignal, &g_previousEnding[signo]);
    SetHandler(SIGTSTP, OnStopSignal, &g_previousStop);
}

static void ReleaseSignals() {
    for (int signo = 1; signo < NSIG; signo++)
        if (sigismember(&g_ending, signo) == 1)
            sigaction(signo, &g_previousEnding[signo], nullptr);
    sigaction(SIGTSTP, &g_previousStop, nullptr);
}

static int ReadOneByte() {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

int ReadConsoleKey() {
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
        return ReadOneByte(); // a pipe or a file
    g_keyTerminal = g_savedTerminal;
    g_keyTerminal.c_lflag &=
        ~static_cast<tcflag_t>(ICANON | ECHO); // ISIG stays: Ctrl-C still interrupts
    g_keyTerminal.c_cc[VMIN] = 1;
    g_keyTerminal.c_cc[VTIME] = 0;

    CatchSignals();
    g_savedValid = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &g_keyTerminal) != 0) {
        g_savedValid = 0;
        ReleaseSignals();
        return ReadOneByte();
    }
    const int key = ReadOneByte();
    RestoreTerminal();
    ReleaseSignals();
    return key;
}

#endif
