"""Every way out: signals, forks, dropped objects and interpreter exit.

While a Supply of this process holds the output on, SIGINT, SIGTERM, SIGHUP and SIGQUIT (and
SIGBREAK on Windows) are handled alike: the handler zeroes every supply this process holds on
(the owner's way out: zero, disarm once acknowledged, heartbeat stopped), then ends a plain
script as Ctrl-C would, with KeyboardInterrupt; its ``with`` blocks then find nothing left to
do. The binding installs its handler from the main thread over default handlers only and
restores them when the last such Supply lets go. Console tools, which own their process, use
``handle_signals`` to install it whatever was inherited; a server, a GUI or worker threads
register ``on_stop`` callbacks instead, and the handler calls them rather than raising.

A signal that comes while a way out runs in the main thread waits: it is acted on once the zero
is sent. After ``os.fork`` the child forgets its parent's supplies without taking a lock: it
never sends to, zeroes or closes them.
"""

import atexit
import contextlib
import os
import signal
import sys
import threading
import time
import weakref

from ..binding import slots

STOP_SIGNAL_NAMES = ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGBREAK")

# Supplies of this process holding the output on, in the order they switched it on (a way out
# zeroes the last first: a group's switching-on order, reversed).
_held = weakref.WeakValueDictionary()  # id -> supply
_held_order = []  # ids, oldest first
_installed = {}  # signal number -> the handler ours replaced
_flags = []  # StopFlags of handle_signals, innermost last
_callbacks = []  # on_stop callbacks
_depth = [0]  # way outs running in the main thread
_deferred = []  # signals that came during a way out in the main thread


def stop_signals():
    return [getattr(signal, n) for n in STOP_SIGNAL_NAMES if hasattr(signal, n)]


def _in_main_thread():
    return threading.current_thread() is threading.main_thread()


def _is_default(handler, signum):
    return handler in (signal.SIG_DFL, None) or (
        signum == signal.SIGINT and handler is signal.default_int_handler
    )


def _install(whatever_inherited):
    if not _in_main_thread():
        return  # only the main thread may; a server or GUI registers on_stop instead
    for signum in stop_signals():
        current = signal.getsignal(signum)
        if current is _on_signal:
            continue
        if whatever_inherited or _is_default(current, signum):
            _installed[signum] = current
            signal.signal(signum, _on_signal)


def _restore():
    if not _in_main_thread():
        return  # the handler restores them when it finds nothing held
    for signum, previous in list(_installed.items()):
        if signal.getsignal(signum) is _on_signal:
            signal.signal(signum, signal.SIG_DFL if previous is None else previous)
        del _installed[signum]


def hold(supply):
    """supply holds the output on: the handlers go in (over default ones) before it does."""
    if id(supply) not in _held:
        _held_order[:] = [i for i in _held_order if i in _held] + [id(supply)]
    _held[id(supply)] = supply
    if not _flags:
        _install(False)


def let_go(supply):
    """supply no longer holds the output on; the last one restores the handlers."""
    if _held.get(id(supply)) is supply:
        del _held[id(supply)]
    if not _held and not _flags and not _callbacks:
        _restore()


def held():
    """The supplies holding the output on, the last to switch it on first."""
    return [s for s in (_held.get(i) for i in reversed(list(_held_order))) if s is not None]


@contextlib.contextmanager
def way_out_running(act_after=True):
    """Around a way out: a signal that comes meanwhile (in the main thread) waits until it has
    ended, then is acted on (unless act_after is False: the signal handler acts itself)."""
    main = _in_main_thread()
    if main:
        _depth[0] += 1
    try:
        yield
    finally:
        if main:
            _depth[0] -= 1
            if _depth[0] == 0 and _deferred:
                signum = _deferred[0]
                del _deferred[:]
                if act_after:
                    _act(signum, holding=False)


def zero_all(act_after=True):
    """Zeroes every supply this process holds on; returns the notes of those that may still be
    on (each is also printed on standard error)."""
    notes = []
    with way_out_running(act_after):
        for supply in held():
            note = supply.switch_off_now()
            if note:
                notes.append("%s: %s" % (supply.port, note))
    for note in notes:
        try:
            print("k7340: %s" % note, file=sys.stderr, flush=True)
        except (OSError, ValueError):
            pass
    return notes


def _on_signal(signum, frame):
    if _depth[0]:
        _deferred.append(signum)  # the way out under way ends first
        return
    holding = bool(_held)
    notes = zero_all(act_after=False) if holding else []
    for flag in _flags:
        flag.notes.extend(notes)
    _act(signum, holding)


def _act(signum, holding):
    for flag in _flags:
        flag.received.append(signum)
    if _callbacks:
        for callback in list(_callbacks):
            try:
                callback(signum)
            except Exception as exc:  # a stop callback must not keep the others from running
                print("k7340: stop callback %r failed: %s" % (callback, exc), file=sys.stderr)
        return
    if _flags:
        if _flags[-1].raise_interrupt:
            raise KeyboardInterrupt
        return
    if holding or signum == signal.SIGINT:
        raise KeyboardInterrupt
    # Nothing held and nobody asked for it: the signal does what it did before we came.
    _restore()
    signal.raise_signal(signum)


class StopFlag:
    """True once a stop signal came; ``received`` lists their numbers, ``notes`` what the way
    out could not do (a supply whose zero failed: its output may still be on)."""

    def __init__(self, raise_interrupt):
        self.raise_interrupt = raise_interrupt
        self.received = []
        self.notes = []

    def __bool__(self):
        return bool(self.received)

    def sleep(self, seconds):
        """Sleeps, but wakes within 0.1 s of a stop."""
        end = time.monotonic() + seconds
        while not self.received:
            left = end - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.1))


@contextlib.contextmanager
def handle_signals(raise_interrupt=True):
    """For a program that owns its process (the console tools): the stop signals are handled
    whatever handlers it inherited; a signal zeroes every supply held on, then raises
    KeyboardInterrupt (or, with raise_interrupt=False, only sets the yielded StopFlag).
    Main thread only."""
    if not _in_main_thread():
        raise RuntimeError("handle_signals must be entered from the main thread")
    flag = StopFlag(raise_interrupt)
    _flags.append(flag)
    _install(True)
    try:
        yield flag
    finally:
        _flags.remove(flag)
        if not _flags and not _held and not _callbacks:
            _restore()


def on_stop(callback):
    """callback(signum) runs after a stop signal has zeroed every supply held on, instead of a
    KeyboardInterrupt: for a server, a GUI's event loop or worker threads. Installs the handlers
    (over default ones) when called from the main thread. Returns a function that unregisters
    the callback."""
    if not callable(callback):
        raise TypeError("callback must be callable, not %s" % type(callback).__name__)
    _callbacks.append(callback)
    _install(False)

    def unregister():
        if callback in _callbacks:
            _callbacks.remove(callback)
        if not _held and not _flags and not _callbacks:
            _restore()

    return unregister


def _forget_in_child():
    """os.fork's child: the parent's supplies are left alone for good. Takes no lock."""
    global _held, _held_order
    for supply in list(slots.holders_without_lock()):
        supply.forget_in_child()
    _held, _held_order = weakref.WeakValueDictionary(), []
    del _deferred[:]
    _depth[0] = 0
    slots.forget_all_in_child()


EXIT_WAIT_S = 2.0  # at exit, the longest wait for a slot that another thread holds


def _close_at_exit():
    """A script that ends with supplies still open (an uncaught exception, a forgotten close)
    leaves no output on that it switched on; a slot that another thread keeps busy (a reopen
    under way) is given up after EXIT_WAIT_S, saying so."""
    for supply in slots.open_supplies():
        try:
            supply.close(timeout=EXIT_WAIT_S)
        except Exception as exc:  # nothing else can report it now
            print("k7340: closing %s at exit: %s" % (supply.port, exc), file=sys.stderr)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)
atexit.register(_close_at_exit)
