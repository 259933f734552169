"""The session: one supply for a program that runs for a while (the console tools, the Tango
server, the PyMeasure instrument, plans), and the one path for everything that switches or
holds the output on.

    with Session("/dev/ttyUSB0", say=print) as session:
        session.ramp_to(1000, rate=200)            # refused first if the supply reports a trip
        session.hold(0.25, show)                   # holds: polls, feeds, acts on trips

The session owns the poll, the lost-link rule, the owed zero (pending Off), reconnects, the
outage rule, the trip action, fault acknowledgement and orphan detection; the front ends hold
no copy of them.

- Lost link: a failed write, a device path that vanished (a hang-up, a pulled adapter), or
  ``lost_after`` failed exchanges in a row. The session then reopens the configured path every
  ``reopen_s`` seconds; only the same supply is taken back (see k7340.safety.reconnect), and
  no setpoint is re-sent.
- Outage: a lost link, or a gap in feeding the supply's watchdog as long as its period less one
  exchange. The output is presumed off: the zero goes out (or is owed until the same supply
  answers), whatever operation ran ends with K7340OutageError, and only a new request
  switches the output on again.
- Trip action (``on_trip``): "off" (the default) zeroes at once; "ramp-down" ramps to zero
  at the operation's rate, but only after over-current alone; over-voltage, the Fault bit,
  over-temperature and a lost link always mean off.
- Faults: a poll names the status bits; the fault byte is read only by ``clear_faults``.
- Orphans: a session that only reads and finds the output on (no program holds the port: it is
  exclusive) says so, and ``poll_interval`` keeps its polls ORPHAN_POLL_S apart, so that its
  reads feed no watchdog, unless ``keep_alive``. An owner adopts such an output at its first
  request, from the measured voltage, and says so.
"""

import os
import threading
import time
import warnings

from ..binding import ports
from ..binding.flags import StatusFlags
from ..binding.errors import (
    ERR_WRITE,
    K7340Error,
    K7340IdentityError,
    K7340OutageError,
    K7340Warning,
)
from ..safety.deadman import DEFAULT_WATCHDOG_MS, ORPHAN_POLL_S
from ..safety.status import TRIP_ACTIONS
from ..safety.status import Reading
from .opening import open_stoppable
from .requests import Requests
from .states import DOWN, LINE_ERRORS, OTHER_SUPPLY, UP

LOST_AFTER = 3
REOPEN_S = 0.5
CLOSE_WAIT_S = 2.0  # an owner's close waits this long for a lost port to send its Off
CLOSE_TRY_S = 0.1


class Session(Requests):
    """``port``: a device path, a COM name, or an int COM port number (0 = COM1); or
    ``supply``: a SafeDevice already open (k7340.Supply's own calls), which is never reopened.
    ``reader``: the session only reads (no dead-man; it never switches the output on, and
    closing sends nothing). The keywords are Supply's (index, watchdog_ms, max_volts,
    keep_output) and the session's: ``on_trip`` ("off" or "ramp-down"), ``rate`` (V/s for a
    trip's ramp-down when no operation gives one), ``lost_after``, ``reopen_s``, ``say(text)``
    for one-line news, ``stop()`` (a stop asked: an open or an operation ends), ``sleep(seconds)``
    (one that wakes on a stop), ``keep_alive`` (a reader polls an orphaned output at its own
    pace), ``recorder`` (a FlightRecorder fed with every reading) and ``limits`` (the two limit
    levels in percent, sent at open, before anything can switch the output on; ``limits``
    then holds the stepped values the supply took)."""

    def __init__(
        self,
        port=None,
        *,
        supply=None,
        reader=False,
        index=None,
        watchdog_ms=DEFAULT_WATCHDOG_MS,
        max_volts=None,
        keep_output=False,
        on_trip="off",
        rate=None,
        lost_after=LOST_AFTER,
        reopen_s=REOPEN_S,
        say=None,
        stop=None,
        sleep=None,
        keep_alive=False,
        recorder=None,
        limits=None,
    ):
        self._where = ports.keywords(port) if supply is None else None
        self._keywords = dict(
            index=index,
            max_volts=max_volts,
            keep_output=keep_output,
            watchdog_ms=0 if reader else watchdog_ms,
        )
        self.reader = reader
        self.on_trip = checked_trip_action(on_trip)
        self.rate = rate
        self.lost_after = lost_after
        self.reopen_s = reopen_s
        self.say = say or (lambda text: None)
        self.stop = stop if stop is not None else (lambda: False)
        self.sleep = sleep if sleep is not None else time.sleep
        self.keep_alive = keep_alive
        self.recorder = recorder
        self.limits = limits  # the two limit levels to send at open, in percent
        self.supply = supply
        self.link = UP if supply is not None else DOWN
        self.failures = 0
        self.warnings = []  # an unusable EEPROM at open, as K7340Warning
        self.found_on = None  # volts of an output found on at open that no program held
        self.orphan = None  # what a reader says of such an output
        self.operation = None  # the Operation running, if any
        self.event = None  # the trip or outage that ended a hold (take_event)
        self.last_error = None  # the K7340Error of the last failed exchange
        self.link_text = None  # why the link is down, or which other supply answers
        self.abandon = threading.Event()  # set: close() and reopens stop waiting
        self._next_try = 0.0
        self._told_other = False
        self._request_lock = threading.RLock()  # one request at a time switches the output

    @property
    def port(self):
        if self.supply is not None:
            return self.supply.port
        return ports.label(next(iter(self._where.values())))

    # --- opening and closing ------------------------------------------------------------------

    def open(self):
        """The first open (a failure raises): the supply, its identity for reconnects, and a
        first look at the output. A stop asked meanwhile ends it within one exchange with
        K7340Error; nothing has been sent then."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", K7340Warning)
            supply = open_stoppable(self._where, self._keywords, self._stopped, self.port)
        self.warnings = [w.message for w in caught if issubclass(w.category, K7340Warning)]
        try:
            supply.read_identity(self._stopped)
            if self.limits is not None:
                self.limits = supply.set_limits(*self.limits)
            self.supply, self.link, self.failures = supply, UP, 0
            self._first_look(self.sample(record=False))
        except BaseException:
            self.supply = None
            supply.close()
            raise
        return supply

    def _stopped(self):
        return self.abandon.is_set() or self.stop()

    def _first_look(self, reading):
        """An output found on at open: no program holds it (the port is exclusive)."""
        if StatusFlags.ENABLE not in reading.status:
            return
        self.found_on = reading.volts
        self.orphan = orphan_text(reading.volts, self.port)
        if self.reader:
            self.say(self.orphan)
        else:
            self.say(
                "output on at %.0f V and no program holds it: the first request adopts it"
                % reading.volts
            )

    def poll_interval(self, seconds):
        """seconds, or ORPHAN_POLL_S when longer while this session watches an orphaned output
        it has not adopted (its reads must not feed the watchdog of an output nobody holds)."""
        if self.orphan and not self.keep_alive and not self.supply.owns_output:
            return max(seconds, ORPHAN_POLL_S)
        return seconds

    def __enter__(self):
        if self.supply is None:
            self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self, wait_s=CLOSE_WAIT_S, timeout=None):
        """The way out: the owner zeroes (see SafeDevice.close); a reader and another supply get
        no byte. A zero still owed (it failed, or the port is lost) is tried again, reopening
        the port, for up to wait_s seconds (None: until sent, ``abandon`` set or a stop); if it
        does not go out, close() raises K7340Error saying the output may still be on. timeout:
        as SafeDevice.close's (set ``abandon`` first to end a reopen under way in another
        thread)."""
        psu = self.supply
        if psu is None:
            return
        if self.link == DOWN and psu.owns_output:
            psu.ownership.pending_off = True
        if psu.pending_off and self.link != OTHER_SUPPLY:
            self.send_owed_off(wait_s)
        psu.close(timeout)

    def send_owed_off(self, wait_s):
        """Tries to send an owed zero for up to wait_s seconds (None: until sent or stopped),
        reopening a lost port. True once sent."""
        deadline = None if wait_s is None else time.monotonic() + wait_s
        psu = self.supply
        while psu.pending_off and not self.abandon.is_set():
            if self.link == UP:
                try:
                    psu.output_off()
                except K7340Error as exc:
                    self.failed(exc)
            elif self.link == DOWN:
                self.reconnect(now=True)
            else:
                return False
            if not psu.pending_off:
                return True
            if deadline is not None and time.monotonic() >= deadline:
                return False
            if deadline is None and self.stop():
                return False
            self.abandon.wait(CLOSE_TRY_S)
        return not psu.pending_off

    # --- the poll -----------------------------------------------------------------------------

    def sample(self, skip=(), record=True):
        """One reading (meters and status; never the fault byte), fed to the recorder (skip: its
        events the caller records itself). A failed exchange raises K7340Error."""
        psu = self.supply
        volts, microamps = psu.read_voltage(), psu.read_current()
        temperature = psu.read_temperature()
        setpoint = psu.setpoint if psu.ownership.ever_owned else None
        reading = Reading(volts, microamps, temperature, psu.status, setpoint)
        if record:
            self._record(reading, skip=skip)
        return reading

    def _record(self, reading, lost=None, skip=()):
        if self.recorder is not None:
            line = self.recorder.poll(reading, lost, skip)
            if line:
                self.say(line)

    def poll(self):
        """A reading, or None after a failed exchange (``last_error`` says which; it counts
        towards the lost-link rule) and while the link is down (it tries to reopen the port).
        An owed zero goes out first. While no operation runs, an owner's trip or outage is
        acted on here; ``take_event()`` then gives the K7340TripError or K7340OutageError."""
        if self.link != UP and not self.reconnect():
            self._record(None, self.link_text or "the link is down")
            return None
        psu = self.supply
        # While an operation names its trips' records itself, the poll leaves them to it.
        named = self.operation is not None and getattr(self.operation, "names_trips", False)
        try:
            if psu.pending_off:
                psu.output_off()
            reading = self.sample(("trip",) if named else ())
        except K7340Error as exc:
            self.failed(exc)
            if self.link != UP:
                self._record(None, self.link_text)
            return None
        self.failures, self.last_error = 0, None
        if self.operation is None:
            self.watch_owner(reading)
        return reading

    def take_event(self):
        """The trip or outage that ended holding the output since the last call, or None."""
        event, self.event = self.event, None
        return event

    def failed(self, exc):
        """A failed exchange: the link is lost after a failed write, a vanished device path or
        lost_after failures in a row; an owner's output is then presumed off."""
        self.failures += 1
        self.last_error = exc
        if exc.code not in LINE_ERRORS and not self.supply.lost:
            return
        path = (self._where or {}).get("port")
        vanished = isinstance(path, str) and os.sep in path and not os.path.exists(path)
        if not (
            self.supply.lost
            or exc.code == ERR_WRITE
            or vanished
            or self.failures >= self.lost_after
        ):
            return
        self.supply.lost = True
        was_up, self.link = self.link == UP, DOWN
        self.link_text = "the supply on %s does not answer (%s)" % (self.port, exc.text)
        self._next_try = time.monotonic() + self.reopen_s
        if not was_up:
            return
        ownership = self.supply.ownership
        if ownership.owner or ownership.pending_off:
            with self.supply.lock:
                ownership.presume_off(self.supply, "the link was lost (%s)" % exc.text)
            self.event = K7340OutageError(ownership.outage, self.port, self.off_note())
        if self._where is not None:
            self.say(
                "lost the supply on %s (%s); reopening it when it answers (no setpoint is "
                "re-sent)" % (self.port, exc.text)
            )

    def reconnect(self, now=False):
        """One try to reopen a lost port, at most every reopen_s unless now; True when the same
        supply answers again. A session handed its supply never reopens it."""
        if self.link == UP:
            return True
        if self._where is None or self.abandon.is_set():
            return False
        if not now and time.monotonic() < self._next_try:
            return False
        self._next_try = time.monotonic() + self.reopen_s
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
        off = (
            " (the zero setpoint it was owed went out first)"
            if self.supply.ownership.outage
            else ""
        )
        self.say(
            "the supply on %s answers again (the same supply; no setpoint re-sent)%s"
            % (self.port, off)
        )
        return True

    def off_note(self):
        """What an outage left: the zero sent, or owed and what switches the output off."""
        ownership = self.supply.ownership
        if not ownership.pending_off:
            return "the zero setpoint was sent"
        return ownership.may_still_be_on(
            "the zero setpoint is owed: it goes out first once the same supply answers"
        )

    def require_link(self, what):
        if self.link != UP:
            raise K7340Error(
                None,
                "%s refused: the link is %s, only Off is accepted"
                % (what, "down" if self.link == DOWN else "to another supply"),
                what,
                device=self.port,
            )

    @property
    def pending_off(self):
        """True while an Off waits for the link (or for a failed exchange's retry)."""
        return self.supply is not None and self.supply.pending_off


def orphan_text(volts, port):
    """What a program that only reads says of an output on that no program holds."""
    return "output on at %.0f V and no program holds it; `k7340 off --port %s` switches it off" % (
        volts,
        port,
    )


def checked_trip_action(on_trip):
    """on_trip: "off" or "ramp-down"; anything else is refused naming both."""
    if on_trip not in TRIP_ACTIONS:
        raise ValueError("on_trip must be %s, not %r" % (" or ".join(TRIP_ACTIONS), on_trip))
    return on_trip
