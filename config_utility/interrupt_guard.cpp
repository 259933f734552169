/*
 * interrupt_guard.cpp - k7340config's hold on interrupts across the EEPROM writes.
 */
#include "interrupt_guard.h"

#if defined(_WIN32)

#include <windows.h>

static volatile LONG g_interrupted = 0;
static HANDLE g_released = nullptr; // set once the hold ends: a close event may then go on

// Runs on a thread of its own. Ctrl-C and Ctrl-Break are swallowed. A close, log-off or
// shut-down ends the process as soon as the handler returns, so the handler waits for the
// writes, then leaves the exit to the main thread (the system ends the process after a few
// seconds in any case).
static BOOL WINAPI OnConsoleEvent(DWORD event) {
    InterlockedExchange(&g_interrupted, 1);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    WaitForSingleObject(g_released, INFINITE);
    Sleep(INFINITE);
    return TRUE;
}

void DeferInterrupts() {
    if (g_released == nullptr)
        g_released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int ResumeInterrupts() {
    const int was = InterlockedExchange(&g_interrupted, 0) != 0;
    if (!was)
        SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    else if (g_released != nullptr)
        SetEvent(g_released); // a close event's handler keeps the process until main exits
    return was;
}

#else // POSIX

#include "ending_signals.h"

#include <signal.h>
#include <time.h>

static sigset_t g_previousMask;

// Blocked, not caught: a signal stays pending until the hold ends, and the library's waits are
// not interrupted meanwhile.
void DeferInterrupts() {
    sigset_t held;
    EndingSignals(&held);
    sigprocmask(SIG_BLOCK, &held, &g_previousMask);
}

int ResumeInterrupts() {
    sigset_t held;
    EndingSignals(&held);
    const struct timespec now = {0, 0};
    int was = 0;
    while (sigtimedwait(&held, nullptr, &now) > 0) // takes each pending one off
        was = 1;
    sigprocmask(SIG_SETMASK, &g_previousMask, nullptr);
    return was;
}

#endif
