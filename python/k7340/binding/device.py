"""One open device slot of the library: the plain binding, with no policy. The safety core
(k7340.safety) builds the rules of the output on it; scripts use k7340.Supply."""

import ctypes
import os
import sys
import warnings

from . import checks, library, ports, slots
from .calls import SupplyCalls, error_text
from .eeprom import Eeprom
from .errors import ERR_CLOSED, ERR_WRITE, OPEN_WARNINGS, K7340Error, K7340Warning
from .flags import StatusFlags

# At or above this setpoint the supply's output is on.
OUTPUT_ON_VOLTS = 20.0
# The library takes ranges in these bounds; the watchdog period tops out at 2550 ms.
VRANGE_BOUNDS = (1000, 60000)
IRANGE_BOUNDS = (10, 500)
WATCHDOG_MAX_MS = 2550


class Device(SupplyCalls):
    """A supply on a COM port, opened in a library device slot of its own.

    ``Device(com_port=0)`` opens COM1 (on Linux the device in K7340_COM1, else /dev/ttyS0);
    ``Device(port="/dev/ttyUSB0")`` or ``port="COM7"`` opens that device. The open reads the
    supply's EEPROM. A blank or out-of-range EEPROM gives a :class:`K7340Warning` and the
    default ranges; every other failure raises :class:`K7340Error` naming the device tried.
    Whatever goes wrong in the constructor, the slot is closed before the exception leaves.
    ``index`` is the library slot, 0..7; left out, the lowest slot that no open object holds.
    ``max_volts`` lowers the highest setpoint below the supply's ``vrange``.
    """

    def __init__(self, com_port=None, index=None, *, port=None, max_volts=None):
        self._lib = library.load()
        self._closed = True
        self._index = None
        self._setpoint = 0.0
        self._pid = os.getpid()
        self._abandoned = False
        self._slot_open = False  # the library's slot is open (a failed reopen closes it)
        self.lost = False
        self.max_volts = None
        if max_volts is not None:
            self.max_volts = checks.real(
                "max_volts", max_volts, OUTPUT_ON_VOLTS, VRANGE_BOUNDS[1], "V"
            )
        self._com_port, self._path, self.port = ports.resolve(com_port, port)
        self._index = slots.claim(index, self)
        try:
            with self.lock:
                self._open()
                self._opened()
        except BaseException:
            self._closed = True
            slots.release(self._index, self)
            # A failure after the port opened leaves the slot open and the port taken.
            self._lib.K7340_CloseDevice(self._index)
            raise

    def _opened(self):
        """Called once the first open succeeded, with the slot lock held (a hook)."""

    def _open(self):
        """Opens the slot on the configured port, resolved anew (a link may now lead elsewhere).
        Call with the slot lock held."""
        if self._path is None:
            code = self._lib.K7340_OpenDevice(self._index, self._com_port)
        else:
            with slots.mapped(self._index, self._path) as mapped_port:
                code = self._lib.K7340_OpenDevice(self._index, mapped_port)
        if code != 0 and code not in OPEN_WARNINGS:
            raise K7340Error(code, error_text(code), "K7340_OpenDevice", device=self.port)
        if self._abandoned:
            raise K7340Error(
                ERR_CLOSED,
                error_text(ERR_CLOSED),
                "K7340_OpenDevice",
                device=self.port,
                note="given up while it reopened",
            )
        self._closed = False
        self._slot_open = True
        self.eeprom = Eeprom(self)
        if code in OPEN_WARNINGS:
            warnings.warn(K7340Warning(code, error_text(code)), stacklevel=5)

    # --- life ---------------------------------------------------------------------------------

    def close(self):
        """Closes the slot and releases the port; sends nothing. Closing twice does nothing."""
        if self._forked():
            return
        with self.lock:
            if self._closed:
                return
            self._closed = True
            slots.release(self._index, self)
            if not self._slot_open:
                return  # a failed reopen closed the library's slot already
            self._slot_open = False
            code = self._lib.K7340_CloseDevice(self._index)
        self._check("K7340_CloseDevice", code)

    def forget_in_child(self):
        """In os.fork's child: this object belongs to the parent; it never sends, zeroes or
        closes anything from now on. Takes no lock."""
        self._closed = True

    def _forked(self):
        return self._pid != os.getpid()

    def __del__(self):
        # A dropped object: closed when collected (the way out included).
        if getattr(self, "_closed", True) or self._forked():
            return
        try:
            self.close()
        except Exception as exc:
            try:
                print(
                    "k7340: closing a dropped Supply on %s: %s" % (self.port, exc),
                    file=sys.stderr,
                )
            except Exception:
                pass

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

    @property
    def lock(self):
        """The lock of this object's slot: each call on the slot runs under it."""
        return slots.slot_lock(self._index)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._closed else "lost" if self.lost else "open"
        return "<%s port=%s index=%s %s>" % (type(self).__name__, self.port, self._index, state)

    def _check(self, call, code):
        if code != 0:
            raise K7340Error(code, error_text(code), call)

    def library_call(self, name, *args):
        """One library call on this object's slot (the slot index goes first) under the slot's
        lock; a non-zero code raises K7340Error. A failed write marks the port lost."""
        with self.lock:
            # A closed object must not drive the slot: another Supply may have reopened it since.
            if self._closed:
                raise K7340Error(ERR_CLOSED, error_text(ERR_CLOSED), name)
            code = getattr(self._lib, name)(self._index, *args)
            if code == ERR_WRITE:
                self.lost = True
        self._check(name, code)

    # --- the setpoint -------------------------------------------------------------------------

    @property
    def volts_limit(self):
        """The highest setpoint accepted: max_volts if given, at most vrange."""
        return self.limit_and_bound()[0]

    def limit_and_bound(self):
        """(the highest setpoint accepted, what sets it: "max_volts" or "vrange"): the one
        place that decides which bound applies."""
        vrange = self.ranges.vrange
        if self.max_volts is not None and self.max_volts <= vrange:
            return self.max_volts, "max_volts"
        return vrange, "vrange"

    def checked_volts(self, volts, name="volts", bound_names=None):
        """volts as a float if a setpoint may be sent; else TypeError or K7340ArgumentError
        naming name and the range 0..volts_limit, and what sets it (bound_names maps
        "max_volts" and "vrange" to a front end's words). Sends nothing."""
        limit, bound = self.limit_and_bound()
        words = (bound_names or {}).get(bound, bound)
        return checks.real(name, volts, 0.0, limit, "V", "K7340_SetVoltage", words)

    @property
    def setpoint(self):
        """The last setpoint in volts this object sent successfully (0.0 after opening). It is
        what the object asked for, not a reading: a supply driven by someone else meanwhile,
        or one whose watchdog ran out, may be elsewhere."""
        return self._setpoint

    def note_setpoint(self, volts):
        """Records a setpoint sent (or one known to be in force, as after an outage: 0)."""
        self._setpoint = volts

    def send_setpoint(self, volts):
        """The setpoint command, nothing around it (volts already checked)."""
        self.library_call("K7340_SetVoltage", volts)
        self._setpoint = volts

    # --- calls the safety rules watch, plain ---------------------------------------------------

    def send_watchdog_ms(self, milliseconds):
        """The watchdog command with a period of 0..2550 ms (rounded up to 10 ms units)."""
        value = checks.integer("milliseconds", milliseconds, 0, WATCHDOG_MAX_MS, "K7340_SetWD")
        self.library_call("K7340_SetWD", value)

    def check_eeprom_write(self, call, held_on=False):
        """EEPROM writes are refused while the output is on: held_on (its owner says so), or
        as the last reply's status says."""
        if held_on or StatusFlags.ENABLE in self.status:
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
        vrange = checks.integer("vrange", vrange, *VRANGE_BOUNDS, call="K7340_SetRanges")
        irange = checks.integer("irange", irange, *IRANGE_BOUNDS, call="K7340_SetRanges")
        with self.lock:
            self.check_eeprom_write("K7340_SetRanges")
            self.library_call("K7340_SetRanges", vrange, irange)

    def send_raw(self, data):
        """Writes bytes to the port as they are (data already checked)."""
        buffer = (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0")
        self.library_call("K7340_WritePort", buffer, len(data))

    # --- reopening ----------------------------------------------------------------------------

    def reopen_port(self):
        """Closes the slot without a byte and opens the configured path again (resolved anew);
        the object counts as lost until the caller has checked the supply. Raises K7340Error
        when the port does not open."""
        with self.lock:
            if self._closed or self._forked():
                raise K7340Error(ERR_CLOSED, error_text(ERR_CLOSED), "K7340_OpenDevice")
            self.lost = True
            self._slot_open = False
            self._lib.K7340_CloseDevice(self._index)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", K7340Warning)
                    self._open()
            except BaseException:
                self._closed = self._abandoned  # still this object's slot, closed in the library
                self._lib.K7340_CloseDevice(self._index)
                raise
