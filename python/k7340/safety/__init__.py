"""The safety core, the package's second layer: ownership and the switch-off sequence
(ownership.py), the dead-man and the outage rule's clock (deadman.py), every way out
(wayout.py: signals, forks, exit), reconnects that never energise (reconnect.py), what the
status and fault bits mean (status.py), and SafeDevice, a device slot with all of them
(device.py). It builds on the binding only; the lab and the session build on it."""

from .deadman import DEFAULT_WATCHDOG_MS, MAX_WATCHDOG_MS, MIN_WATCHDOG_MS, checked_watchdog_ms
from .device import SafeDevice
from .status import Reading, fault_names, refusal, status_text
from .wayout import StopFlag, handle_signals, on_stop, zero_all

__all__ = [
    "DEFAULT_WATCHDOG_MS",
    "MIN_WATCHDOG_MS",
    "MAX_WATCHDOG_MS",
    "checked_watchdog_ms",
    "SafeDevice",
    "Reading",
    "fault_names",
    "refusal",
    "status_text",
    "StopFlag",
    "handle_signals",
    "on_stop",
    "zero_all",
]
