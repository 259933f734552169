"""Python binding of the k7340 device library for the 7340 high-voltage power supply.

    import k7340

    with k7340.Supply(com_port=0) as psu:     # or Supply(port="/dev/ttyUSB0"), port="COM7"
        psu.set_voltage(1000.0)              # at or above 20 V the output is on
        print(psu.read_voltage(), psu.status)
    # leaving the block (an exception too) set the output to zero before closing

The package in layers, each importing only those below it: k7340.binding (Device: one library
slot, its errors, flags, ports and EEPROM; no policy), k7340.safety (ownership, the dead-man,
every way out, reconnects, what the status bits mean), k7340.lab (ramp planning, conditioning,
the flight recorder, the CSV log), k7340.session (Supply, the class scripts use, and Session,
the one path for everything that holds the output on), then the front ends k7340.cli (the
console tools), k7340.tango and k7340.pymeasure. Every non-zero code becomes a K7340Error
carrying the code and the library's text. Each Supply holds a library slot of its own
(index=None takes a free one) and a lock of its own, so two supplies never wait for each other;
every argument is checked before the first byte goes out (TypeError or a ValueError naming the
argument and its range).

Safety: before a Supply switches the output on it arms the supply's watchdog (watchdog_ms=1000;
0 turns this dead-man off, unsafe) and a heartbeat feeds it, so SIGKILL or a pulled cable leave
the output on for one period at most. The session that switched the output on switches it off
when its with block ends, at close(), on SIGINT, SIGTERM, SIGHUP and SIGQUIT, at exit and when
a dropped Supply is collected (keep_output=True: a deliberate close() leaves it on, unguarded);
a read-only session sends nothing; a forked child never touches its parent's supplies. After an
outage (a lost port, a watchdog gone a period unfed) the output is presumed off: what ran ends
at zero, and only a new request switches it on again.

For lab scripts: Supply.ramp_to(volts, rate) ramps with a status check after every step (a trip
is the trip action, then K7340TripError), Supply.condition backs off and retries after trips,
Supply.clear_faults() acknowledges latched faults, k7340.testing runs a simulated supply for
tests, and `python -m k7340` (the console script k7340) has monitor, log, plot, ramp,
condition, run (plans: several supplies as one system), off, clear-faults, gui, ports and info.
See docs/using-python.md and docs/plans.md.
"""

from ._version import __version__  # noqa: F401
from .binding import *  # noqa: F401,F403 (the binding's public names are the package's)
from .binding import __all__ as _binding_names
from .session import Group, Plan, Session, Supply  # noqa: F401

__all__ = ["Supply", "Session", "Group", "Plan"] + [
    name for name in _binding_names if name != "Device"
]
