"""The dead-man: the supply's own watchdog, armed before the output goes on and fed by the
heartbeat (heartbeat.py) for as long as it is armed.

The supply switches its output off by itself when its watchdog count runs out without a
command. So before a session switches the output on it arms the watchdog (command 0xF0 with the
count), and a heartbeat thread re-sends that command every quarter of the period (at least every
third, as required), taking the slot lock for one exchange at a time: a way out that holds the
lock makes it wait at most one exchange. A killed process, a crash, a pulled cable or a dead
computer then leave the output on for one period at most.

The outage rule's clock is here too (``starved``): a gap in feeding as long as the period less
one exchange (a stopped process, a starved interpreter, a silent line) means the supply may have
switched its output off by itself, so the output is presumed off from then on.

Not covered: a process that hangs but lives keeps feeding (the heartbeat is a thread of its
own). Any program's commands may restart the supply's watchdog (the simulated supply restarts
it on every command): a read-only tool that finds an output no program holds therefore polls no
faster than ORPHAN_POLL_S, longer than the longest period (see k7340.session).
"""

import math
import time

from ..binding import checks
from ..binding.errors import K7340ArgumentError

DEFAULT_WATCHDOG_MS = 1000
MIN_WATCHDOG_MS = 300
MAX_WATCHDOG_MS = 2550  # the supply's count is 0..255 in 10 ms units
SLOW_EXCHANGES = 3  # the period must hold this many of the slowest exchange seen at open
BEATS_PER_PERIOD = 4  # a third of the period is the most a beat may wait; a quarter leaves room
# Longer than the longest period: reads this far apart feed no watchdog.
ORPHAN_POLL_S = 2.6


def checked_watchdog_ms(watchdog_ms, name="watchdog_ms"):
    """0 (the dead-man off: unsafe) or MIN_WATCHDOG_MS..MAX_WATCHDOG_MS; K7340ArgumentError
    names name and the range. Whole milliseconds; the supply counts 10 ms units."""
    value = checks.integer(name, watchdog_ms, 0, MAX_WATCHDOG_MS, "K7340_SetWD")
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
    meter), keeps the slowest as the ownership's slowest_s and refuses a period that cannot hold
    SLOW_EXCHANGES of it."""
    ownership = supply.ownership
    if not ownership.watchdog_ms:
        return
    for read in (lambda: supply.firmware_version, supply.read_voltage):
        began = time.monotonic()
        read()
        ownership.slowest_s = max(ownership.slowest_s, time.monotonic() - began)
    check_against_line(ownership.watchdog_ms, ownership.slowest_s, supply.port)


def starved(fed_at, now, watchdog_ms, exchange_s):
    """The outage rule's clock: True when the last feed (the start of the last acknowledged
    watchdog command, at fed_at) is as long ago as the period less one exchange, so the
    supply's watchdog may have run out. Never with the dead-man off (watchdog_ms 0)."""
    return bool(watchdog_ms) and now - fed_at >= watchdog_ms / 1000.0 - exchange_s
