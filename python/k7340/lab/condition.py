"""Conditioning: bringing a load (a detector, a vacuum gap, a cable) up to voltage with back-off
after trips. The policy is here; it works on the operation it is handed, which the session
(k7340.session) runs under its outage and trip rules.

The setpoint climbs at ``rate`` to the target and dwells there. A trip is the over-voltage or
over-current status bit while the output is on: the setpoint then comes down by ``backoff`` at
``backoff_rate`` (the climb rate unless given), the run waits until the bit clears (at most
``clear_within`` seconds), dwells and climbs again. The ``max_trips``-th trip, or a bit that
does not clear, ends the run: it gives up, and the session's trip action brings the output to
zero (K7340TripError with ``gave_up`` True and the ``trips``). The Fault bit, over-temperature
and a lost link are not trips to back off from: they go to the trip action at once. The fault
byte is never read here: latched faults are cleared only when the user acknowledges them.

The operation handed in offers: ``setpoint``; ``tick()`` (the next step of the schedule; it
raises Stopped when asked to stop); ``send(volts, phase)`` and ``read(phase)``, each returning
a k7340.safety Reading; ``trip_action(reading, why, gave_up)``, which raises; and
``record_trip(reading, count)``, which records the Trip in ``trips``.
"""

import collections

from ..binding import checks
from ..binding.flags import StatusFlags
from ..safety.status import BACKOFF_BITS, TRIP_BITS, output_is_on
from . import ramp

CLEAR_WITHIN_S = 10.0
MAX_TRIPS = 10000

Trip = collections.namedtuple("Trip", "time setpoint volts microamps status record")
Trip.__doc__ = """One trip: wall-clock time, the setpoint and the readings when it was seen,
the status byte, and the flight recorder's file of it (or "")."""
Result = collections.namedtuple("Result", "volts trips reached")
Result.__doc__ = """How a run ended without giving up: the setpoint, the trips on the way, and
whether it reached the target (False: stopped, the output at zero)."""
Conditioning = collections.namedtuple(
    "Conditioning", "target rate dwell backoff max_trips backoff_rate clear_within"
)
Conditioning.__doc__ = "A conditioning run's arguments, checked."


def check(
    limit_check,
    target,
    rate,
    dwell,
    backoff,
    max_trips,
    backoff_rate=None,
    clear_within=CLEAR_WITHIN_S,
    call="condition",
    start=0.0,
):
    """The arguments as a Conditioning, checked before anything is sent; a refusal names the
    argument and its range (TypeError, or K7340ArgumentError, a ValueError). limit_check(volts,
    name) checks the target against the supply's limit. The climb and the back-off rates are bounded
    as a ramp's: a climb from start longer than a day is refused."""
    target = limit_check(target, "target")
    rate = ramp.checked_rate(rate, "rate", call)
    ramp.check_duration(start, target, rate, call)
    backoff_rate = (
        rate if backoff_rate is None else ramp.checked_rate(backoff_rate, "backoff_rate", call)
    )
    return Conditioning(
        target,
        rate,
        ramp.checked_seconds("dwell", dwell, call),
        checks.positive("backoff", backoff, "V", call=call),
        checks.integer("max_trips", max_trips, 1, MAX_TRIPS, call),
        backoff_rate,
        ramp.checked_seconds("clear_within", clear_within, call, low=0.01),
    )


def condition(op, run):
    """Conditions up to run.target (see the module's text) on op; returns a Result at the
    target. A stop ends it through op (Stopped propagates)."""
    op.names_trips = True  # each trip's flight record is named after it here
    trips = op.trips
    again = None  # a trip while settling after a back-off
    while True:
        reading = again or _move(op, run.target, run.rate, "climb") or _dwell(op, run.dwell)
        if reading is None:
            return Result(op.setpoint, trips, True)
        op.record_trip(reading, len(trips) + 1)
        if len(trips) >= run.max_trips:
            op.trip_action(
                reading,
                "gave up after %d trip%s (max_trips %d)"
                % (len(trips), "" if len(trips) == 1 else "s", run.max_trips),
                trips,
            )
        _move(op, max(0.0, reading.setpoint - run.backoff), run.backoff_rate, "back-off")
        if not _wait_clear(op, run.clear_within):
            op.trip_action(
                reading, "gave up: the trip bit did not clear within %g s" % run.clear_within, trips
            )
        again = _dwell(op, run.dwell, "settle")


def _tripped(op, reading, watch=True):
    """A reading that shows a trip to back off from (None if none); the Fault bit or
    over-temperature go to the trip action at once."""
    status = StatusFlags(reading.status)
    if status & TRIP_BITS & ~BACKOFF_BITS:
        op.trip_action(reading, None, None)
    if watch and status & BACKOFF_BITS and output_is_on(status, reading.setpoint):
        return reading
    return None


def _move(op, target, rate, phase):
    """Steps the setpoint to target at rate. Returns the reading that showed a trip (while
    climbing) or None."""
    for value in ramp.plan(op.setpoint, target, rate, op.step):
        op.tick()
        reading = _tripped(op, op.send(value, phase), phase == "climb")
        if reading is not None:
            return reading
    return None


def _dwell(op, seconds, phase="dwell"):
    end = op.now() + seconds
    while True:
        op.tick()
        reading = _tripped(op, op.read(phase))
        if reading is not None or op.now() >= end:
            return reading


def _wait_clear(op, within):
    """Reads until no back-off bit is set, at most within seconds. False if one stayed."""
    end = op.now() + within
    while True:
        op.tick()
        reading = op.read("wait")
        _tripped(op, reading, watch=False)
        if not StatusFlags(reading.status) & BACKOFF_BITS:
            return True
        if op.now() >= end:
            return False
