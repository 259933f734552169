"""The heartbeat: one thread of the process feeds the watchdog of every supply whose dead-man is
armed, each every period / BEATS_PER_PERIOD (a third of the period is the most a beat may wait;
a quarter leaves room). Eight supplies in one interpreter share it, so their feeding costs one
thread, not eight.

Each beat takes the supply's slot lock for one exchange; the ownership decides under that lock
whether the beat is still wanted, so a way out that stopped it is never followed by a late beat.
A slot that another call holds is tried again a moment later, without holding up the other
supplies. A beat that fails is left to the supply (if its line is gone, its watchdog switches it
off); its next try waits a whole period, so a dead line delays the others at most once a period.
The heartbeat holds the supplies only weakly: a dropped Supply is still collected.
"""

import heapq
import itertools
import os
import threading
import time
import weakref

from .deadman import BEATS_PER_PERIOD

BUSY_RETRY_S = 0.01  # a slot that another call holds is tried again after this


class Heartbeat:
    """One supply's place in the shared heartbeat: ``start()``, ``stop()``, ``failures``."""

    def __init__(self, supply, ownership, watchdog_ms):
        self.supply = weakref.ref(supply)
        self.ownership = ownership
        self.watchdog_ms = watchdog_ms
        self.interval = watchdog_ms / 1000.0 / BEATS_PER_PERIOD
        self.failures = 0
        self.stopped = False

    def start(self):
        _BEATS.add(self)
        return self

    def stop(self):
        """No more beats (it never waits: the caller may hold the slot lock)."""
        self.stopped = True

    @property
    def running(self):
        return not self.stopped and _BEATS.alive()

    def beat(self, now):
        """One beat, if the slot is free; the time of the next one, or None to end."""
        supply = self.supply()
        if supply is None or self.stopped:
            return None
        lock = supply.lock
        if not lock.acquire(blocking=False):
            return now + BUSY_RETRY_S  # a long call holds the slot: again in a moment
        try:
            if self.stopped or not self.ownership.beat(supply, self):
                return None
        finally:
            lock.release()
        return time.monotonic() + (
            self.interval if not self.failures else self.watchdog_ms / 1000.0
        )


class _Beats:
    """The shared thread and its queue of (due, order, heartbeat)."""

    def __init__(self):
        self._queue = []
        self._order = itertools.count()
        self._wake = threading.Condition(threading.Lock())
        self._thread = None
        self._pid = None

    def add(self, heartbeat):
        with self._wake:
            heapq.heappush(
                self._queue, (time.monotonic() + heartbeat.interval, next(self._order), heartbeat)
            )
            if not self.alive():
                self._start()
            self._wake.notify()

    def alive(self):
        return self._thread is not None and self._thread.is_alive() and self._pid == os.getpid()

    def _start(self):
        self._pid = os.getpid()  # a forked child starts a thread of its own
        self._thread = threading.Thread(target=self._run, name="k7340-heartbeat", daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            with self._wake:
                while not self._queue or self._queue[0][0] > time.monotonic():
                    wait = self._queue[0][0] - time.monotonic() if self._queue else None
                    self._wake.wait(wait)
                    if self._pid != os.getpid():
                        return
                _, _, heartbeat = heapq.heappop(self._queue)
            after = heartbeat.beat(time.monotonic())
            if after is not None:
                with self._wake:
                    heapq.heappush(self._queue, (after, next(self._order), heartbeat))

    def forget_in_child(self):
        """os.fork's child: the parent's beats are not the child's. Takes no lock."""
        self._queue = []
        self._wake = threading.Condition(threading.Lock())
        self._thread = None


_BEATS = _Beats()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_BEATS.forget_in_child)
