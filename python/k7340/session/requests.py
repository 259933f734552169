"""What a session is asked to do with the output: switch it on or off, ramp, condition, hold
while it polls, and the trip action when the supply trips. Every request that switches the
output on begins the same way (``begin``): the link must be up, a supply that reports a trip
bit is refused before anything is sent, and an output found on that no program holds is
adopted. A mixin of Session (session.py)."""

import time

from ..binding import checks
from ..binding.device import OUTPUT_ON_VOLTS
from ..binding.errors import K7340Error, K7340OutageError, K7340TripError
from ..binding.flags import StatusFlags
from ..lab import condition as lab_condition
from ..lab import ramp as lab_ramp
from ..lab.schedule import Schedule, Stopped
from ..safety.status import RAMP_DOWN_BITS, output_is_on, refusal, trip_bits
from .operation import Operation, ramp_down
from .states import DOWN, OTHER_SUPPLY, UP

STEP_S = 0.05  # default seconds between setpoints
TRIP_ACTION = "trip action"  # the session's operation while a poll's trip action runs


class Requests:
    # --- beginning a request ------------------------------------------------------------------

    def begin(self, what):
        """A new request that may switch the output on: refused while the link is down, for a
        reader, and (nothing sent) when the supply reports a trip bit; an output found on that
        no program holds is adopted from its measured voltage. Ends any outage. Returns a fresh
        reading."""
        if self.operation is TRIP_ACTION:
            raise K7340Error(None, "%s refused: a trip action runs" % what, None, device=self.port)
        if self.reader:
            raise K7340Error(
                None, "%s refused: this session only reads" % what, what, device=self.port
            )
        self.require_link(what)
        psu = self.supply
        try:
            if psu.pending_off:
                psu.output_off()
            reading = self.sample(record=False)
        except K7340Error as exc:
            self.failed(exc)
            raise
        why = refusal(reading.status)
        if why:
            raise K7340Error(
                None,
                "%s refused: %s" % (what, why),
                None,
                device=self.port,
                note="nothing was sent",
            )
        if StatusFlags.ENABLE in reading.status and not psu.owns_output:
            volts = psu.adopt()
            self.orphan = None
            self.say(
                "adopted the output found on at %.0f V (no program held it): this session "
                "holds it now and switches it off at its end" % volts
            )
        elif StatusFlags.ENABLE not in reading.status and psu.setpoint >= OUTPUT_ON_VOLTS:
            psu.note_setpoint(0.0)  # the supply switched it off by itself: it starts from 0
        psu.ownership.outage = None
        self.event = None
        return reading

    # --- the output ---------------------------------------------------------------------------

    def set_voltage(self, volts):
        """Below 20 V an Off (kept while the link is down); otherwise a new request (begin)."""
        volts = self.supply.checked_volts(volts)
        if volts < OUTPUT_ON_VOLTS:
            return self.output_off(volts)
        with self._request_lock:
            self.begin("Setpoint")
            self._sending(self.supply.set_voltage, volts)

    def output_off(self, volts=0.0):
        """Off now; while the link is down it is owed and sent first once the same supply is
        back. Returns True when sent, False when owed."""
        psu = self.supply
        with psu.lock:  # an operation's next setpoint, under the same lock, sees it (Operation)
            self.offs += 1
        if self.link != UP:
            if self.link == DOWN and (psu.owns_output or psu.pending_off or volts == 0):
                psu.ownership.pending_off = True
            return False
        self._sending(psu.output_off, volts)
        return True

    def _sending(self, call, *args):
        try:
            call(*args)
        except K7340Error as exc:
            self.failed(exc)
            raise

    def clear_faults(self):
        """Acknowledges the faults: reads the fault byte (the supply's follow-up command clears
        the latched ones). Returns the FaultFlags read."""
        self.require_link("ClearFaults")
        return self.supply.clear_faults()

    # --- operations ---------------------------------------------------------------------------

    def ramp_to(
        self, volts, rate, step=STEP_S, progress=None, start=None, stop=None, on_reading=None
    ):
        """Ramps the setpoint to volts at rate (V/s), one setpoint every step seconds, from
        start (default: the setpoint, or the measured voltage of an output adopted), with a
        status check after each step; True at the target, False when a stop ended it where it
        was (the session's stop, or this ramp's ``stop()``). ``progress(volts)`` and
        ``on_reading(reading)`` after each step. A trip is the trip action
        (K7340TripError), an outage K7340OutageError. Every argument is checked before
        anything is sent."""
        psu = self.supply
        target = psu.checked_volts(volts, "volts")
        origin = None if start is None else psu.checked_volts(start, "start")
        rate, step = lab_ramp.checked(
            self._origin(origin), target, rate, step, "RampTo" if self._where else "ramp_to"
        )
        if progress is not None and not callable(progress):
            raise TypeError("progress must be callable or None, not %s" % type(progress).__name__)
        with self._request_lock:
            self.begin("RampTo")
            origin = psu.setpoint if origin is None else origin
            lab_ramp.check_duration(origin, target, rate)

            def shown(phase, reading):
                if on_reading is not None:
                    on_reading(reading)
                if progress is not None:
                    progress(psu.setpoint)

            operation = Operation(self, step, rate, shown, stop=stop)
            return self._run(operation, lambda: operation.ramp(origin, target), zero=False)

    def _origin(self, start):
        if start is not None:
            return start
        if self.found_on is not None and not self.supply.owns_output:
            return min(self.found_on, self.supply.volts_limit)
        return self.supply.setpoint

    def condition(
        self,
        target,
        rate,
        dwell,
        backoff,
        max_trips,
        *,
        backoff_rate=None,
        step=STEP_S,
        clear_within=lab_condition.CLEAR_WITHIN_S,
        progress=None,
        trip_seen=None,
        stop=None,
        watch=None,
    ):
        """Conditions up to target (see k7340.lab.condition); returns a Result (reached False
        when a stop ended it, at zero). Giving up is the trip action (K7340TripError with
        gave_up and trips); an outage K7340OutageError. ``progress(phase, reading)`` after
        every reading, ``trip_seen(trip)`` after each trip backed off from; ``stop()`` (or the
        session's) ends the run at zero; ``watch()`` runs after every step of it."""
        psu = self.supply
        run = lab_condition.check(
            psu.checked_volts,
            target,
            rate,
            dwell,
            backoff,
            max_trips,
            backoff_rate,
            clear_within,
            start=self._origin(None),
        )
        step = checks.real("step", step, lab_ramp.STEP_S[0], lab_ramp.STEP_S[1], "s", "condition")
        with self._request_lock:
            self.begin("Condition")
            operation = Operation(self, step, run.rate, progress, trip_seen, stop, watch)
            result = self._run(
                operation, lambda: lab_condition.condition(operation, run), zero=True
            )
        if result is False:
            return lab_condition.Result(psu.setpoint, list(operation.trips), False)
        return result

    def _run(self, operation, body, zero):
        """Runs body as the session's operation. A stop ends it (at zero when zero, else where
        it is) and gives False; KeyboardInterrupt ends it at zero and propagates; a trip or an
        outage has been acted on when it propagates."""
        self.operation = operation
        try:
            return body()
        except Stopped:
            if zero:
                self._zero_now()
            return False
        except KeyboardInterrupt:
            self._zero_now()
            raise
        except K7340TripError as exc:
            exc.trips = exc.trips or list(operation.trips)
            raise
        finally:
            self.operation = None

    def _zero_now(self):
        psu = self.supply
        with psu.lock:
            if psu.owns_output or psu.pending_off:
                failed = psu.ownership.switch_off(psu)
                if failed is not None:
                    raise failed

    def hold(self, interval, on_reading=None, seconds=None, count=None, keep_grid=False, stop=None):
        """Polls every interval seconds (a reader of an orphaned output no faster than
        poll_interval allows) and hands each reading (None after a failed poll) to on_reading,
        until seconds or count polls have passed (None: until a stop). An owner's trip or
        outage ends it (K7340TripError, K7340OutageError); another supply behind the port ends
        it with K7340Error. True when it ran its course, False when a stop (the session's, or
        ``stop()``) ended it."""
        stopped = self.stop if stop is None else (lambda: self.stop() or stop())
        schedule = Schedule(
            self.poll_interval(interval), stopped, sleep=self.sleep, keep_grid=keep_grid
        )
        end = None if seconds is None else time.monotonic() + seconds
        done = 0
        while True:
            reading = self.poll()
            if on_reading is not None:
                on_reading(reading)
            event = self.take_event()
            if event is not None:
                raise event
            if self.link == OTHER_SUPPLY:
                raise K7340Error(
                    None,
                    self.link_text,
                    "hold",
                    device=self.port,
                    note="it is left untouched; this session holds no output now",
                )
            done += 1
            if (count is not None and done >= count) or (
                end is not None and time.monotonic() >= end
            ):
                return True
            try:
                schedule.wait()
            except Stopped:
                return False

    # --- trips and outages --------------------------------------------------------------------

    def watch_owner(self, reading):
        """After a poll while no operation runs: an owner's outage or trip is acted on (the
        event is kept for take_event); a reader notes an orphaned output going off."""
        psu = self.supply
        ownership = psu.ownership
        if self.orphan and StatusFlags.ENABLE not in reading.status:
            self.orphan = None
            self.say("the output no program held is off now")
        if self.reader:
            return
        if ownership.owner and ownership.starving():
            with psu.lock:
                ownership.presume_off(psu, ownership.starved_text())
        if ownership.outage is not None and ownership.outage is not self._told_outage:
            self._told_outage = ownership.outage
            self.event = K7340OutageError(ownership.outage, self.port, self.off_note())
        elif (
            ownership.owner
            and trip_bits(reading.status)
            and output_is_on(reading.status, psu.setpoint)
        ):
            self.operation = TRIP_ACTION  # no request starts while the trip action runs
            try:
                self.trip(reading)
            except K7340TripError as exc:
                self.event = exc
            finally:
                self.operation = None

    _told_outage = None
    offs = 0  # Offs asked of this session: an operation begun before the last one ends
    ramping_down = None  # ramping_down(rate): told when a trip action starts to ramp down

    def check_outage(self):
        """Before every step of an operation: a link that is down, or a supply whose watchdog
        went a period unfed, ends it (K7340OutageError, the output presumed off)."""
        psu = self.supply
        ownership = psu.ownership
        if self.link != UP:
            raise K7340OutageError(self.link_text or "the link is down", self.port, self.off_note())
        if ownership.owner and ownership.starving():
            with psu.lock:
                ownership.presume_off(psu, ownership.starved_text())
        if ownership.outage is not None:
            self._told_outage = ownership.outage
            raise K7340OutageError(ownership.outage, self.port, self.off_note())

    def line_failure(self, exc):
        """A failed exchange during an operation ends it as an outage: the output is presumed
        off, the zero goes out (or is owed while the port is lost)."""
        self.failed(exc)
        psu = self.supply
        ownership = psu.ownership
        if ownership.outage is None:
            with psu.lock:
                ownership.presume_off(psu, "an exchange failed (%s)" % exc.text)
        self._told_outage = ownership.outage
        return K7340OutageError(ownership.outage, self.port, self.off_note())

    def trip(self, reading, why=None, rate=None, trips=None):
        """The trip action for reading, then K7340TripError (``gave_up`` when trips are given:
        the trips conditioning backed off from). "ramp-down" ramps to zero at rate (the
        session's when None) only when over-current alone tripped; everything else, and a
        ramp-down that fails, switches off at once."""
        psu = self.supply
        bits = trip_bits(reading.status)
        rate = rate or self.rate
        note = None
        if (
            self.on_trip == "ramp-down"
            and rate
            and bits
            and not bits & ~RAMP_DOWN_BITS
            and self.link == UP
            and psu.owns_output
        ):
            if self.ramping_down is not None:
                self.ramping_down(rate)
            note = ramp_down(self, rate, STEP_S)
        if note is None:
            with psu.lock:
                failed = None
                if psu.owns_output or psu.pending_off:
                    failed = psu.ownership.switch_off(psu)
            note = failed.note if failed is not None else "output switched off"
        error = K7340TripError(bits, reading.setpoint or psu.setpoint, note, why, self.port)
        error.gave_up = trips is not None
        error.trips = list(trips or [])
        raise error
