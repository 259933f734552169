/*
 * ending_signals.cpp - the asynchronous signals whose default action ends the process.
 */
#if !defined(_WIN32)

#include "ending_signals.h"

// Each where the system has it and its default action ends the process there.
static const int ENDING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTERM,   SIGUSR1, SIGUSR2,
    SIGALRM,   SIGPIPE, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ,
#if defined(SIGPOLL)
    SIGPOLL,
#endif
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
#if defined(SIGEMT)
    SIGEMT,
#endif
};

void EndingSignals(sigset_t *set) {
    sigemptyset(set);
    for (int signo : ENDING_SIGNALS)
        sigaddset(set, signo);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signo = SIGRTMIN; signo <= SIGRTMAX; signo++)
        sigaddset(set, signo);
#endif
}

#endif
