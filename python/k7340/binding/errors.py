"""Exceptions and warnings raised by the binding, carrying the library's code and text."""

import errno
import os
import sys

from .flags import StatusFlags

OK = 0
ERR_CLOSED = -1
ERR_ARGUMENT = -2
ERR_WRITE = -3
ERR_READ = -4
ERR_CHECKSUM = -5
ERR_COMMAND = -6
ERR_REPLY = -7
ERR_RANGES = -8
ERR_EEPROM_CHECKSUM = -9
ERR_NO_PORT = -10

# An operating-system error that means another program holds the port (the library takes it
# exclusively); Windows says access denied (5).
BUSY_CODES = {errno.EBUSY, errno.EAGAIN, errno.EWOULDBLOCK} | (
    {5} if sys.platform == "win32" else set()
)
BUSY_TEXT = "busy: held by another program"

# An open that ends in one of these leaves the supply open and answering, with the default
# ranges in force: the panel and the utility carry on after them, and so does the binding.
OPEN_WARNINGS = (ERR_RANGES, ERR_EEPROM_CHECKSUM)


def _os_error_text(code):
    """The operating system's own words for a positive code ("System error" says nothing)."""
    if code is None or code <= 0:
        return ""
    if sys.platform == "win32":
        import ctypes

        return ctypes.FormatError(code).strip()
    try:
        return os.strerror(code)
    except ValueError:
        return ""


class K7340Error(Exception):
    """A call of the library returned a non-zero code.

    ``code`` is the library's code (negative) or an operating-system error number
    (positive), None when no library call failed (K7340TripError, an interrupted ramp);
    ``text`` is the library's text for it, as ``K7340_GetErrString`` gives it.

    ``device`` is the port that was tried when an open failed (``/dev/ttyS0``, ``COM3``);
    ``note`` says what the failure means beyond the code (a close whose zero setpoint failed
    says that the output may still be on).
    """

    def __init__(self, code, text, call=None, device=None, note=None):
        self.code = code
        self.text = text
        self.call = call
        self.device = device
        self.note = note
        self.os_text = _os_error_text(code)
        super().__init__(code, text)

    @property
    def busy(self):
        """Another program holds the port."""
        return self.code in BUSY_CODES

    def __str__(self):
        detail = BUSY_TEXT if self.busy else self.text
        if self.os_text:
            detail += " (%s)" % self.os_text
        if self.device:
            detail = "%s: %s" % (self.device, detail)
        where = " in %s" % self.call if self.call else ""
        if self.code is None:  # no library call failed (a trip, an interrupted ramp)
            text = detail + where
        else:
            text = "%s [code %d%s]" % (detail, self.code, where)
        return "%s; %s" % (text, self.note) if self.note else text


class K7340ArgumentError(K7340Error, ValueError):
    """An argument the binding refused before anything was sent: the message names the
    argument and its allowed range. It carries the library's code for it (-2, "Illegal
    argument value") and is also a ValueError.
    """

    def __init__(self, message, call=None):
        self.message = message
        super().__init__(ERR_ARGUMENT, "Illegal argument value", call)

    def __str__(self):
        return self.message


class K7340TripError(K7340Error):
    """The supply reported a trip (over-voltage, over-current, over-temperature or the Fault
    bit) while a session held its output on, and the trip action ran.

    ``bits`` is a :class:`StatusFlags` of the tripping bits; ``volts`` the last setpoint sent
    before the trip; ``text`` what happened ("the supply tripped (OverI) at 1000.0 V", or why a
    conditioning run gave up); ``note`` how the trip action left the output: "output switched
    off", "ramped down to zero", or, when even the zero setpoint could not be sent, that the
    output may still be on. No library call failed: ``code`` is None. A conditioning run adds
    ``trips``, the trips it backed off from, and ``gave_up`` (True when it gave up after them,
    False when a fault or over-temperature ended it).
    """

    def __init__(self, bits, volts, note=None, text=None, device=None):
        self.bits = StatusFlags(int(bits))
        self.volts = volts
        self.code = None
        self.call = None
        self.device = device
        self.note = note or "output switched off"
        self.os_text = ""
        self.trips = []
        self.gave_up = False
        self.text = text or "the supply tripped (%s) at %.1f V" % (
            ", ".join(self.bits.labels()) or "no bit",
            volts,
        )
        Exception.__init__(self, self.text)

    def __str__(self):
        return "%s; %s" % (self.text, self.note)


class K7340OutageError(K7340Error):
    """An outage ended what held the output on: the link was lost, or the supply's watchdog went
    a whole period unfed (a stopped process, a busy computer). The output is presumed off: the
    zero setpoint was sent, or is kept and sent first once the same supply answers (``note``
    says which). Only a new request switches the output on again. ``code`` is None."""

    def __init__(self, why, device=None, note=None):
        super().__init__(None, "the output is presumed off: %s" % why, None, device, note)


class K7340IdentityError(K7340Error):
    """The port came back, but another supply answers behind it: it is left untouched.
    ``expected`` and ``found`` are (firmware revision, EEPROM image) pairs."""

    def __init__(self, port, expected, found):
        self.expected, self.found = expected, found
        super().__init__(
            None,
            "another supply answers: expected %s, found %s"
            % (identity_text(expected), identity_text(found)),
            "reopen",
            device=port,
            note="it is left untouched and this session no longer " "owns an output",
        )


def identity_text(identity):
    """(firmware, EEPROM image) as "firmware 0123, EEPROM crc 1A2B3C4D"."""
    import zlib

    firmware, image = identity
    return "firmware %04X, EEPROM crc %08X" % (firmware, zlib.crc32(bytes(image)))


class K7340Warning(UserWarning):
    """An open that succeeded with an unusable EEPROM: the default ranges are in force.

    ``str()`` of the warning is the library's text ("EEPROM checksum error" or
    "Invalid setpoint/meter ranges"); ``code`` is -9 or -8.
    """

    def __init__(self, code, text):
        self.code = code
        self.text = text
        super().__init__(text)

    def __str__(self):
        return self.text


class LibraryLoadError(OSError):
    """The shared library could not be found or loaded; the message names every path tried."""
