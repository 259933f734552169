"""The Supply class: one open device slot of the library, used as a context manager."""

import collections
import ctypes
import operator
import warnings

from . import _library
from .errors import ERR_CLOSED, OPEN_WARNINGS, K7340Error, K7340Warning
from .flags import FaultFlags, StatusFlags

MAX_DEVICES = 8
EEPROM_SIZE = 128

METER_VOLTAGE = 0  # volts
METER_CURRENT = 1  # microamperes
METER_TEMPERATURE = 2
METER_TEN_BIT = 3  # a ten-bit reading scaled to 0 .. 5.0

Ranges = collections.namedtuple("Ranges", "vrange irange")
Ranges.__doc__ = "Full-scale output voltage in volts and full-scale current in microamperes."


def api_version():
    """The library's version text, e.g. "2.0.0". Needs no supply."""
    return _library.load().K7340_GetApiVersion().decode("ascii")


def error_text(code):
    """The library's text for any code ("System error" for codes it does not know)."""
    return _library.load().K7340_GetErrString(_int32("code", code)).decode("ascii")


def _int32(name, value, low=-(2**31), high=2**31 - 1):
    # ctypes silently keeps the low 32 bits of a Python int: 2**32 + 5 would arrive as 5.
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError("%s %d does not fit the library's %d..%d" % (name, value, low, high))
    return value


class Supply:
    """A supply on a COM port, opened in a library device slot.

    ``Supply(com_port=0)`` opens COM1 (on Linux the device in K7340_COM1, else /dev/ttyS0) in
    slot 0 and loads the supply's EEPROM. A blank or out-of-range EEPROM gives a
    :class:`K7340Warning` and the default ranges; every other failure raises
    :class:`K7340Error`, after closing the slot so that the port is free again.

    Closing (``close()`` or the end of a ``with`` block) sends nothing: the output stays as it
    was. Call ``set_voltage(0)`` first to switch it off.
    """

    def __init__(self, com_port=0, index=0):
        self._lib = _library.load()
        self.com_port = _int32("com_port", com_port)
        self.index = _int32("index", index)
        self._closed = True
        code = self._lib.K7340_OpenDevice(self.index, self.com_port)
        if code in OPEN_WARNINGS:
            warnings.warn(K7340Warning(code, error_text(code)), stacklevel=2)
        elif code != 0:
            # A failure after the port opened leaves the slot open and the port taken.
            self._lib.K7340_CloseDevice(self.index)
            raise K7340Error(code, error_text(code), "K7340_OpenDevice")
        self._closed = False
        self.eeprom = Eeprom(self)

    # --- life ---------------------------------------------------------------------------------

    def close(self):
        """Closes the slot and releases the port. Closing twice does nothing."""
        if self._closed:
            return
        self._closed = True
        self._check("K7340_CloseDevice", self._lib.K7340_CloseDevice(self.index))

    @property
    def closed(self):
        return self._closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._closed else "open"
        return "<Supply com_port=%d index=%d %s>" % (self.com_port, self.index, state)

    def _check(self, call, code):
        if code != 0:
            raise K7340Error(code, error_text(code), call)

    def _call(self, name, *args):
        # A closed object must not drive the slot: another Supply may have reopened it since.
        if self._closed:
            raise K7340Error(ERR_CLOSED, error_text(ERR_CLOSED), name)
        self._check(name, getattr(self._lib, name)(self.index, *args))

    # --- output -------------------------------------------------------------------------------

    def set_voltage(self, volts):
        """Sets the output: below 20.0 V it is switched off, otherwise it is on at that voltage
        (clamped to the voltage range). NaN is refused (code -2)."""
        self._call("K7340_SetVoltage", float(volts))

    def output_off(self):
        """Switches the output off (a zero setpoint)."""
        self.set_voltage(0.0)

    def set_watchdog_ms(self, milliseconds):
        """Watchdog period, rounded up to 10 ms units; 0 turns it off, above 2550 gives 2550."""
        self._call("K7340_SetWD", _int32("milliseconds", milliseconds, 0, 2**32 - 1))

    def set_limits(self, first_percent, second_percent):
        """The supply's two limit levels in percent of full scale (0 to 100)."""
        self._call(
            "K7340_SetLimits",
            _int32("first_percent", first_percent),
            _int32("second_percent", second_percent),
        )

    def reset(self):
        """Output off, then the reset command; blocks for about one second."""
        self._call("K7340_Reset")

    # --- meters -------------------------------------------------------------------------------

    def read_meter(self, channel):
        """Meter channel 0 volts, 1 microamperes, 2 temperature, 3 ten-bit reading 0..5.0."""
        value = ctypes.c_double()
        self._call("K7340_ReadMeter", _int32("channel", channel), ctypes.byref(value))
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
        value = ctypes.c_int(0)
        self._call("K7340_ReadRawMeter", _int32("channel", channel), ctypes.byref(value))
        return value.value

    # --- flags and identity -------------------------------------------------------------------

    @property
    def status(self):
        """Status byte of the supply's most recent reply (no exchange)."""
        value = ctypes.c_int()
        self._call("K7340_GetStatusFlags", ctypes.byref(value))
        return StatusFlags(value.value)

    @property
    def faults(self):
        """Fault byte: asks the supply (fault query and its follow-up command)."""
        value = ctypes.c_int()
        self._call("K7340_GetFaultFlags", ctypes.byref(value))
        return FaultFlags(value.value)

    @property
    def firmware_version(self):
        """The supply's firmware revision, 0 to 65535 (the panel shows it as 4 hex digits)."""
        value = ctypes.c_int()
        self._call("K7340_GetFwVersion", ctypes.byref(value))
        return value.value

    # --- ranges -------------------------------------------------------------------------------

    @property
    def ranges(self):
        """The ranges in force (from the EEPROM at open, or the defaults 60000 V, 500 uA)."""
        vrange, irange = ctypes.c_int(), ctypes.c_int()
        self._call("K7340_GetRanges", ctypes.byref(vrange), ctypes.byref(irange))
        return Ranges(vrange.value, irange.value)

    def set_ranges(self, vrange, irange):
        """Adopts new ranges (1000..60000 V, 10..500 uA) and programs them into the EEPROM
        with a fresh checksum: six EEPROM writes, 100 ms or more each."""
        self._call("K7340_SetRanges", _int32("vrange", vrange), _int32("irange", irange))

    # --- raw port -----------------------------------------------------------------------------

    def write_port(self, data):
        """Writes bytes to the port as they are: no framing."""
        data = bytes(data)
        buffer = (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0")
        self._call("K7340_WritePort", buffer, len(data))

    def read_port(self, count):
        """Reads up to count bytes (about 100 ms at most); raises if none arrived."""
        count = _int32("count", count)
        buffer = (ctypes.c_ubyte * max(1, count))()
        got = ctypes.c_int(count)
        self._call("K7340_ReadPort", buffer, ctypes.byref(got))
        return bytes(buffer[: got.value])


class Eeprom:
    """The supply's 128-byte EEPROM, one exchange per byte: ``psu.eeprom[64]``,
    ``psu.eeprom[64:68]``, ``psu.eeprom[10] = 0x5A``, ``bytes(psu.eeprom)``.

    Writes go to the supply only; the library's copy read at open (from which set_ranges
    computes the checksum) is not changed. An integer address outside 0..127 is refused by the
    library (code -2); negative addresses do not count from the end.
    """

    def __init__(self, supply):
        self._supply = supply

    def __len__(self):
        return EEPROM_SIZE

    def __getitem__(self, address):
        if isinstance(address, slice):
            return bytes(self._read(a) for a in range(*address.indices(EEPROM_SIZE)))
        return self._read(address)

    def __setitem__(self, address, value):
        if isinstance(address, slice):
            addresses = range(*address.indices(EEPROM_SIZE))
            values = bytes(value)
            if len(values) != len(addresses):
                raise ValueError("%d bytes for %d addresses" % (len(values), len(addresses)))
            for a, v in zip(addresses, values):
                self._write(a, v)
            return
        self._write(address, value)

    def __iter__(self):
        return (self._read(a) for a in range(EEPROM_SIZE))

    def __bytes__(self):
        return self[:]

    def _read(self, address):
        value = ctypes.c_ubyte()
        self._supply._call("K7340_GetEEPROM", _int32("address", address), ctypes.byref(value))
        return value.value

    def _write(self, address, value):
        value = operator.index(value)
        if not 0 <= value <= 255:
            # The library would keep the low 8 bits; a byte store should not wrap silently.
            raise ValueError("EEPROM byte %d is outside 0..255" % value)
        self._supply._call("K7340_SetEEPROM", _int32("address", address), value)
