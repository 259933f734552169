"""The calls of a Supply that the safety rules watch besides the setpoint: the watchdog period,
the reset, EEPROM range writes (refused while the output is on) and raw writes (which count as
switching the output on). Supply (supply.py) adds the open, the setpoint and the way out."""

import ctypes

from ..safety import deadman
from ..safety.deadman import checked_watchdog_ms
from . import guards
from .errors import K7340ArgumentError, K7340Error
from .flags import StatusFlags

# The library takes ranges in these bounds; the watchdog period tops out at 2550 ms.
VRANGE_BOUNDS = (1000, 60000)
IRANGE_BOUNDS = (10, 500)
WATCHDOG_MAX_MS = 2550


class GuardedCalls:
    """Needs library_call, lock, guard, status, port and note_setpoint from the class that uses
    it."""

    def set_watchdog_ms(self, milliseconds):
        """Watchdog period 0..2550 ms, rounded up to 10 ms units; 0 turns it off. While this
        object holds the output on with the dead-man armed, the new period replaces the
        dead-man's and must be 300..2550 ms."""
        value = guards.integer("milliseconds", milliseconds, 0, WATCHDOG_MAX_MS, "K7340_SetWD")
        with self.lock:
            if self.guard.armed:
                value = checked_watchdog_ms(value, "milliseconds")
                if value == 0:
                    raise K7340ArgumentError(
                        "milliseconds 0 would disarm the dead-man while "
                        "the output is on: switch it off first",
                        "K7340_SetWD",
                    )
                deadman.check_against_line(value, self.guard.slowest_s, self.port, "milliseconds")
                self.library_call("K7340_SetWD", value)
                self.guard.change_period(self, value)
                return
            self.library_call("K7340_SetWD", value)

    def reset(self):
        """Output off, then the reset command (which also stops the supply's watchdog);
        blocks for about one second."""
        with self.lock:
            self.library_call("K7340_Reset")
            self.note_setpoint(0.0)
            self.guard.drop(self)

    def check_eeprom_write(self, call):
        """EEPROM range writes are refused while the output is on (this object's, or as the
        last reply's status says)."""
        if self.guard.owner or StatusFlags.ENABLE in self.status:
            raise K7340Error(
                None,
                "EEPROM writes are refused while the output is on",
                call,
                device=self.port,
                note="switch the output off first",
            )

    def set_ranges(self, vrange, irange):
        """Adopts new ranges (1000..60000 V, 10..500 uA) and programs them into the EEPROM
        with a fresh checksum: six EEPROM writes, 100 ms or more each. Refused while the
        output is on."""
        vrange = guards.integer("vrange", vrange, *VRANGE_BOUNDS, call="K7340_SetRanges")
        irange = guards.integer("irange", irange, *IRANGE_BOUNDS, call="K7340_SetRanges")
        with self.lock:
            self.check_eeprom_write("K7340_SetRanges")
            self.library_call("K7340_SetRanges", vrange, irange)

    def write_port(self, data):
        """Writes bytes-like data (or an iterable of whole numbers 0..255) to the port as it
        is: no framing. Raw bytes may carry any command, so the output counts as switched on
        by this object afterwards (the dead-man is armed first)."""
        data = guards.byte_values("data", data)
        buffer = (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0")
        with self.lock:
            self.guard.before_output_on(self)
            self.library_call("K7340_WritePort", buffer, len(data))
