"""Supply.ramp_to: the setpoint moved at a bounded rate, one step at a time, with a status
check after every step."""

import math
import time

from ..binding import guards
from ..binding.errors import K7340Error, K7340TripError

STEP_MAX_S = 3600.0


def plan(start, target, rate, step):
    """The setpoints of a ramp, one per step: never ahead of start + rate * t, the last one
    exactly target. A ramp to where it already is still sends target once."""
    distance = target - start
    # The tolerance keeps 1000 V at 1000 V/s in 0.05 s steps at 20 steps, not 21.
    count = max(1, math.ceil(abs(distance) / rate / step - 1e-9))
    per_step = math.copysign(rate * step, distance)
    values = [start + per_step * k for k in range(1, count)]
    low, high = min(start, target), max(start, target)
    return [min(max(v, low), high) for v in values] + [float(target)]


def _switch_off(supply):
    """Output off; returns None, or a note saying why the output may still be on."""
    try:
        supply.output_off()
    except K7340Error as exc:
        return "the zero setpoint could not be sent (%s): the output may still be on" % exc.text
    return None


def ramp(supply, volts, rate, step, progress, start, clock=time.monotonic, sleep=time.sleep):
    target = supply.checked_volts(volts, "volts")
    rate = guards.positive("rate", rate, "V/s")
    step = guards.positive("step", step, "s", STEP_MAX_S)
    origin = supply.setpoint if start is None else supply.checked_volts(start, "start")
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
            supply.set_voltage(value)
            tripped = supply.status & K7340TripError.TRIP_BITS
            if tripped:
                raise K7340TripError(tripped, value, _switch_off(supply))
            if progress is not None:
                progress(value)
    except KeyboardInterrupt as interrupt:
        note = _switch_off(supply)
        if note is not None:
            raise K7340Error(None, "ramp interrupted", "ramp_to", device=supply.port,
                             note=note) from interrupt
        raise
