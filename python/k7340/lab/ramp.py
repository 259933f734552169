"""Ramp planning: the setpoints of a ramp at a bounded rate, and the bounds of rates, steps and
durations that every front end checks (one home). The plan is a generator: a ramp of any length
holds one setpoint at a time in memory. The session (k7340.session) runs a plan step by step
under its outage and trip rules."""

import math

from ..binding import checks
from ..binding.errors import K7340ArgumentError

STEP_S = (0.01, 10.0)  # seconds between setpoints
MAX_RAMP_SECONDS = 24 * 3600.0  # a longer ramp is a typing error, not a plan
MAX_RATE = 60000.0  # V/s: full scale of the largest range in one second
MAX_WAIT_SECONDS = 7 * 24 * 3600.0  # a longer dwell, hold or wait is a typing error


def plan(start, target, rate, step):
    """The setpoints of a ramp, one per step, lazily: never ahead of start + rate * t, the
    last one exactly target. A ramp to where it already is still sends target once."""
    distance = target - start
    # The tolerance keeps 1000 V at 1000 V/s in 0.05 s steps at 20 steps, not 21.
    count = max(1, math.ceil(abs(distance) / rate / step - 1e-9))
    per_step = math.copysign(rate * step, distance)
    low, high = min(start, target), max(start, target)
    for k in range(1, count):
        yield min(max(start + per_step * k, low), high)
    yield float(target)


def checked_rate(rate, name="rate", call=None):
    """A rate in V/s: finite, above 0, at most MAX_RATE."""
    return checks.positive(name, rate, "V/s", MAX_RATE, call)


def checked(start, target, rate, step, call="ramp_to", name="rate"):
    """rate and step as floats, or a refusal naming them: rate finite above 0 (at most
    MAX_RATE), step STEP_S[0]..STEP_S[1] s, and the whole ramp at most MAX_RAMP_SECONDS."""
    rate = checked_rate(rate, name, call)
    step = checks.real("step", step, STEP_S[0], STEP_S[1], "s", call)
    check_duration(start, target, rate, call, name)
    return rate, step


def check_duration(start, target, rate, call=None, name="rate"):
    """A ramp from start to target at rate takes at most MAX_RAMP_SECONDS."""
    seconds = abs(target - start) / rate
    if seconds > MAX_RAMP_SECONDS:
        raise K7340ArgumentError(
            "a ramp from %g V to %g V at %g V/s would take more than %g hours: %s must be at "
            "least %.3g V/s"
            % (
                start,
                target,
                rate,
                MAX_RAMP_SECONDS / 3600,
                name,
                abs(target - start) / MAX_RAMP_SECONDS,
            ),
            call,
        )


def checked_seconds(name, seconds, call=None, low=0.0):
    """A dwell, hold or wait in seconds: low..MAX_WAIT_SECONDS."""
    return checks.real(name, seconds, low, MAX_WAIT_SECONDS, "s", call)
