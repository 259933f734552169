/*
 * ending_signals.h - the signals that would end k7340config in the middle of something: every
 * asynchronous signal whose default action ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
 * SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, the timer, resource, poll and power signals and the
 * real-time ones). Not the synchronous faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS)
 * nor SIGABRT: those report a fault of the program itself, and holding them back would hide it.
 * POSIX only: on Windows the console's events take their place.
 */
#ifndef K7340_ENDING_SIGNALS_H
#define K7340_ENDING_SIGNALS_H

#if !defined(_WIN32)

#include <signal.h>

// Empties set, then adds every ending signal.
void EndingSignals(sigset_t *set);

#endif

#endif // K7340_ENDING_SIGNALS_H
