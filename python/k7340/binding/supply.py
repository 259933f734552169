"""The Supply class: one open device slot of the library, used as a context manager."""

import os
import sys
import warnings

from ..safety import deadman, wayout
from ..safety.deadman import DEFAULT_WATCHDOG_MS, checked_watchdog_ms
from ..safety.guard import Guard
from ..safety.reconnect import read_identity, reopen as reopen_supply
from . import guards, library, slots
from .calls import SupplyCalls, error_text
from .lab_calls import LabCalls
from .eeprom import Eeprom
from .guarded import VRANGE_BOUNDS, GuardedCalls
from .errors import ERR_CLOSED, ERR_WRITE, OPEN_WARNINGS, K7340Error, K7340Warning

# A signal's way out waits at most this long for a slot that another thread holds.
WAY_OUT_WAIT_S = 2.0
# At or above this setpoint the supply's output is on.
OUTPUT_ON_VOLTS = 20.0


class Supply(SupplyCalls, GuardedCalls, LabCalls):
    """A supply on a COM port, opened in a library device slot of its own.

    ``Supply(com_port=0)`` opens COM1 (on Linux the device in K7340_COM1, else /dev/ttyS0);
    ``Supply(port="/dev/ttyUSB0")`` or ``Supply(port="COM7")`` opens that device. The open reads
    the supply's EEPROM. A blank or out-of-range EEPROM gives a :class:`K7340Warning` and the
    default ranges; every other failure raises :class:`K7340Error` naming the device tried.
    Whatever goes wrong in the constructor, the slot is closed before the exception leaves.

    ``index`` is the library slot, 0..7; left out, the lowest slot that no open Supply holds.

    The dead-man is on by default: before this object first switches the output on (a setpoint
    of 20 V or more, or any raw write_port) it arms the supply's watchdog with ``watchdog_ms``
    (1000 ms; 300..2550, and at least three times the slowest exchange timed at open) and a
    heartbeat keeps feeding it; a killed process or a pulled cable then leaves the output on
    for one period at most. ``watchdog_ms=0`` turns the dead-man off: unsafe.

    Leaving a ``with`` block (normally or by an exception), ``close()``, SIGINT, SIGTERM,
    SIGHUP, SIGQUIT, interpreter exit and the collection of a dropped object switch the output
    off with a zero setpoint, if this object switched it on, then disarm the watchdog. With
    ``keep_output=True`` a deliberate ``close()`` disarms and leaves the output as it is; every
    other way out zeroes it. A session that only reads leaves the output as it found it. See
    k7340.safety.

    ``max_volts`` lowers the highest setpoint that set_voltage accepts below the supply's
    ``vrange``.
    """

    def __init__(
        self,
        com_port=None,
        index=None,
        *,
        port=None,
        max_volts=None,
        keep_output=False,
        watchdog_ms=DEFAULT_WATCHDOG_MS,
    ):
        self._lib = library.load()
        self._closed = True
        self._index = None
        self._setpoint = 0.0
        self._pid = os.getpid()
        self._abandoned = False
        self.lost = False
        self.identity = None
        self.max_volts = None
        if max_volts is not None:
            self.max_volts = guards.real(
                "max_volts", max_volts, OUTPUT_ON_VOLTS, VRANGE_BOUNDS[1], "V"
            )
        self._guard = Guard(checked_watchdog_ms(watchdog_ms), bool(keep_output))
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
        self._path = path
        self.port = path if path is not None else slots.device_name(com_port)
        self._index = slots.claim(index, self)
        try:
            with self.lock:
                self._open()
                deadman.time_the_line(self)
        except BaseException:
            self._closed = True
            slots.release(self._index, self)
            # A failure after the port opened leaves the slot open and the port taken.
            self._lib.K7340_CloseDevice(self._index)
            raise

    def _open(self):
        """Opens the slot on the configured port, resolved anew (a link may now lead elsewhere).
        Call with the slot lock held."""
        with slots.OPEN_LOCK:
            if self._path is None:
                code = self._lib.K7340_OpenDevice(self._index, self._com_port)
            else:
                with slots.mapped(self._path) as mapped_port:
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
        self.eeprom = Eeprom(self)
        if code in OPEN_WARNINGS:
            warnings.warn(K7340Warning(code, error_text(code)), stacklevel=4)

    # --- life ---------------------------------------------------------------------------------

    def close(self, timeout=None):
        """The way out, then the slot is closed and the port released. If this object switched
        the output on, the zero setpoint is sent (unless keep_output, which disarms and leaves
        it), and once acknowledged the watchdog is disarmed. A lost port, or one behind which
        another supply answered, is closed without a byte. Closing twice does nothing. If the
        zero cannot be sent, the slot is still closed and K7340Error says the output may still
        be on. ``timeout``: seconds to wait for the slot (a reopen or a long call under way in
        another thread); when they pass, nothing is sent, the slot stays open and K7340Error
        says so."""
        if self._forked():
            return
        if timeout is not None and self.lost:
            timeout = 0  # nothing would be sent to a lost port: no reason to wait for its reopen
        with wayout.way_out_running():
            if not self.lock.acquire(timeout=-1 if timeout is None else timeout):
                raise K7340Error(
                    None,
                    "closing",
                    "close",
                    device=self.port,
                    note=(self.lost and self._guard.lost_note()) or self._busy_note(),
                )
            try:
                if self._closed:
                    return
                # A signal's way out whose zero failed is said again here.
                note = self._guard.way_out_note
                if self.lost:
                    note = self._guard.lost_note() or note
                    self._guard.drop(self)
                else:
                    note = self._guard.way_out(self, deliberate=True) or note
                self._closed = True
                slots.release(self._index, self)
                code = self._lib.K7340_CloseDevice(self._index)
            finally:
                self.lock.release()
        if note is not None:
            raise K7340Error(None, "closing", "close", device=self.port, note=note)
        self._check("K7340_CloseDevice", code)

    def _busy_note(self):
        if not self._guard.owner:
            return "the slot stayed busy (a reopen or a long exchange): the port is not closed"
        return (
            "the slot stayed busy (a reopen or a long exchange), so no zero setpoint was "
            "sent: the output may still be on"
            + (
                " (the supply's watchdog switches it off within %d ms)" % self.watchdog_ms
                if self._guard.armed
                else ""
            )
        )

    def switch_off_now(self, timeout=WAY_OUT_WAIT_S):
        """The way out of a signal: zeroes the output if this object switched it on
        (keep_output too), disarms once acknowledged, stops the heartbeat; from then on this
        object switches the output on no more. Waits at most timeout seconds for the slot.
        Returns None, or a note saying the output may still be on. Never raises K7340Error."""
        if self._forked():
            return None
        self._guard.stopped = True
        if not self.lock.acquire(timeout=timeout):
            return self._busy_note() if self._guard.owner else None
        try:
            if self._closed or self.lost:
                note = self._guard.lost_note() if not self._closed else None
                self._guard.drop(self)
                return note
            return self._guard.way_out(self, deliberate=False)
        finally:
            self.lock.release()

    def abandon(self):
        """Gives this object up without waiting for its slot (a reopen or an exchange that
        outlasts a stop bound in another thread): nothing is sent, the heartbeat stops (so the
        supply's watchdog switches an output left on off within the period), and the object
        counts as closed; a reopen under way ends without taking the slot back."""
        self._guard.stopped = True
        self._guard.stop_heartbeat()
        self._guard.owner = False
        wayout.let_go(self)
        self._closed = self._abandoned = True  # its slot stays claimed: a reopen may be in it

    def forget_in_child(self):
        """In os.fork's child: this object belongs to the parent; it never sends, zeroes or
        closes anything from now on. Takes no lock."""
        self._closed = True
        self._guard.owner = self._guard.armed = False
        self._guard.heartbeat = None

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
                    "k7340: closing a dropped Supply on %s: %s" % (self.port, exc), file=sys.stderr
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

    @property
    def guard(self):
        """The safety core's state of this object (k7340.safety.guard.Guard)."""
        return self._guard

    @property
    def stopped(self):
        """True once a signal's (or exit's) way out zeroed this object: it switches the output
        on no more (set_voltage of 20 V or more raises K7340Error)."""
        return self._guard.stopped

    @property
    def way_out_note(self):
        """None while every zero of a way out was acknowledged; else why the output may still
        be on."""
        return self._guard.way_out_note

    @property
    def owns_output(self):
        """True while this object has switched the output on (it alone switches it off)."""
        return self._guard.owner

    @property
    def watchdog_ms(self):
        """The dead-man's period in ms (0: off)."""
        return self._guard.watchdog_ms

    @property
    def keep_output(self):
        return self._guard.keep_output

    @keep_output.setter
    def keep_output(self, value):
        self._guard.keep_output = bool(value)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._closed else "lost" if self.lost else "open"
        return "<Supply port=%s index=%s %s>" % (self.port, self._index, state)

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
        and values above volts_limit raise ValueError. Nothing is sent when it refuses.

        Before the output first goes on the watchdog is armed and the heartbeat started (a
        failure there raises before the setpoint is sent). Once the owner's setpoint below
        20 V is acknowledged, the watchdog is disarmed and the heartbeat stops."""
        value = self.checked_volts(volts)
        with self.lock:
            if self.lost:
                if value < OUTPUT_ON_VOLTS:
                    self._guard.pending_off = True
                raise K7340Error(
                    ERR_WRITE,
                    error_text(ERR_WRITE),
                    "K7340_SetVoltage",
                    device=self.port,
                    note=self._lost_note(value),
                )
            if value >= OUTPUT_ON_VOLTS:
                self._guard.before_output_on(self)
            self.library_call("K7340_SetVoltage", value)
            self._setpoint = value
            if self._guard.stopped and value >= OUTPUT_ON_VOLTS:
                # A signal's way out ran in this thread between the check above and the
                # exchange: its zero went out first, so send it again.
                self._guard.way_out(self, deliberate=False, again=True)
            elif value < OUTPUT_ON_VOLTS and self._guard.owner:
                self._guard.switched_off(self)

    def _lost_note(self, value):
        if value < OUTPUT_ON_VOLTS:
            return (
                "the port is lost; the Off is kept and sent first when the same supply "
                "answers again"
            )
        return "the port is lost; nothing is switched on until the same supply answers again"

    def note_setpoint(self, volts):
        """Records a setpoint the safety core sent itself."""
        self._setpoint = volts

    def output_off(self):
        """Switches the output off (a zero setpoint). While the port is lost the Off is kept
        and sent first when the same supply answers again (K7340Error says so)."""
        self.set_voltage(0.0)

    # --- reconnecting -------------------------------------------------------------------------

    def read_identity(self):
        """Reads the firmware revision and the 128-byte EEPROM image (129 exchanges) and keeps
        them as ``identity``, against which reopen() checks the supply."""
        self.identity = read_identity(self)
        return self.identity

    def reopen_port(self):
        """Closes the slot without a byte and opens the configured path again (resolved anew);
        the object counts as lost until reopen() has checked the supply. Raises K7340Error when
        the port does not open."""
        with self.lock:
            if self._closed or self._forked():
                raise K7340Error(ERR_CLOSED, error_text(ERR_CLOSED), "K7340_OpenDevice")
            self.lost = True
            self._lib.K7340_CloseDevice(self._index)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", K7340Warning)
                    self._open()
            except BaseException:
                self._closed = self._abandoned  # still this object's slot, closed in the library
                self._lib.K7340_CloseDevice(self._index)
                raise

    def reopen(self, abandon=None):
        """After a lost port: closes the slot without a byte, opens the configured path again
        (a link is resolved anew) and checks that the same supply answers. Then the ownership,
        the heartbeat and a pending Off carry over (the Off is sent first); no setpoint is
        re-sent. Another supply raises K7340IdentityError naming the port and both identities;
        it is left untouched, this object's ownership is dropped and it stays lost. abandon (a
        threading.Event) set ends the check within one exchange (K7340Error; still lost)."""
        reopen_supply(self, abandon)
