"""Supply.ramp_to and `k7340 ramp`: the setpoint moved at a bounded rate, one step at a time,
with a status check after every step. The plan is a generator: a ramp of any length holds one
setpoint at a time in memory."""

import math
import time

from ..binding import guards
from ..binding.errors import K7340ArgumentError, K7340Error, K7340TripError

STEP_S = (0.01, 10.0)  # seconds between setpoints
MAX_SECONDS = 24 * 3600.0  # a longer ramp is a typing error, not a plan


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


def checked(start, target, rate, step, call="ramp_to"):
    """rate and step as floats, or a refusal naming them: rate finite above 0, step
    STEP_S[0]..STEP_S[1] s, and the whole ramp at most MAX_SECONDS."""
    rate = guards.positive("rate", rate, "V/s", call=call)
    step = guards.real("step", step, STEP_S[0], STEP_S[1], "s", call)
    seconds = abs(target - start) / rate
    if seconds > MAX_SECONDS:
        raise K7340ArgumentError(
            "a ramp from %g V to %g V at %g V/s takes %.0f s: more than %g hours (rate at "
            "least %g V/s)"
            % (start, target, rate, seconds, MAX_SECONDS / 3600, abs(target - start) / MAX_SECONDS),
            call,
        )
    return rate, step


def switch_off(supply):
    """Output off at once; returns None, or a note saying the output may still be on."""
    try:
        supply.output_off()
    except K7340Error as exc:
        return "the zero setpoint could not be sent (%s): the output may still be on" % exc.text
    return None


def ramp(
    supply, volts, rate, step, progress, start, clock=time.monotonic, sleep=time.sleep, stop=None
):
    """Ramps supply from start (None: its setpoint) to volts. stop(), when given, is asked
    before every setpoint: once true the ramp returns False without sending more. Returns
    True when the target was sent."""
    target = supply.checked_volts(volts, "volts")
    origin = supply.setpoint if start is None else supply.checked_volts(start, "start")
    rate, step = checked(origin, target, rate, step)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None, not %s" % type(progress).__name__)
    try:
        due = clock()
        for value in plan(origin, target, rate, step):
            due += step
            delay = due - clock()
            if delay > 0:
                sleep(delay)
            else:
                due = clock()  # a slow exchange: restart the schedule, never exceed the rate
            if stop is not None and stop():
                return False
            supply.set_voltage(value)
            tripped = supply.status & K7340TripError.TRIP_BITS
            if tripped:
                raise K7340TripError(tripped, value, switch_off(supply))
            if progress is not None:
                progress(value)
    except KeyboardInterrupt as interrupt:
        note = switch_off(supply)
        if note is not None:
            raise K7340Error(
                None, "ramp interrupted", "ramp_to", device=supply.port, note=note
            ) from interrupt
        raise
    return True
