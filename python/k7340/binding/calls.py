"""The calls of a device slot that read, or set nothing the safety rules watch: meters, flags,
firmware, ranges, limits and raw reads. Device (device.py) adds the open and the setpoint."""

import collections
import ctypes

from . import checks, library, slots
from .flags import FaultFlags, StatusFlags

METER_VOLTAGE = 0  # volts
METER_CURRENT = 1  # microamperes
METER_TEMPERATURE = 2
METER_TEN_BIT = 3  # a ten-bit reading scaled to 0 .. 5.0
READ_PORT_MAX = 65536
LIMIT_STEPS = 63  # a limit level is 0..63 of full scale (63: no limit)

Ranges = collections.namedtuple("Ranges", "vrange irange")
Ranges.__doc__ = "Full-scale output voltage in volts and full-scale current in microamperes."


def api_version():
    """The library's version text, e.g. "2.0.0". Needs no supply."""
    return slots.call(library.load(), "K7340_GetApiVersion").decode("ascii")


def error_text(code):
    """The library's text for any code ("System error" for codes it does not know)."""
    code = checks.integer("code", code)
    return slots.call(library.load(), "K7340_GetErrString", code).decode("ascii")


class SupplyCalls:
    """Needs library_call(name, *args) from the class that uses it."""

    # --- meters -------------------------------------------------------------------------------

    def read_meter(self, channel):
        """Meter channel 0 volts, 1 microamperes, 2 temperature, 3 ten-bit reading 0..5.0."""
        channel = checks.integer("channel", channel, 0, 3, "K7340_ReadMeter")
        value = ctypes.c_double()
        self.library_call("K7340_ReadMeter", channel, ctypes.byref(value))
        return value.value

    def read_voltage(self):
        """Output voltage in volts."""
        return self.read_meter(METER_VOLTAGE)

    def read_current(self):
        """Output current in microamperes."""
        return self.read_meter(METER_CURRENT)

    def read_temperature(self):
        """The supply's temperature reading (0 to 250.0)."""
        return self.read_meter(METER_TEMPERATURE)

    def read_raw_meter(self, channel):
        """Raw 24-bit reading of channel 0 to 2 (channels 0 and 1 keep 23 bits)."""
        channel = checks.integer("channel", channel, 0, 2, "K7340_ReadRawMeter")
        value = ctypes.c_int(0)
        self.library_call("K7340_ReadRawMeter", channel, ctypes.byref(value))
        return value.value

    # --- flags and identity -------------------------------------------------------------------

    @property
    def status(self):
        """Status byte of the supply's most recent reply (no exchange)."""
        value = ctypes.c_int()
        self.library_call("K7340_GetStatusFlags", ctypes.byref(value))
        return StatusFlags(value.value)

    def clear_faults(self):
        """Acknowledges the supply's faults: reads the fault byte (the fault query), after which
        the library always sends the follow-up command, which on the simulated supply clears
        the latched faults (what the supply does with it is the supply's). Returns the
        FaultFlags read. Nothing else in the package reads the fault byte: a poll shows the
        status byte's Fault bit and leaves the latch alone."""
        value = ctypes.c_int()
        self.library_call("K7340_GetFaultFlags", ctypes.byref(value))
        return FaultFlags(value.value)

    @property
    def firmware_version(self):
        """The supply's firmware revision, 0 to 65535 (the panel shows it as 4 hex digits)."""
        value = ctypes.c_int()
        self.library_call("K7340_GetFwVersion", ctypes.byref(value))
        return value.value

    # --- ranges, limits, raw reads -----------------------------------------------------------

    @property
    def ranges(self):
        """The ranges in force (from the EEPROM at open, or the defaults 60000 V, 500 uA)."""
        vrange, irange = ctypes.c_int(), ctypes.c_int()
        self.library_call("K7340_GetRanges", ctypes.byref(vrange), ctypes.byref(irange))
        return Ranges(vrange.value, irange.value)

    def set_limits(self, first_percent, second_percent):
        """The supply's two limit levels in percent of full scale, 0..100 each (whole or not).
        The supply takes each as one of LIMIT_STEPS + 1 levels, 0..63: each percentage goes to
        the nearest level. Returns (first, second), the levels sent, in percent: set_limits(100,
        5) sends levels 63 and 3 and returns (100.0, 4.76...)."""
        levels = [
            limit_level(name, value)
            for name, value in (
                ("first_percent", first_percent),
                ("second_percent", second_percent),
            )
        ]
        self.library_call("K7340_SetLimits", *(library_percent(level) for level in levels))
        return tuple(level * 100.0 / LIMIT_STEPS for level in levels)

    def read_port(self, count):
        """Reads up to count (1..65536) bytes, about 100 ms at most; raises if none arrived."""
        count = checks.integer("count", count, 1, READ_PORT_MAX, "K7340_ReadPort")
        buffer = (ctypes.c_ubyte * count)()
        got = ctypes.c_int(count)
        self.library_call("K7340_ReadPort", buffer, ctypes.byref(got))
        return bytes(buffer[: got.value])


def limit_level(name, percent):
    """A percentage 0..100 as the nearest of the supply's limit levels 0..LIMIT_STEPS."""
    return int(
        round(checks.real(name, percent, 0.0, 100.0, "%", "K7340_SetLimits") * LIMIT_STEPS / 100.0)
    )


def library_percent(level):
    """The whole percentage the library turns into level (it keeps percent * 63 // 100)."""
    return -(-level * 100 // LIMIT_STEPS)
