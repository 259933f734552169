"""A device slot with the safety rules: the dead-man, ownership, every way out and reconnects.
k7340.Supply (k7340.session) adds ramps and conditioning under the outage rule."""

import time

from ..binding import checks
from ..binding.calls import error_text
from ..binding.device import OUTPUT_ON_VOLTS, WATCHDOG_MAX_MS, Device
from ..binding.errors import ERR_WRITE, K7340ArgumentError, K7340Error
from . import deadman, wayout
from .deadman import DEFAULT_WATCHDOG_MS, checked_watchdog_ms
from .ownership import Ownership
from .reconnect import read_identity, reopen as reopen_supply

# A signal's way out waits at most this long for a slot that another thread holds.
WAY_OUT_WAIT_S = 2.0


class SafeDevice(Device):
    """A Device (see there for the port, the index and max_volts) with the safety rules.

    The dead-man is on by default: before this object first switches the output on (a setpoint
    of 20 V or more, or any raw write_port) it arms the supply's watchdog with ``watchdog_ms``
    (1000 ms; 300..2550, and at least three times the slowest exchange timed at open) and a
    heartbeat keeps feeding it; a killed process or a pulled cable then leaves the output on
    for one period at most. ``watchdog_ms=0`` turns the dead-man off: unsafe.

    Leaving a ``with`` block (normally or by an exception), ``close()``, SIGINT, SIGTERM,
    SIGHUP, SIGQUIT, interpreter exit and the collection of a dropped object switch the output
    off with a zero setpoint, if this object switched it on, then disarm the watchdog. With
    ``keep_output=True`` a deliberate ``close()`` disarms and leaves the output as it is; every
    other way out zeroes it. A session that only reads leaves the output as it found it.
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
        self._ownership = Ownership(checked_watchdog_ms(watchdog_ms), bool(keep_output))
        self.identity = None
        super().__init__(com_port, index, port=port, max_volts=max_volts)

    def _opened(self):
        deadman.time_the_line(self)

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
        if self._forked() or (self._closed and not self._slot_open):
            return  # closed, or still opening in another thread (its open cleans up after itself)
        if timeout is not None and self.lost:
            timeout = 0  # nothing would be sent to a lost port: no reason to wait for its reopen
        ownership = self._ownership
        with wayout.way_out_running():
            if not self.lock.acquire(timeout=-1 if timeout is None else timeout):
                raise K7340Error(
                    None,
                    "closing",
                    "close",
                    device=self.port,
                    note=(self.lost and ownership.lost_note()) or self._busy_note(),
                )
            try:
                if self._closed:
                    return
                note = ownership.way_out(self, deliberate=True) or ownership.way_out_note
                ownership.drop(self)
                super().close()
            finally:
                self.lock.release()
        if note is not None:
            raise K7340Error(None, "closing", "close", device=self.port, note=note)

    def _busy_note(self):
        if not self._ownership.owner:
            return "the slot stayed busy (a reopen or a long exchange): the port is not closed"
        return self._ownership.may_still_be_on(
            "the slot stayed busy (a reopen or a long exchange), so no zero setpoint was sent"
        )

    def switch_off_now(self, timeout=WAY_OUT_WAIT_S):
        """The way out of a signal: zeroes the output if this object switched it on
        (keep_output too), disarms once acknowledged, stops the heartbeat; from then on this
        object switches the output on no more. A lost port keeps the zero pending (a session's
        close tries the port again to send it). Waits at most timeout seconds for the slot.
        Returns None, or a note saying the output may still be on. Never raises K7340Error."""
        if self._forked():
            return None
        self._ownership.stopped = True
        if not self.lock.acquire(timeout=timeout):
            return self._busy_note() if self._ownership.owner else None
        try:
            if self._closed:
                return None
            return self._ownership.way_out(self, deliberate=False)
        finally:
            self.lock.release()

    def abandon(self):
        """Gives this object up without waiting for its slot (a reopen or an exchange that
        outlasts a stop bound in another thread): nothing is sent, the heartbeat stops (so the
        supply's watchdog switches an output left on off within the period), and the object
        counts as closed; a reopen under way ends without taking the slot back."""
        ownership = self._ownership
        ownership.stopped = True
        ownership.stop_heartbeat()
        ownership.owner = False
        wayout.let_go(self)
        self._closed = self._abandoned = True  # its slot stays claimed: a reopen may be in it

    def forget_in_child(self):
        self._closed = True
        self._ownership.owner = self._ownership.armed = False
        self._ownership.heartbeat = None

    # --- what the safety rules keep -----------------------------------------------------------

    @property
    def ownership(self):
        """The safety core's state of this object (k7340.safety.ownership.Ownership)."""
        return self._ownership

    @property
    def stopped(self):
        """True once a signal's (or exit's) way out zeroed this object: it switches the output
        on no more (set_voltage of 20 V or more raises K7340Error)."""
        return self._ownership.stopped

    @property
    def way_out_note(self):
        """None while every zero of a way out was acknowledged; else why the output may still
        be on."""
        return self._ownership.way_out_note

    @property
    def owns_output(self):
        """True while this object has switched the output on (it alone switches it off)."""
        return self._ownership.owner

    @property
    def pending_off(self):
        """True while a zero setpoint is owed: it failed, or the port was lost."""
        return self._ownership.pending_off

    @property
    def watchdog_ms(self):
        """The dead-man's period in ms (0: off)."""
        return self._ownership.watchdog_ms

    @property
    def keep_output(self):
        return self._ownership.keep_output

    @keep_output.setter
    def keep_output(self, value):
        self._ownership.keep_output = bool(value)

    # --- the output ---------------------------------------------------------------------------

    def set_voltage(self, volts):
        """Sets the output: below 20.0 V it is switched off, otherwise it is on at that voltage.
        A value that is not a real number raises TypeError; NaN, infinities, negative values
        and values above volts_limit raise ValueError. Nothing is sent when it refuses.

        Before the output first goes on the watchdog is armed and the heartbeat started (a
        failure there raises before the setpoint is sent); a zero still owed goes out first.
        Once the owner's setpoint below 20 V is acknowledged, the watchdog is disarmed and the
        heartbeat stops."""
        value = self.checked_volts(volts)
        if value < OUTPUT_ON_VOLTS:
            return self.output_off(value)
        ownership = self._ownership
        with self.lock:
            self._refuse_if_lost(value)
            if ownership.pending_off:
                failed = ownership.switch_off(self)
                if failed is not None:
                    raise failed
            ownership.before_output_on(self)
            self.send_setpoint(value)
            if ownership.stopped:
                # A signal's way out ran in this thread between the check above and the
                # exchange: its zero went out first, so send it again.
                ownership.way_out(self, deliberate=False, again=True)

    def output_off(self, volts=0.0):
        """Switches the output off (a setpoint below 20 V, zero by default). A zero that fails,
        or one asked while the port is lost, stays pending and goes out first once the same
        supply answers again (K7340Error says so)."""
        ownership = self._ownership
        with self.lock:
            self._refuse_if_lost(volts)
            if not ownership.owner and not ownership.pending_off:
                return self.send_setpoint(volts)
            failed = ownership.switch_off(self, volts)
            if failed is not None:
                raise failed

    def _refuse_if_lost(self, volts):
        if not self.lost:
            return
        if volts < OUTPUT_ON_VOLTS:
            self._ownership.pending_off = True
            note = "the port is lost; the Off is kept and sent first when the same supply answers"
        else:
            note = "the port is lost; nothing is switched on until the same supply answers again"
        raise K7340Error(
            ERR_WRITE, error_text(ERR_WRITE), "K7340_SetVoltage", device=self.port, note=note
        )

    def adopt(self):
        """Takes on an output found on that no program holds: armed and fed from now on, and
        switched off by this object's way out. The setpoint becomes the measured voltage."""
        with self.lock:
            volts = min(self.read_voltage(), self.volts_limit)
            self._ownership.adopt(self)
            self.note_setpoint(volts)
            return volts

    def set_watchdog_ms(self, milliseconds):
        """Watchdog period 0..2550 ms, rounded up to 10 ms units; 0 turns it off. While this
        object holds the output on with the dead-man armed, the new period replaces the
        dead-man's and must be 300..2550 ms."""
        value = checks.integer("milliseconds", milliseconds, 0, WATCHDOG_MAX_MS, "K7340_SetWD")
        ownership = self._ownership
        with self.lock:
            if not ownership.armed:
                return self.send_watchdog_ms(value)
            value = checked_watchdog_ms(value, "milliseconds")
            if value == 0:
                raise K7340ArgumentError(
                    "milliseconds 0 would disarm the dead-man while the "
                    "output is on: switch it off first",
                    "K7340_SetWD",
                )
            deadman.check_against_line(value, ownership.slowest_s, self.port, "milliseconds")
            self.library_call("K7340_SetWD", value)
            ownership.change_period(self, value)

    def reset(self):
        """Output off, then the reset command (which also stops the supply's watchdog);
        blocks for about one second."""
        with self.lock:
            self.library_call("K7340_Reset")
            self.note_setpoint(0.0)
            self._ownership.drop(self)

    def check_eeprom_write(self, call):
        """EEPROM writes are refused while the output is on (this object's, or as the last
        reply's status says)."""
        super().check_eeprom_write(call, self._ownership.owner)

    def write_port(self, data):
        """Writes bytes-like data (or an iterable of whole numbers 0..255) to the port as it
        is: no framing. Raw bytes may carry any command, so the output counts as switched on
        by this object afterwards (the dead-man is armed first)."""
        data = checks.byte_values("data", data)
        with self.lock:
            self._ownership.before_output_on(self)
            self.send_raw(data)

    # --- reconnecting -------------------------------------------------------------------------

    def read_identity(self, abandon=None):
        """Reads the firmware revision and the 128-byte EEPROM image (129 exchanges) and keeps
        them as ``identity``, against which reopen() checks the supply. abandon (a
        threading.Event) set ends it within one exchange with K7340Error."""
        self.identity = read_identity(self, abandon)
        return self.identity

    def reopen(self, abandon=None):
        """After a lost port: closes the slot without a byte, opens the configured path again
        (a link is resolved anew) and checks that the same supply answers; a zero owed is sent
        first; no setpoint is re-sent and the watchdog is not fed again. Another supply raises
        K7340IdentityError naming the port and both identities; it is left untouched, this
        object's ownership is dropped and it stays lost. abandon (a threading.Event) set ends
        the check within one exchange (K7340Error; still lost)."""
        reopen_supply(self, abandon)

    def starving(self):
        """The outage rule's clock (see deadman.starved) for this object's dead-man."""
        return self._ownership.starving(time.monotonic())
