"""Several supplies as one system: a Group of named sessions that switch on in one order and off
in the reverse, ramp in lockstep within their difference limits, and share one trip action.

    with Group({"cathode": "/dev/ttyUSB0", "anode": "/dev/ttyUSB1"},
               differences=[("anode", "cathode", 800)], rate=200) as group:
        group.ramp_to({"cathode": 1000, "anode": 1500})    # together, every limit kept
        group.hold(30)
        group.off()                                         # down in lockstep, then off

Every member is a Session of this layer (its dead-man armed before its output goes on, its
identity checked, its lost link and outage rules); the group adds what concerns them together:
- before anything goes on, a member that reports a trip bit is refused (naming the bits,
  clearing nothing), and so is one whose output is already on ("switch it off first");
- lockstep ramps (k7340.lab.lockstep): one progress value for every setpoint of a step, at the
  slowest member's rate; within a tick rising setpoints go out in on_order, falling ones in
  reverse, each tick small enough for the headroom of every limit;
- the readings of all members are taken at once (the ports are independent), and checked after
  every tick: a trip bit, an outage, or a measured difference beyond its limit by more than the
  tolerance (k7340.lab.lockstep.measured_tolerance) is a trip of the group;
- the group's trip action (on_trip): "off" zeroes every member at once in the reverse order;
  "ramp-down" (after over-current or a measured difference only) switches off the members that
  died (tripped otherwise, link lost) and those whose limit to a dead member would break, and
  ramps the rest to zero in lockstep at the group's rate. Then K7340TripError.
"""

import concurrent.futures
import time

from ..binding.errors import K7340Error, K7340OutageError, K7340TripError
from ..binding.flags import StatusFlags
from ..lab import lockstep
from ..lab.schedule import Schedule, Stopped
from ..safety.deadman import DEFAULT_WATCHDOG_MS
from ..safety.status import RAMP_DOWN_BITS, output_is_on, refusal, status_text, trip_bits
from .session import Session, checked_trip_action
from .states import UP

TICK_S = 0.05
HOLD_POLL_S = 0.25


class Group:
    """``ports``: name -> port, in the order of the plan. ``differences``: (a, b, volts) limits.
    ``on_order``: the names in switching-on order (default: ports' order). ``rate``: V/s of
    every ramp unless a member's own ``rates[name]`` is lower. ``max_volts``, ``limits``:
    name -> a member's highest setpoint and its two limit levels. ``on_sample(readings)``
    after every reading of all members (name -> Reading, None for a failed one)."""

    def __init__(
        self,
        ports,
        *,
        differences=(),
        on_order=None,
        on_trip="off",
        rate=None,
        rates=None,
        watchdog_ms=DEFAULT_WATCHDOG_MS,
        max_volts=None,
        limits=None,
        say=None,
        stop=None,
        sleep=None,
        recorders=None,
        on_sample=None,
    ):
        self.names = list(ports)
        self.on_order = list(on_order or self.names)
        self.differences = [tuple(d) for d in differences]
        self.on_trip = checked_trip_action(on_trip)
        self.rate = rate
        self.rates = dict(rates or {})
        self.say = say or (lambda text: None)
        self.stop = stop if stop is not None else (lambda: False)
        self.sleep = sleep if sleep is not None else time.sleep
        self.on_sample = on_sample
        self.readings = {}
        self.tripping = False
        self.sessions = {
            name: Session(
                port,
                watchdog_ms=watchdog_ms,
                max_volts=(max_volts or {}).get(name),
                limits=(limits or {}).get(name),
                stop=self.stop,
                sleep=self.sleep,
                on_trip=on_trip,
                rate=rate,
                say=lambda text, n=name: self.say("%s: %s" % (n, text)),
                recorder=(recorders or {}).get(name),
            )
            for name, port in ports.items()
        }
        self._pool = concurrent.futures.ThreadPoolExecutor(max(1, len(self.names)), "k7340-group")
        self._begun = False

    # --- opening and closing ------------------------------------------------------------------

    def open(self, ceilings=None):
        """Opens every member in switching-on order; any failure closes those already open
        (nothing but reads was sent) and raises. ceilings: name -> volts the member's range
        must reach (a plan's max), refused at open naming both."""
        try:
            for name in self.on_order:
                session = self.sessions[name]
                session.open()
                vrange = session.supply.ranges.vrange
                ceiling = (ceilings or {}).get(name)
                if ceiling is not None and vrange < ceiling:
                    raise K7340Error(
                        None,
                        "%s: the supply's range is %d V, below the plan's max "
                        "%g V" % (name, vrange, ceiling),
                        "open",
                        device=session.port,
                    )
        except BaseException:
            self.close()
            raise
        return self

    def __enter__(self):
        if not any(s.supply for s in self.sessions.values()):
            self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Every member's way out, in the reverse order; K7340Error naming each member whose
        output may still be on."""
        notes = []
        for name in reversed(self.on_order):
            try:
                self.sessions[name].close()
            except K7340Error as exc:
                notes.append("%s: %s" % (name, exc.note or exc))
        self._pool.shutdown(wait=False)
        if notes:
            raise K7340Error(None, "closing the group", "close", note="; ".join(notes))

    # --- readings -----------------------------------------------------------------------------

    def sample(self, names=None):
        """Every member's reading (or those of names), taken at once; None for a member whose
        exchange failed (it counts towards that member's lost-link rule)."""
        futures = {n: self._pool.submit(self.sessions[n].sample) for n in names or self.names}
        readings = {}
        for name, future in futures.items():
            try:
                readings[name] = future.result()
            except K7340Error as exc:
                self.sessions[name].failed(exc)
                readings[name] = None
        self.readings = readings
        if self.on_sample is not None:
            self.on_sample(readings)
        return readings

    # --- requests -----------------------------------------------------------------------------

    def begin(self):
        """Before the first output goes on: every member answers, none reports a trip bit, none
        has its output on already. Nothing is sent when it refuses."""
        if self._begun:
            return
        readings = self.sample()
        for name in self.on_order:
            reading, session = readings[name], self.sessions[name]
            if reading is None or session.link != UP:
                raise K7340Error(
                    None,
                    "%s does not answer" % name,
                    "begin",
                    device=session.port,
                    note="nothing was sent",
                )
            why = refusal(reading.status)
            if why:
                raise K7340Error(
                    None,
                    "%s refused: %s" % (name, why),
                    None,
                    device=session.port,
                    note="nothing was sent",
                )
            if StatusFlags.ENABLE in reading.status:
                raise K7340Error(
                    None,
                    "%s: its output is already on at %.0f V" % (name, reading.volts),
                    None,
                    device=session.port,
                    note="switch it off first: `k7340 off --port %s`" % session.port,
                )
        self._begun = True

    def setpoints(self):
        return {n: self.sessions[n].supply.setpoint for n in self.names}

    def ramp_to(self, targets, rate=None):
        """All members named in targets to their volts in lockstep (the others hold); True at
        the targets, False when a stop ended it where it was. A trip is the group's trip
        action (K7340TripError); checked before anything is sent."""
        for name, volts in targets.items():
            targets[name] = self.sessions[name].supply.checked_volts(volts, name)
        rate = rate or self.rate
        rates = {n: min(r for r in (rate, self.rates.get(n)) if r) for n in self.names}
        ticks = lockstep.plan_ticks(
            self.setpoints(), targets, rates, self.differences, self.on_order, TICK_S
        )
        self.begin()
        schedule = Schedule(TICK_S, self.stop, sleep=self.sleep)
        try:
            for at, sends in ticks.ticks:
                schedule.until(schedule.due + at)
                for name, volts in sends:
                    self._send(name, volts)
                self._watch(self.sample())
        except Stopped:
            return False
        return True

    def hold(self, seconds, interval=HOLD_POLL_S):
        """Holds every setpoint for seconds (None: until a stop), watching all members; True
        when the time ran out, False when a stop ended it."""
        schedule = Schedule(interval, self.stop, sleep=self.sleep)
        end = None if seconds is None else time.monotonic() + seconds
        try:
            while end is None or time.monotonic() < end:
                self._watch(self.sample())
                schedule.wait()
        except Stopped:
            return False
        return True

    def condition(self, name, target, rate, dwell, backoff, max_trips, **keywords):
        """Conditions one member while the others hold, watched at every step of it: the
        member's over-voltage and over-current are its back-off; its giving up, its other trips
        and every other member's trip are the group's trip action."""
        self.begin()
        session = self.sessions[name]
        others = [n for n in self.names if n != name]

        def watch():
            readings = self.sample(others)
            readings[name] = session.operation.last if session.operation else None
            self._watch(readings, skip=name)

        try:
            return session.condition(
                target, rate, dwell, backoff, max_trips, watch=watch, **keywords
            )
        except K7340TripError as exc:
            if self.tripping:
                raise
            self._trip(name, exc.bits, str(exc), exc.gave_up, ramp=bool(exc.bits & RAMP_DOWN_BITS))
        except K7340OutageError as exc:
            self._trip(name, StatusFlags(0), str(exc), False, ramp=False)

    def off(self):
        """Every member to zero in lockstep at the group's rate (every limit kept), then each
        switched off in the reverse order."""
        self.ramp_to({n: 0.0 for n in self.names})
        self._all_off(self.names)

    # --- the watch and the trip action --------------------------------------------------------

    def _send(self, name, volts):
        session = self.sessions[name]
        try:
            session.check_outage()
            session.supply.set_voltage(volts)
        except K7340OutageError as exc:
            self._trip(name, StatusFlags(0), str(exc), False, ramp=False)
        except K7340Error as exc:
            outage = session.line_failure(exc)
            self._trip(name, StatusFlags(0), str(outage), False, ramp=False)

    def _watch(self, readings, skip=None):
        """After every tick: the first member that shows a trip, an outage or a difference
        beyond its limit starts the group's trip action."""
        for name in self.on_order:
            session, reading = self.sessions[name], readings.get(name)
            if name == skip:
                continue
            try:
                session.check_outage()  # a lost link, a watchdog gone a period unfed
            except K7340OutageError as exc:
                self._trip(name, StatusFlags(0), "%s: %s" % (name, exc), False, ramp=False)
            if session.link != UP or reading is None:
                if session.link != UP:
                    self._trip(
                        name,
                        StatusFlags(0),
                        "the link to %s was lost (%s)" % (name, session.link_text),
                        False,
                        ramp=False,
                    )
                continue
            bits = trip_bits(reading.status)
            if bits and output_is_on(reading.status, session.supply.setpoint):
                self._trip(
                    name,
                    bits,
                    "%s tripped (%s) at %.0f V" % (name, status_text(bits), reading.volts),
                    False,
                    ramp=not bits & ~RAMP_DOWN_BITS,
                )
        values = {n: r.volts for n, r in readings.items() if r is not None}
        for a, b, measured, limit in lockstep.difference_breaks(
            values, self.differences, lockstep.measured_tolerance
        ):
            self._trip(
                a,
                StatusFlags(0),
                "measured %s - %s = %.0f V, beyond its limit of %.0f V" % (a, b, measured, limit),
                False,
                ramp=True,
            )

    def _trip(self, name, bits, why, gave_up, ramp):
        """The group's trip action, once; then K7340TripError (gave_up: conditioning gave up)."""
        if self.tripping:
            raise K7340TripError(bits, self.setpoints().get(name, 0.0), "the trip action runs", why)
        self.tripping = True
        self._record_all("group trip: %s" % why)
        dead = [n for n in self.names if n == name and not ramp]
        dead += [n for n in self.names if self.sessions[n].link != UP and n not in dead]
        if self.on_trip == "ramp-down" and ramp:
            note = self._ramp_down(dead)
        else:
            self._all_off(self.names)
            note = "every supply switched off at once, in the reverse order"
        error = K7340TripError(bits, self.setpoints().get(name, 0.0), note, why, name)
        error.gave_up = gave_up
        raise error

    def _ramp_down(self, dead):
        """Members dead, and those whose limit to a dead one would break, off at once; the rest
        to zero in lockstep. The words for how it ended."""
        at_zero = set(dead)
        for a, b, limit in self.differences:
            for one, other in ((a, b), (b, a)):
                if other in at_zero and abs(self.sessions[one].supply.setpoint) > limit:
                    at_zero.add(one)
        self._all_off([n for n in self.names if n in at_zero])
        rest = {n: 0.0 for n in self.names if n not in at_zero}
        try:
            ticks = lockstep.plan_ticks(
                self.setpoints(),
                rest,
                {n: self.rate for n in rest},
                self.differences,
                self.on_order,
                TICK_S,
            )
            schedule = Schedule(TICK_S, sleep=self.sleep)
            for at, sends in ticks.ticks:
                schedule.until(schedule.due + at)
                for name, volts in sends:
                    self.sessions[name].supply.set_voltage(volts)
        except (K7340Error, lockstep.PlanError) as exc:
            self._all_off(self.names)
            return "ramp-down failed (%s): every supply switched off at once" % exc
        self._all_off(self.names)
        off = ", ".join(sorted(at_zero)) or "none"
        return "ramped down to zero in lockstep at %g V/s (switched off at once: %s)" % (
            self.rate,
            off,
        )

    def _all_off(self, names):
        for name in reversed(self.on_order):
            if name not in names:
                continue
            psu = self.sessions[name].supply
            if psu is None:
                continue
            with psu.lock:
                if psu.owns_output or psu.pending_off or psu.setpoint:
                    if psu.lost:
                        psu.ownership.pending_off = True
                    else:
                        psu.ownership.switch_off(psu)

    def _record_all(self, event):
        for name in self.names:
            recorder = self.sessions[name].recorder
            if recorder is not None:
                self.say("%s: %s" % (name, recorder.write(event)))
