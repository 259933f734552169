"""The Supply class: one open device slot of the library, used as a context manager."""

import atexit
import collections
import ctypes
import sys
import warnings

from . import guards, library, slots
from .slots import MAX_DEVICES
from .eeprom import EEPROM_SIZE, Eeprom
from .errors import ERR_CLOSED, OPEN_WARNINGS, K7340Error, K7340Warning
from .flags import FaultFlags, StatusFlags

METER_VOLTAGE = 0  # volts
METER_CURRENT = 1  # microamperes
METER_TEMPERATURE = 2
METER_TEN_BIT = 3  # a ten-bit reading scaled to 0 .. 5.0

# At or above this setpoint the supply's output is on.
OUTPUT_ON_VOLTS = 20.0
# The library takes ranges in these bounds; the watchdog period tops out at 2550 ms.
VRANGE_BOUNDS = (1000, 60000)
IRANGE_BOUNDS = (10, 500)
WATCHDOG_MAX_MS = 2550
READ_PORT_MAX = 65536

Ranges = collections.namedtuple("Ranges", "vrange irange")
Ranges.__doc__ = "Full-scale output voltage in volts and full-scale current in microamperes."


def api_version():
    """The library's version text, e.g. "2.0.0". Needs no supply."""
    return slots.call(library.load(), "K7340_GetApiVersion").decode("ascii")


def error_text(code):
    """The library's text for any code ("System error" for codes it does not know)."""
    code = guards.integer("code", code)
    return slots.call(library.load(), "K7340_GetErrString", code).decode("ascii")


class Supply:
    """A supply on a COM port, opened in a library device slot of its own.

    ``Supply(com_port=0)`` opens COM1 (on Linux the device in K7340_COM1, else /dev/ttyS0);
    ``Supply(port="/dev/ttyUSB0")`` or ``Supply(port="COM7")`` opens that device. The open reads
    the supply's EEPROM. A blank or out-of-range EEPROM gives a :class:`K7340Warning` and the
    default ranges; every other failure raises :class:`K7340Error` naming the device tried.
    Whatever goes wrong in the constructor, the slot is closed before the exception leaves.

    ``index`` is the library slot, 0..7; left out, the lowest slot that no open Supply holds.

    Leaving a ``with`` block (normally or by an exception) and ``close()`` switch the output off
    with a zero setpoint first, if this object switched it on (a setpoint of 20 V or more, or
    any raw write_port), unless it was made with ``keep_output=True``. A session that only reads
    leaves the output as it found it. Supplies still open when Python exits are closed the same
    way.

    ``max_volts`` lowers the highest setpoint that set_voltage accepts below the supply's
    ``vrange``.
    """

    def __init__(self, com_port=None, index=None, *, port=None, max_volts=None,
                 keep_output=False):
        self._lib = library.load()
        self._closed = True
        self._index = None
        self._output_switched_on = False
        self._setpoint = 0.0
        self.keep_output = bool(keep_output)
        self.max_volts = None
        if max_volts is not None:
            self.max_volts = guards.real("max_volts", max_volts, OUTPUT_ON_VOLTS,
                                          VRANGE_BOUNDS[1], "V")
        path = None
        if port is not None:
            if com_port is not None:
                raise ValueError("give com_port or port, not both")
            com_port, path = slots.parse_port(port)
        elif com_port is None:
            com_port = 0
        else:
            com_port = guards.integer("com_port", com_port, 0, slots.MAX_COM_PORT)
        self._com_port = com_port
        self.port = path if path is not None else slots.device_name(com_port)
        with slots.LOCK:
            self._index = slots.claim(index, self)
            try:
                self._open(path)
            except BaseException:
                self._closed = True
                slots.release(self._index, self)
                # A failure after the port opened leaves the slot open and the port taken.
                self._lib.K7340_CloseDevice(self._index)
                raise

    def _open(self, path):
        if path is None:
            code = self._lib.K7340_OpenDevice(self._index, self._com_port)
        else:
            with slots.mapped(path) as mapped_port:
                code = self._lib.K7340_OpenDevice(self._index, mapped_port)
        if code != 0 and code not in OPEN_WARNINGS:
            raise K7340Error(code, error_text(code), "K7340_OpenDevice", device=self.port)
        self._closed = False
        self.eeprom = Eeprom(self)
        if code in OPEN_WARNINGS:
            warnings.warn(K7340Warning(code, error_text(code)), stacklevel=3)

    # --- life ---------------------------------------------------------------------------------

    def close(self):
        """Switches the output off if this object switched it on (unless keep_output), then
        closes the slot and releases the port. Closing twice does nothing. If the zero setpoint
        cannot be sent, the slot is still closed and K7340Error says the output may still be
        on."""
        with slots.LOCK:
            if self._closed:
                return
            failed = None
            if self._output_switched_on and not self.keep_output:
                code = self._lib.K7340_SetVoltage(self._index, 0.0)
                if code != 0:
                    failed = K7340Error(
                        code, error_text(code), "K7340_SetVoltage", device=self.port,
                        note="the zero setpoint could not be sent: the output may still be on")
            self._closed = True
            slots.release(self._index, self)
            code = self._lib.K7340_CloseDevice(self._index)
            if failed is not None:
                raise failed
            self._check("K7340_CloseDevice", code)

    @property
    def closed(self):
        return self._closed

    @property
    def index(self):
        """The library slot this object holds (read-only)."""
        return self._index

    @property
    def com_port(self):
        """The COM port number, 0 = COM1 (a device path is mapped to one for the open)."""
        return self._com_port

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._closed else "open"
        return "<Supply port=%s index=%s %s>" % (self.port, self._index, state)

    def _check(self, call, code):
        if code != 0:
            raise K7340Error(code, error_text(code), call)

    def library_call(self, name, *args):
        """One library call on this object's slot (the slot index goes first) under the lock;
        a non-zero code raises K7340Error."""
        with slots.LOCK:
            # A closed object must not drive the slot: another Supply may have reopened it since.
            if self._closed:
                raise K7340Error(ERR_CLOSED, error_text(ERR_CLOSED), name)
            code = getattr(self._lib, name)(self._index, *args)
        self._check(name, code)

    # --- output -------------------------------------------------------------------------------

    @property
    def volts_limit(self):
        """The highest setpoint set_voltage accepts: max_volts if given, at most vrange."""
        vrange = self.ranges.vrange
        return vrange if self.max_volts is None else min(self.max_volts, vrange)

    @property
    def setpoint(self):
        """The last setpoint in volts this object sent successfully (0.0 after opening). It is
        what the object asked for, not a reading: a supply driven by someone else meanwhile
        may be elsewhere."""
        return self._setpoint

    def checked_volts(self, volts, name="volts"):
        """volts as a float if set_voltage would take it; else TypeError or K7340ArgumentError
        naming name and the range 0..volts_limit. Sends nothing."""
        limit = self.volts_limit
        why = "max_volts" if self.max_volts is not None and limit == self.max_volts else "vrange"
        return guards.real(name, volts, 0.0, limit, "V", "K7340_SetVoltage", why)

    def set_voltage(self, volts):
        """Sets the output: below 20.0 V it is switched off, otherwise it is on at that voltage.
        A value that is not a real number raises TypeError; NaN, infinities, negative values
        and values above volts_limit raise ValueError. Nothing is sent when it refuses."""
        value = self.checked_volts(volts)
        if value >= OUTPUT_ON_VOLTS:
            self._output_switched_on = True
        self.library_call("K7340_SetVoltage", value)
        self._setpoint = value

    def output_off(self):
        """Switches the output off (a zero setpoint)."""
        self.set_voltage(0.0)

    def ramp_to(self, volts, rate, *, step=0.05, progress=None, start=None):
        """Moves the setpoint from ``setpoint`` (or ``start``) to ``volts`` at ``rate`` volts
        per second: one setpoint every ``step`` seconds on a steady schedule, never ahead of
        the rate, the last one exactly ``volts``. ``progress(volts_now)`` is called after each
        step. Blocks until the ramp ends.

        After each step the status of the setpoint's reply is checked: over-voltage,
        over-current, over-temperature or the fault bit switch the output off and raise
        K7340TripError naming the bits. A KeyboardInterrupt switches the output off and
        propagates. An exception raised by ``progress`` (or a failed exchange) stops the ramp
        at the last setpoint sent and propagates; the output stays there. Arguments are
        checked before anything is sent: volts and start as for set_voltage, rate and step
        finite and above 0."""
        from ..lab.ramp import ramp  # the lab tools build on the binding, not the reverse

        ramp(self, volts, rate, step, progress, start)

    def set_watchdog_ms(self, milliseconds):
        """Watchdog period 0..2550 ms, rounded up to 10 ms units; 0 turns it off."""
        self.library_call("K7340_SetWD", guards.integer("milliseconds", milliseconds, 0,
                                                  WATCHDOG_MAX_MS, "K7340_SetWD"))

    def set_limits(self, first_percent, second_percent):
        """The supply's two limit levels in percent of full scale, 0..100 each."""
        self.library_call(
            "K7340_SetLimits",
            guards.integer("first_percent", first_percent, 0, 100, "K7340_SetLimits"),
            guards.integer("second_percent", second_percent, 0, 100, "K7340_SetLimits"),
        )

    def reset(self):
        """Output off, then the reset command; blocks for about one second."""
        self.library_call("K7340_Reset")
        self._setpoint = 0.0

    # --- meters -------------------------------------------------------------------------------

    def read_meter(self, channel):
        """Meter channel 0 volts, 1 microamperes, 2 temperature, 3 ten-bit reading 0..5.0."""
        channel = guards.integer("channel", channel, 0, 3, "K7340_ReadMeter")
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
        channel = guards.integer("channel", channel, 0, 2, "K7340_ReadRawMeter")
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

    @property
    def faults(self):
        """Fault byte: asks the supply (fault query and its follow-up command)."""
        value = ctypes.c_int()
        self.library_call("K7340_GetFaultFlags", ctypes.byref(value))
        return FaultFlags(value.value)

    @property
    def firmware_version(self):
        """The supply's firmware revision, 0 to 65535 (the panel shows it as 4 hex digits)."""
        value = ctypes.c_int()
        self.library_call("K7340_GetFwVersion", ctypes.byref(value))
        return value.value

    # --- ranges -------------------------------------------------------------------------------

    @property
    def ranges(self):
        """The ranges in force (from the EEPROM at open, or the defaults 60000 V, 500 uA)."""
        vrange, irange = ctypes.c_int(), ctypes.c_int()
        self.library_call("K7340_GetRanges", ctypes.byref(vrange), ctypes.byref(irange))
        return Ranges(vrange.value, irange.value)

    def set_ranges(self, vrange, irange):
        """Adopts new ranges (1000..60000 V, 10..500 uA) and programs them into the EEPROM
        with a fresh checksum: six EEPROM writes, 100 ms or more each."""
        self.library_call("K7340_SetRanges",
                   guards.integer("vrange", vrange, *VRANGE_BOUNDS, call="K7340_SetRanges"),
                   guards.integer("irange", irange, *IRANGE_BOUNDS, call="K7340_SetRanges"))

    # --- raw port -----------------------------------------------------------------------------

    def write_port(self, data):
        """Writes bytes-like data (or an iterable of whole numbers 0..255) to the port as it
        is: no framing. Raw bytes may carry any command, so closing counts the output as
        switched on afterwards."""
        data = guards.byte_values("data", data)
        buffer = (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0")
        self._output_switched_on = True
        self.library_call("K7340_WritePort", buffer, len(data))

    def read_port(self, count):
        """Reads up to count (1..65536) bytes, about 100 ms at most; raises if none arrived."""
        count = guards.integer("count", count, 1, READ_PORT_MAX, "K7340_ReadPort")
        buffer = (ctypes.c_ubyte * count)()
        got = ctypes.c_int(count)
        self.library_call("K7340_ReadPort", buffer, ctypes.byref(got))
        return bytes(buffer[: got.value])


@atexit.register
def _close_at_exit():
    """A script that ends with supplies still open (an uncaught exception, a forgotten close)
    leaves no output on that it switched on."""
    for supply in slots.open_supplies():
        try:
            supply.close()
        except Exception as exc:  # nothing else can report it now
            print("k7340: closing %s at exit: %s" % (supply.port, exc), file=sys.stderr)
