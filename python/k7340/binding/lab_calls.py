"""The lab tools as calls of a Supply: ramp_to and condition. Their work lives in k7340.lab,
which builds on the binding; the binding fetches it only when called, never at import."""


class LabCalls:
    """Supply (supply.py) uses this; the lab tools need its setpoint, status and way out."""

    def ramp_to(self, volts, rate, *, step=0.05, progress=None, start=None):
        """Moves the setpoint from ``setpoint`` (or ``start``) to ``volts`` at ``rate`` volts
        per second, one setpoint every ``step`` seconds, never ahead of the rate, the last one
        exactly ``volts``; ``progress(volts_now)`` after each step. Over-voltage, over-current,
        over-temperature or the fault bit in a step's reply switch the output off and raise
        K7340TripError; a KeyboardInterrupt switches it off and propagates; an exception of
        ``progress`` or a failed exchange stops the ramp where it is and propagates. Arguments
        are checked before anything is sent: a finite rate above 0, a step of 0.01..10 s, a
        ramp of at most 24 hours. See k7340.lab.ramp."""
        from ..lab.ramp import ramp  # the lab tools build on the binding, not the reverse

        ramp(self, volts, rate, step, progress, start)

    def condition(self, target, rate, dwell, backoff, max_trips, **keywords):
        """Brings the output up to target, backing off after trips; the max_trips-th trip
        ends at zero with K7340TripError. See k7340.lab.condition."""
        from ..lab.condition import condition

        return condition(self, target, rate, dwell, backoff, max_trips, **keywords)
