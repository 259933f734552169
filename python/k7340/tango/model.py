"""What the Tango device decides, without Tango: its properties, its state and status text
from one poll of the supply. Kept apart so that it reads (and is tested) on its own."""

import collections
import math
import re

from ..binding.flags import FaultFlags, StatusFlags

# Device properties: name -> (type, default, check of a value, what the check allows).
PROPERTIES = collections.OrderedDict([
    ("ComPort", (int, -1, lambda v: v >= -1, "a COM port number, 0 = COM1 (-1: not set)")),
    ("PortPath", (str, "", lambda v: True, "a device path such as /dev/ttyUSB0")),
    ("MaxVolts", (float, 0.0, lambda v: v == 0 or 20 <= v <= 60000,
                  "0 (the supply's vrange) or 20..60000 V")),
    ("PollPeriodMs", (int, 200, lambda v: 20 <= v <= 10000, "20..10000 ms")),
    ("RampRate", (float, 100.0, lambda v: math.isfinite(v) and v > 0, "above 0 V/s")),
    ("WatchdogMs", (int, 0, lambda v: 0 <= v <= 2550, "0 (off) or 10..2550 ms")),
])

ALARM_BITS = StatusFlags.OVER_VOLTAGE | StatusFlags.OVER_CURRENT | StatusFlags.OVER_TEMPERATURE

# The status bits as boolean attributes, named after the panel's indicator labels.
STATUS_BIT_ATTRIBUTES = [("Status" + label, flag) for flag, label in (
    (StatusFlags.OVER_VOLTAGE, "OverV"), (StatusFlags.OVER_CURRENT, "OverI"),
    (StatusFlags.ENABLE, "Enable"), (StatusFlags.EEPROM_BUSY, "EEBusy"),
    (StatusFlags.FAULT, "Fault"), (StatusFlags.OVER_TEMPERATURE, "OverT"),
    (StatusFlags.COM_ERROR, "ComErr"), (StatusFlags.RESET, "Reset"))]


class ConfigurationError(ValueError):
    """A device property that the server cannot work with; the text says which and why."""


def check_properties(values, present=()):
    """values: name -> value as Tango gave them; present: every property name set for the
    device in the database. Returns the values; raises ConfigurationError naming the first
    problem."""
    known = {name.lower() for name in PROPERTIES}  # Tango's property names ignore case
    unknown = sorted(name for name in present if name.lower() not in known)
    if unknown:
        raise ConfigurationError("unknown device propert%s %s (known: %s)" % (
            "y" if len(unknown) == 1 else "ies", ", ".join(unknown), ", ".join(PROPERTIES)))
    for name, (kind, _, allowed, what) in PROPERTIES.items():
        value = values[name]
        if not allowed(kind(value)):
            raise ConfigurationError("property %s = %r: must be %s" % (name, value, what))
    if values["ComPort"] >= 0 and values["PortPath"]:
        raise ConfigurationError("properties ComPort and PortPath are both set: give one")
    if values["ComPort"] < 0 and not values["PortPath"]:
        raise ConfigurationError("no port: set the property ComPort (0 = COM1) or PortPath")
    watchdog, period = values["WatchdogMs"], values["PollPeriodMs"]
    if watchdog and watchdog <= period:
        raise ConfigurationError("property WatchdogMs = %d must be longer than PollPeriodMs = %d"
                                 " (the polls are what keeps the watchdog fed)" % (watchdog, period))
    return values


def file_database_properties(path, device):
    """The device property names that a Tango file database (-file=) sets for device."""
    pattern = re.compile(r"\s*([^\s#]+)->([^:\s]+)\s*:")
    names = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            match = pattern.match(line)
            if match and match.group(1).lower() == device.lower():
                names.append(match.group(2))
    return names


Reading = collections.namedtuple("Reading", "volts microamps temperature status faults")


def state_of(reading, ramping, error=None):
    """(state name, status text) for a poll's reading, or for the error of a poll that got no
    reading. State names are Tango's DevState names."""
    if reading is None:
        return "UNKNOWN", "The supply does not answer: %s" % error
    status, faults = StatusFlags(reading.status), FaultFlags(reading.faults)
    if StatusFlags.FAULT in status or int(faults):
        labels = ", ".join(faults.labels()) or "0x%02X" % int(faults)
        return "FAULT", "Fault: the supply reports faults %s" % labels
    if status & ALARM_BITS:
        return "ALARM", "Alarm: %s" % ", ".join(StatusFlags(status & ALARM_BITS).labels())
    if ramping:
        return "MOVING", "Ramping: output %.1f V" % reading.volts
    if StatusFlags.ENABLE in status:
        return "ON", "The output is on: %.1f V, %.3f uA" % (reading.volts, reading.microamps)
    return "OFF", "The output is off"
