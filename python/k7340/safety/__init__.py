"""The one safety core of every Python front end (the binding's Supply, the console tools,
the Tango server, the lab tools): the dead-man (deadman.py), who switches the output off and
how (guard.py), every way out (wayout.py: signals, forks, exit), reconnects that never
energise (reconnect.py), the poll with the held fault byte (faults.py) and the Session that
puts them together for programs that run for a while (session.py). The front ends hold no
copy of these policies.
"""

from .deadman import DEFAULT_WATCHDOG_MS, MAX_WATCHDOG_MS, MIN_WATCHDOG_MS, checked_watchdog_ms
from .faults import WATCHDOG_TEXT, Reading, describe_faults
from .wayout import StopFlag, handle_signals, on_stop, zero_all

__all__ = [
    "DEFAULT_WATCHDOG_MS",
    "MIN_WATCHDOG_MS",
    "MAX_WATCHDOG_MS",
    "checked_watchdog_ms",
    "WATCHDOG_TEXT",
    "Reading",
    "describe_faults",
    "StopFlag",
    "handle_signals",
    "on_stop",
    "zero_all",
    "Session",
]


def __getattr__(name):
    # session.py needs the whole binding, which itself needs this package's other modules.
    if name == "Session":
        from .session import Session

        return Session
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
