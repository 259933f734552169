"""A session with a supply for a program that runs for a while (monitor, log, ramp, the Tango
server): one poll, one lost-port policy, one way out.

    with Session("/dev/ttyUSB0", say=print) as session:
        session.set_voltage(1000)
        reading = session.poll()      # None while the link is down (it retries the port)

A port counts as lost after a failed write, when its device path vanished (a hang-up, a pulled
adapter), or after ``lost_after`` polls in a row without a reply. The session then reopens the
configured path every ``reopen_s`` seconds (see reconnect.py: the same supply must answer; the
ownership, the heartbeat and a pending Off carry over; nothing is re-energised). While the link
is down only Off is accepted: it is kept and sent first once the same supply is back.
"""

import os
import threading
import time
import warnings

from ..binding.errors import (
    ERR_CHECKSUM,
    ERR_READ,
    ERR_WRITE,
    K7340Error,
    K7340IdentityError,
    K7340Warning,
)
from ..binding.supply import Supply
from .deadman import DEFAULT_WATCHDOG_MS
from .faults import HeldFaults, Reading

UP, DOWN, OTHER_SUPPLY = "up", "down", "other supply"
LINE_ERRORS = (ERR_WRITE, ERR_READ, ERR_CHECKSUM)  # the line failed, not a refusal
LOST_AFTER = 3
REOPEN_S = 0.5
CLOSE_WAIT_S = 2.0  # an owner's close waits this long for a lost port to send its Off
CLOSE_TRY_S = 0.1


class Session:
    """``port`` is a device path or a COM name, or an int COM port number (0 = COM1). The
    keywords are Supply's (index, watchdog_ms, max_volts, keep_output), and the policy's:
    ``lost_after`` polls without a reply, a reopen try every ``reopen_s`` seconds, and
    ``say(text)`` for the one-line news of a lost or returned port."""

    def __init__(
        self,
        port,
        *,
        index=None,
        watchdog_ms=DEFAULT_WATCHDOG_MS,
        max_volts=None,
        keep_output=False,
        lost_after=LOST_AFTER,
        reopen_s=REOPEN_S,
        say=None,
    ):
        self._where = {"com_port": port} if isinstance(port, int) else {"port": port}
        self._keywords = dict(
            index=index, watchdog_ms=watchdog_ms, max_volts=max_volts, keep_output=keep_output
        )
        self.lost_after = lost_after
        self.reopen_s = reopen_s
        self.say = say or (lambda text: None)
        self.supply = None
        self.link = DOWN
        self.failures = 0
        self.warnings = []  # an unusable EEPROM at open, as K7340Warning
        self.held = HeldFaults()
        self._next_try = 0.0
        self._told_other = False
        self.last_error = None  # the K7340Error of the last failed exchange
        self.link_text = None  # why the link is down, or which other supply answers
        self.abandon = threading.Event()  # set: close() stops waiting for a lost port

    @property
    def port(self):
        return (
            self.supply.port if self.supply is not None else str(next(iter(self._where.values())))
        )

    def open(self):
        """The first open (a failure raises): the supply, and its identity for reconnects."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", K7340Warning)
            supply = Supply(**self._where, **self._keywords)
        self.warnings = [w.message for w in caught if issubclass(w.category, K7340Warning)]
        try:
            supply.read_identity()
        except BaseException:
            supply.close()
            raise
        self.supply, self.link, self.failures = supply, UP, 0
        return supply

    def __enter__(self):
        if self.supply is None:
            self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self, wait_s=CLOSE_WAIT_S, timeout=None):
        """The way out: the owner zeroes (see Supply.close); a read-only session and another
        supply get no byte. An owner whose port is lost keeps its Off and tries the port again
        for up to wait_s seconds (until ``abandon`` is set) to send it; if the port does not
        come back, close() raises K7340Error saying the output may still be on. timeout: as
        Supply.close's (set ``abandon`` first to end a reopen under way in another thread)."""
        psu = self.supply
        if psu is None:
            return
        if self.link == DOWN and psu.owns_output:
            self.output_off()
            deadline = time.monotonic() + wait_s
            while self.link == DOWN and time.monotonic() < deadline and not self.abandon.is_set():
                if not self.reconnect(now=True):
                    self.abandon.wait(CLOSE_TRY_S)
        psu.close(timeout)

    @property
    def pending_off(self):
        """True while an Off asked during an outage waits for the same supply."""
        return self.supply is not None and self.supply.guard.pending_off

    # --- the poll -----------------------------------------------------------------------------

    def poll(self):
        """The meters and the status; the fault byte only when the Fault bit appears (held until
        clear_faults). An Off whose exchange failed is sent again first. None
        after a failed exchange (``last_error`` says which; ``failed`` counts it towards the
        lost-port rule) and while the link is down, when it tries to reopen the port."""
        if self.link != UP and not self.reconnect():
            return None
        psu = self.supply
        try:
            if psu.guard.pending_off:  # an Off whose exchange failed goes out before anything
                psu.output_off()
                psu.guard.pending_off = False
            volts, microamps = psu.read_voltage(), psu.read_current()
            temperature = psu.read_temperature()
            status = psu.status
            faults = self.held.update(psu, status)
        except K7340Error as exc:
            self.failed(exc)
            return None
        self.failures, self.last_error = 0, None
        return Reading(volts, microamps, temperature, status, faults)

    def clear_faults(self):
        """Reads (and so clears) the supply's fault byte and forgets the held one."""
        self._need_link("ClearFaults")
        return self.held.clear(self.supply)

    def failed(self, exc):
        """A failed exchange: the port is lost after a failed write, a vanished device path or
        lost_after failures in a row."""
        self.failures += 1
        self.last_error = exc
        path = self._where.get("port")
        vanished = isinstance(path, str) and os.sep in path and not os.path.exists(path)
        if (
            self.supply.lost
            or exc.code == ERR_WRITE
            or vanished
            or self.failures >= self.lost_after
        ):
            self.supply.lost = True
            if self.link == UP:
                self.say(
                    "lost the supply on %s (%s); reopening it when it answers (no setpoint "
                    "is re-sent)" % (self.port, exc.text)
                )
            self.link = DOWN
            self.link_text = "the supply on %s does not answer (%s)" % (self.port, exc.text)
            self._next_try = time.monotonic() + self.reopen_s

    def reconnect(self, now=False):
        """One try to reopen a lost port, at most every reopen_s unless now; True when the same
        supply answers again."""
        if self.link == UP:
            return True
        if not now and time.monotonic() < self._next_try:
            return False
        self._next_try = time.monotonic() + self.reopen_s
        if self.abandon.is_set():
            return False
        try:
            self.supply.reopen(self.abandon)
        except K7340IdentityError as exc:
            self.link, self.link_text = OTHER_SUPPLY, str(exc)
            if not self._told_other:
                self.say(str(exc))
                self._told_other = True
            return False
        except (K7340Error, OSError):
            return False
        self.link, self.failures, self._told_other, self.link_text = UP, 0, False, None
        self.say(
            "the supply on %s answers again (the same supply; no setpoint re-sent)" % self.port
        )
        return True

    # --- the output ---------------------------------------------------------------------------

    def _need_link(self, what):
        if self.link != UP:
            raise K7340Error(
                None,
                "%s refused: the link is %s, only Off is accepted"
                % (what, "down" if self.link == DOWN else "to another supply"),
                what,
                device=self.port,
            )

    def set_voltage(self, volts):
        """Refused while the link is down (a setpoint under 20 V counts as Off)."""
        if volts == 0 or (self.link != UP and self.supply.checked_volts(volts) < 20.0):
            return self.output_off()
        self._need_link("Setpoint")
        self._sending(self.supply.set_voltage, volts)

    def ramp_to(self, volts, rate, **keywords):
        self._need_link("RampTo")
        self._sending(self.supply.ramp_to, volts, rate, **keywords)

    def output_off(self):
        """Off now; while the link is down it is kept and sent first once the same supply is
        back. Returns True when sent, False when kept."""
        if self.link != UP:
            self.supply.guard.pending_off = self.link == DOWN
            return False
        try:
            self._sending(self.supply.output_off)
        except K7340Error as exc:
            if exc.code in LINE_ERRORS:  # it may not have arrived: the next poll sends it again
                self.supply.guard.pending_off = True
            raise
        self.supply.guard.pending_off = False
        return True

    def _sending(self, call, *args, **keywords):
        try:
            call(*args, **keywords)
        except K7340Error as exc:
            if exc.code in LINE_ERRORS:
                self.failed(exc)
            raise
