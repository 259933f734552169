"""Python binding of the k7340 device library for the 7340 high-voltage power supply.

    import k7340

    with k7340.Supply(com_port=0) as psu:     # or Supply(port="/dev/ttyUSB0"), port="COM7"
        psu.set_voltage(1000.0)              # at or above 20 V the output is on
        print(psu.read_voltage(), psu.status)
    # leaving the block (an exception too) set the output to zero before closing

The package in parts: k7340.binding (Supply: one library slot, its errors, flags and EEPROM),
k7340.safety (the dead-man, every way out, reconnects, the poll), k7340.lab (ramp, conditioning,
the flight recorder), k7340.cli (the console tools), k7340.tango and k7340.pymeasure. Every
non-zero code becomes a K7340Error carrying the code and the library's text. Each Supply holds a
library slot of its own (index=None takes a free one) and a lock of its own, so two supplies
never wait for each other; every argument is checked before the first byte goes out (TypeError
or a ValueError naming the argument and its range).

Safety: before a Supply switches the output on it arms the supply's watchdog (watchdog_ms=1000;
0 turns this dead-man off, unsafe) and a heartbeat feeds it, so SIGKILL or a pulled cable leave
the output on for one period at most. The session that switched the output on switches it off
when its with block ends, at close(), on SIGINT, SIGTERM, SIGHUP and SIGQUIT, at exit and when
a dropped Supply is collected (keep_output=True: a deliberate close() leaves it on, unguarded);
a read-only session sends nothing; a forked child never touches its parent's supplies.

For lab scripts: Supply.ramp_to(volts, rate) ramps with a status check after every step
(K7340TripError on over-voltage, over-current, over-temperature or a fault), Supply.condition
backs off and retries after trips, k7340.testing runs a simulated supply for tests, and
`python -m k7340` (the console script k7340) has monitor, log, plot, ramp, condition, gui,
ports and info. See docs/using-python.md.
"""

from .binding import *  # noqa: F401,F403 (the binding's public names are the package's)
from .binding import __all__  # noqa: F401 (from k7340 import * gives them)

__version__ = "2.0.0"
