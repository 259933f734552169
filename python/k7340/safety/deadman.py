"""The dead-man: the supply's own watchdog, armed before the output goes on and fed by a
heartbeat for as long as it is armed.

The supply switches its output off by itself when its watchdog count runs out without a
command. So before a session switches the output on it arms the watchdog (command 0xF0 with the
count), and a heartbeat thread re-sends that command every quarter of the period (at least every
third, as required), taking the slot lock for one exchange at a time: a way out that holds the
lock makes it wait at most one exchange. A killed process, a crash, a pulled cable or a dead
computer then leave the output on for one period at most.

Not covered: a process that hangs but lives keeps feeding (the heartbeat is a thread of its
own), and any session's commands may restart the supply's watchdog (the simulated supply
restarts it on every command), so a session that only watches can keep a dead owner's output
alive.
"""

import math
import threading
import time
import weakref

from ..binding import guards
from ..binding.errors import K7340ArgumentError

DEFAULT_WATCHDOG_MS = 1000
MIN_WATCHDOG_MS = 300
MAX_WATCHDOG_MS = 2550  # the supply's count is 0..255 in 10 ms units
SLOW_EXCHANGES = 3  # the period must hold this many of the slowest exchange seen at open
BEATS_PER_PERIOD = 4  # a third of the period is the most a beat may wait; a quarter leaves room


def checked_watchdog_ms(watchdog_ms, name="watchdog_ms"):
    """0 (the dead-man off: unsafe) or MIN_WATCHDOG_MS..MAX_WATCHDOG_MS; K7340ArgumentError
    names name and the range. Whole milliseconds; the supply counts 10 ms units."""
    value = guards.integer(name, watchdog_ms, 0, MAX_WATCHDOG_MS, "K7340_SetWD")
    if 0 < value < MIN_WATCHDOG_MS:
        raise K7340ArgumentError(
            "%s %d is outside %d..%d (0 turns the dead-man off, which is "
            "unsafe)" % (name, value, MIN_WATCHDOG_MS, MAX_WATCHDOG_MS),
            "K7340_SetWD",
        )
    return value


def check_against_line(watchdog_ms, slowest_s, port, name="watchdog_ms"):
    """Refuses a period that a slow line could run out: it must hold SLOW_EXCHANGES of the
    slowest exchange measured at open."""
    if watchdog_ms == 0:
        return
    needed = int(math.ceil(slowest_s * 1000.0 * SLOW_EXCHANGES))
    if watchdog_ms < needed:
        raise K7340ArgumentError(
            "%s %d is too short for %s: its slowest exchange at open took %.0f ms, so the "
            "period must be %d..%d ms"
            % (
                name,
                watchdog_ms,
                port,
                slowest_s * 1000.0,
                min(max(needed, MIN_WATCHDOG_MS), MAX_WATCHDOG_MS),
                MAX_WATCHDOG_MS,
            ),
            "K7340_SetWD",
        )


def time_the_line(supply):
    """At open, with the dead-man on: times two exchanges (the firmware query, the voltage
    meter), keeps the slowest as the guard's slowest_s and refuses a period that cannot hold
    SLOW_EXCHANGES of it."""
    guard = supply.guard
    if not guard.watchdog_ms:
        return
    for read in (lambda: supply.firmware_version, supply.read_voltage):
        began = time.monotonic()
        read()
        guard.slowest_s = max(guard.slowest_s, time.monotonic() - began)
    check_against_line(guard.watchdog_ms, guard.slowest_s, supply.port)


class Heartbeat:
    """Re-sends the watchdog command of a Supply every period / BEATS_PER_PERIOD until stopped.
    Holds the Supply only weakly: a dropped Supply is still collected (and closed then). Each
    beat takes the slot lock for one exchange; the guard decides under that lock whether the
    beat is still wanted, so a way out that stopped it is never followed by a late beat. A beat
    that fails is left to the supply: if the line is gone, its watchdog switches it off."""

    def __init__(self, supply, guard, watchdog_ms):
        self._supply = weakref.ref(supply)
        self._guard = guard
        self.watchdog_ms = watchdog_ms
        self._stop = threading.Event()
        self.failures = 0
        self._thread = threading.Thread(
            target=self._run, name="k7340-heartbeat %s" % supply.port, daemon=True
        )

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        """No more beats (it never waits: the caller may hold the slot lock)."""
        self._stop.set()

    @property
    def running(self):
        return self._thread.is_alive() and not self._stop.is_set()

    def _run(self):
        interval = self.watchdog_ms / 1000.0 / BEATS_PER_PERIOD
        while not self._stop.wait(interval):
            supply = self._supply()
            if supply is None:
                return
            lock = supply.lock
            if not lock.acquire(timeout=interval):
                continue  # a long call holds the slot: try again at once
            try:
                if self._stop.is_set() or not self._guard.beat(supply, self):
                    return
            finally:
                lock.release()
            del supply
