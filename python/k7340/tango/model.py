"""What the Tango device decides, without Tango: its properties (declared here, once), and its
state and Status text from what the poll saw. Kept apart so that it reads on its own."""

import collections
import math
import os
import re

from ..binding.flags import StatusFlags
from ..binding.ports import parse_port
from ..lab.ramp import MAX_RATE
from ..safety.deadman import MAX_WATCHDOG_MS, MIN_WATCHDOG_MS, checked_watchdog_ms
from ..safety.status import ALARM_BITS, fault_names, status_text
from ..session import TRIP_ACTIONS

WATCHDOG_MS = (MIN_WATCHDOG_MS, MAX_WATCHDOG_MS)
RAMP_RATE = (1.0, MAX_RATE)  # V/s: 60000 V takes at most 17 hours at the lowest rate


def _integer(low, high):
    def parse(text):
        value = int(text, 0)
        return value if low <= value <= high else None

    return parse


def _real(low, high, zero=False):
    def parse(text):
        value = float(text)
        ok = math.isfinite(value) and (low <= value <= high or (zero and value == 0))
        return value if ok else None

    return parse


def _watchdog(text):
    return checked_watchdog_ms(int(text, 0), "WatchdogMs")


def _record_dir(text):
    """RecordDir: empty (the server's working directory) or a folder the server can write."""
    if text and not (os.path.isdir(text) and os.access(text, os.W_OK)):
        return None
    return text


def _trip_action(text):
    return text if text in TRIP_ACTIONS else None


def _port_path(text):
    if text:
        parse_port(text)  # a COM name outside COM1..COM256 raises, naming the range
    return text


Property = collections.namedtuple("Property", "parse default allowed doc")

# Every device property, declared once: the device class makes its Tango declarations from
# this table. Tango hands each value over as text; parse turns it into the value or None.
PROPERTIES = collections.OrderedDict(
    [
        (
            "ComPort",
            Property(
                _integer(-1, 255),
                "-1",
                "0..255 (0 = COM1), -1: not set",
                "COM port number, 0 = COM1; -1: not set",
            ),
        ),
        (
            "PortPath",
            Property(
                _port_path,
                "",
                "a device path or COM1..COM256",
                "device path (/dev/ttyUSB0, /dev/serial/by-id/...) or COMn",
            ),
        ),
        (
            "MaxVolts",
            Property(
                _real(20.0, 60000.0, zero=True),
                "0",
                "0 (the supply's vrange) or 20..60000 V",
                "highest setpoint in volts; 0: the supply's vrange",
            ),
        ),
        ("PollPeriodMs", Property(_integer(20, 10000), "200", "20..10000 ms", "poll period in ms")),
        (
            "RampRate",
            Property(
                _real(*RAMP_RATE),
                "100",
                "%g..%g V/s" % RAMP_RATE,
                "RampTo's rate in V/s until the RampRate attribute is written",
            ),
        ),
        (
            "WatchdogMs",
            Property(
                _watchdog,
                "1000",
                "0 (off: unsafe) or %d..%d ms" % WATCHDOG_MS,
                "the supply's watchdog (dead-man) period in ms; 0 turns it off, "
                "which leaves the output on if the server dies",
            ),
        ),
        (
            "OnTrip",
            Property(
                _trip_action,
                "off",
                " or ".join(TRIP_ACTIONS),
                "what a trip does: off (the zero setpoint at once) or ramp-down (to zero at "
                "RampRate, after over-current alone; anything else is off)",
            ),
        ),
        (
            "RecordDir",
            Property(
                _record_dir,
                "",
                "a writable folder, or empty: the server's " "working directory",
                "where the flight recorder writes the readings "
                "before a trip, fault, watchdog run-out or lost link",
            ),
        ),
    ]
)

# The status bits as boolean attributes, named after the panel's indicator labels.
STATUS_BIT_ATTRIBUTES = [
    ("Status" + label, flag)
    for flag, label in (
        (StatusFlags.OVER_VOLTAGE, "OverV"),
        (StatusFlags.OVER_CURRENT, "OverI"),
        (StatusFlags.ENABLE, "Enable"),
        (StatusFlags.EEPROM_BUSY, "EEBusy"),
        (StatusFlags.FAULT, "Fault"),
        (StatusFlags.OVER_TEMPERATURE, "OverT"),
        (StatusFlags.COM_ERROR, "ComErr"),
        (StatusFlags.RESET, "Reset"),
    )
]


class ConfigurationError(ValueError):
    """A device property that the server cannot work with; the text says which and why."""


def check_properties(values, present=()):
    """values: name -> the text Tango gave (None: not set); present: every property name set
    for the device in the database. Returns name -> value; raises ConfigurationError naming
    the first property that is wrong and what it allows."""
    known = {name.lower() for name in PROPERTIES}  # Tango's property names ignore case
    unknown = sorted(name for name in present if name.lower() not in known)
    if unknown:
        raise ConfigurationError(
            "unknown device propert%s %s (known: %s)"
            % ("y" if len(unknown) == 1 else "ies", ", ".join(unknown), ", ".join(PROPERTIES))
        )
    checked = {}
    for name, prop in PROPERTIES.items():
        text = values.get(name)
        text = prop.default if text is None else str(text).strip()
        try:
            value = prop.parse(text)
        except ValueError as exc:
            raise ConfigurationError(
                "property %s = %s: must be %s (%s)" % (name, text, prop.allowed, exc)
            ) from None
        if value is None:
            raise ConfigurationError("property %s = %s: must be %s" % (name, text, prop.allowed))
        checked[name] = value
    if checked["ComPort"] >= 0 and checked["PortPath"]:
        raise ConfigurationError("properties ComPort and PortPath are both set: give one")
    if checked["ComPort"] < 0 and not checked["PortPath"]:
        raise ConfigurationError("no port: set the property ComPort (0 = COM1) or PortPath")
    return checked


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


def fault_labels(faults):
    """The FaultBits attribute: the fault byte that the last ClearFaults read, in the safety
    core's words (the bits without a meaning as "bit 0x02")."""
    return fault_names(int(faults or 0))


def state_of(reading, running, down=None, blocked=None, pending_off=False):
    """(state name, Status text). reading: the last poll's k7340.safety Reading; running: an
    operation (a ramp, a conditioning run) holds the output, which is MOVING until it ends
    (conditioning backs off from over-voltage and over-current itself); down: why the link
    is down (None while it is up); blocked: what blocks every command (another supply found
    behind the port, a property the supply refused). State names are Tango's DevState
    names."""
    if blocked:
        return "FAULT", blocked
    if down:
        pending = (
            "; an Off is pending: it is sent first once the same supply answers again"
            if pending_off
            else ""
        )
        return (
            "UNKNOWN",
            "%s: reconnecting; only Off is accepted until the same supply "
            "answers again%s" % (down, pending),
        )
    if reading is None:
        return "UNKNOWN", "Connecting"
    status = StatusFlags(reading.status)
    if running:
        return "MOVING", "Running: output %.1f V, status %s" % (reading.volts, status_text(status))
    if StatusFlags.FAULT in status:
        return "FAULT", "Fault bit set; ClearFaults acknowledges it (it reads the fault byte)"
    if status & ALARM_BITS:
        return "ALARM", "Alarm: %s" % status_text(status & ALARM_BITS)
    if StatusFlags.ENABLE in status:
        return "ON", "The output is on: %.1f V, %.3f uA" % (reading.volts, reading.microamps)
    return "OFF", "The output is off"
