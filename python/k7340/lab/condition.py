"""Conditioning: bringing a load (a detector, a vacuum gap, a cable) up to voltage with back-off
after trips. Supply.condition calls ``condition`` here.

The setpoint climbs at ``rate`` to the target and dwells there. A trip is the over-voltage or
over-current status bit while the output is on: the setpoint then comes down by ``backoff`` at
the same rate, the run waits until the bit clears (at most ``clear_within`` seconds), reads the
fault byte (which clears latched faults), dwells and climbs again. The ``max_trips``-th trip
ends the run: the setpoint comes down to zero at the rate and K7340TripError (with ``trips``)
is raised. Over-temperature or the fault bit are not trips to retry: the output goes off at
once and K7340TripError names them. Any other way out (an exception, Ctrl-C) sends the zero
setpoint before the exception leaves.
"""

import collections
import datetime
import logging
import time

from ..binding import OUTPUT_ON_VOLTS, guards
from ..binding.errors import K7340Error, K7340TripError
from ..binding.flags import StatusFlags
from ..safety.faults import HeldFaults
from .ramp import STEP_S, plan, switch_off

log = logging.getLogger(__name__)

TRIP_BITS = StatusFlags.OVER_VOLTAGE | StatusFlags.OVER_CURRENT
STOP_BITS = StatusFlags.OVER_TEMPERATURE | StatusFlags.FAULT
CLEAR_WITHIN_S = 10.0
MAX_SECONDS = 7 * 24 * 3600.0  # a longer dwell or wait is a typing error
MAX_TRIPS = 10000

Reading = collections.namedtuple("Reading", "setpoint volts microamps status faults")
Trip = collections.namedtuple("Trip", "time setpoint volts microamps status faults record")
Trip.__doc__ = """One trip: wall-clock time, the setpoint and the readings when it was seen,
the status and fault bytes, and the flight recorder's file of it (or "")."""
Result = collections.namedtuple("Result", "volts trips reached")
Result.__doc__ = """How a run ended without giving up: the setpoint, the trips on the way, and
whether it reached the target (False: stopped, the output at zero)."""


class _Stopped(Exception):
    """stop() came true: the run ends at zero."""


class _Run:
    """One conditioning run's state: the supply, its schedule and the trips so far."""

    def __init__(self, supply, rate, step, progress, on_trip, recorder, report, stop):
        self.supply, self.rate, self.step, self.report = supply, rate, step, report
        self.stop = stop
        self.progress, self.on_trip, self.recorder = progress, on_trip, recorder
        self.trips = []
        self.held = HeldFaults()  # the fault byte read once when the Fault bit appears
        self.due = time.monotonic()

    def tick(self):
        """Waits for the next slot of the schedule (never ahead of the rate); a stop ends the
        run before the next setpoint."""
        self.due += self.step
        delay = self.due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            self.due = time.monotonic()
        if self.stop is not None and self.stop():
            raise _Stopped()

    def read(self, phase):
        psu = self.supply
        volts, microamps = psu.read_voltage(), psu.read_current()
        status = psu.status
        faults = self.held.update(psu, status)
        reading = Reading(psu.setpoint, volts, microamps, int(status), int(faults or 0))
        if self.recorder is not None:
            event = self.recorder.add(*reading)
            if event and not (StatusFlags(status) & TRIP_BITS):
                self.report(self.recorder.write(event))  # a trip's is written with the trip
        if self.progress is not None:
            self.progress(phase, reading)
        return reading

    def tripped(self, reading):
        """The trip bits of a reading while the output is on; stops at once on a fault."""
        status = StatusFlags(reading.status)
        if status & STOP_BITS:
            raise K7340TripError(status & STOP_BITS, reading.setpoint, switch_off(self.supply))
        on = StatusFlags.ENABLE in status or reading.setpoint >= OUTPUT_ON_VOLTS
        return status & TRIP_BITS if on else 0

    def move(self, target, watch):
        """Steps the setpoint to target at the rate, reading after each step. Returns the
        reading that showed a trip (watch) or None."""
        for value in plan(self.supply.setpoint, target, self.rate, self.step):
            self.tick()
            self.supply.set_voltage(value)  # the Supply arms its dead-man before the output
            reading = self.read("climb" if watch else "back-off")
            if watch and self.tripped(reading):
                return reading
        return None

    def dwell(self, seconds, phase="dwell"):
        end = time.monotonic() + seconds
        while True:
            self.tick()
            reading = self.read(phase)
            if self.tripped(reading):
                return reading
            if time.monotonic() >= end:
                return None

    def record(self, reading):
        status = StatusFlags(reading.status)
        faults = reading.faults if reading.faults else int(self.held.clear(self.supply))
        line, path = "", ""
        if self.recorder is not None:
            line = self.recorder.write(
                "trip %d: %s"
                % (len(self.trips) + 1, " ".join(StatusFlags(status & TRIP_BITS).labels()))
            )
            path = self.recorder.last_file or ""
        trip = Trip(
            datetime.datetime.now().astimezone(),
            reading.setpoint,
            reading.volts,
            reading.microamps,
            int(status),
            faults,
            path,
        )
        self.trips.append(trip)
        if self.on_trip is not None:
            self.on_trip(trip)
        if line:
            self.report(line)
        return trip

    def wait_clear(self, within):
        """Reads until no trip bit is set, at most ``within`` seconds; then reads the fault
        byte, which clears latched faults. False if the bit stayed."""
        end = time.monotonic() + within
        while True:
            self.tick()
            reading = self.read("wait")
            if not StatusFlags(reading.status) & TRIP_BITS:
                self.held.clear(self.supply)  # reading the fault byte clears latched faults
                return True
            if time.monotonic() >= end:
                return False


def _give_up(run, reading, why):
    """Down to zero at the rate (at once if a step fails); raises K7340TripError."""
    try:
        run.move(0.0, watch=False)
        note = None
    except K7340Error:
        note = switch_off(run.supply)
    raise K7340TripError(
        reading.status & TRIP_BITS or reading.status,
        reading.setpoint,
        note or "%s; output at zero" % why,
    )


def check(supply, target, rate, dwell, backoff, max_trips, step, clear_within):
    """The arguments checked before anything is sent; a refusal names the argument and its
    range (TypeError, or K7340ArgumentError which is a ValueError)."""
    return (
        supply.checked_volts(target, "target"),
        guards.positive("rate", rate, "V/s", call="condition"),
        guards.real("dwell", dwell, 0.0, MAX_SECONDS, "s", "condition"),
        guards.positive("backoff", backoff, "V", call="condition"),
        guards.integer("max_trips", max_trips, 1, MAX_TRIPS, "condition"),
        guards.real("step", step, STEP_S[0], STEP_S[1], "s", "condition"),
        guards.positive("clear_within", clear_within, "s", MAX_SECONDS, "condition"),
    )


def condition(
    supply,
    target,
    rate,
    dwell,
    backoff,
    max_trips,
    *,
    step=0.05,
    clear_within=CLEAR_WITHIN_S,
    progress=None,
    on_trip=None,
    recorder=None,
    report=log.warning,
    stop=None,
):
    """Conditions up to target (see the module's text); returns a Result at the target.

    ``progress(phase, reading)`` is called after every reading (phase "climb", "dwell",
    "back-off", "wait", "settle"); ``on_trip(trip)`` after each trip is recorded;
    ``recorder`` a FlightRecorder fed with every reading, ``report(line)`` gets its lines
    for events that are not trips and for a failed link (a trip's line is in its Trip).
    ``stop()``, asked before every setpoint and reading, ends the run at zero (a Result with
    reached False). The Supply arms its dead-man before the output goes on."""
    target, rate, dwell, backoff, max_trips, step, clear_within = check(
        supply, target, rate, dwell, backoff, max_trips, step, clear_within
    )
    run = _Run(supply, rate, step, progress, on_trip, recorder, report, stop)
    again = None  # a trip while settling after a back-off
    try:
        while True:
            reading = again or run.move(target, watch=True) or run.dwell(dwell)
            if reading is None:
                return Result(supply.setpoint, run.trips, True)
            run.record(reading)
            if len(run.trips) >= max_trips:
                _give_up(
                    run,
                    reading,
                    "gave up after %d trips (max_trips %d)" % (len(run.trips), max_trips),
                )
            run.move(max(0.0, reading.setpoint - backoff), watch=False)
            if not run.wait_clear(clear_within):
                _give_up(run, reading, "the trip bit did not clear within %g s" % clear_within)
            again = run.dwell(dwell, "settle")
    except K7340TripError as exc:
        exc.trips = list(run.trips)  # also when a fault stopped the run
        raise
    except _Stopped:
        note = switch_off(supply)
        if note is not None:
            raise K7340Error(
                None, "conditioning stopped", "condition", device=supply.port, note=note
            ) from None
        return Result(supply.setpoint, run.trips, False)
    except BaseException as exc:
        if isinstance(exc, K7340Error) and recorder is not None:
            report(recorder.write("link failed: %s" % exc.text, last=False))
        note = switch_off(supply)
        if note is not None and isinstance(exc, K7340Error):
            exc.note = "%s; %s" % (exc.note, note) if exc.note else note
        elif note is not None:
            raise K7340Error(
                None, "conditioning interrupted", "condition", device=supply.port, note=note
            ) from exc
        raise
