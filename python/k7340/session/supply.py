"""k7340.Supply: the class scripts use. A SafeDevice (the port, the dead-man, every way out)
whose ramps and conditioning run through the session layer, under the outage and trip rules."""

from ..binding import checks
from ..binding.device import OUTPUT_ON_VOLTS
from ..binding.errors import K7340Error
from ..safety.device import SafeDevice
from ..safety.status import refusal
from .requests import STEP_S
from .session import Session


class Supply(SafeDevice):
    __doc__ = (
        SafeDevice.__doc__
        + """
    ``ramp_to`` and ``condition`` run as a session's operations: a supply that reports a trip
    bit is refused before anything is sent; a trip during them is the trip action (``on_trip``,
    "off" or "ramp-down"), then K7340TripError; a lost port or a watchdog gone a period unfed
    ends them with the output presumed off (K7340OutageError). ``clear_faults()`` reads the
    fault byte, which acknowledges (and on the simulated supply clears) latched faults: nothing
    else reads it. See docs/using-python.md."""
    )

    def set_voltage(self, volts):
        value = self.checked_volts(volts)
        if value >= OUTPUT_ON_VOLTS:
            self._refuse_if_tripped("set_voltage")
        super().set_voltage(value)

    set_voltage.__doc__ = (
        SafeDevice.set_voltage.__doc__
        + """
        A request that switches the output on (this object does not hold it on yet) reads the
        status first and is refused, nothing sent, while the supply reports a trip bit."""
    )

    def write_port(self, data):
        data = checks.byte_values("data", data)
        self._refuse_if_tripped("write_port")
        super().write_port(data)

    write_port.__doc__ = SafeDevice.write_port.__doc__

    def _refuse_if_tripped(self, call):
        if self.owns_output:
            return
        self.read_voltage()  # one exchange: its reply carries the status byte
        why = refusal(self.status)
        if why:
            raise K7340Error(
                None,
                "%s refused: %s" % (call, why),
                None,
                device=self.port,
                note="nothing was sent",
            )

    def ramp_to(self, volts, rate, *, step=STEP_S, progress=None, start=None, on_trip="off"):
        """Moves the setpoint from ``setpoint`` (or ``start``; an output found on and adopted:
        its measured voltage) to ``volts`` at ``rate`` volts per second, one setpoint every
        ``step`` seconds, never ahead of the rate, the last one exactly ``volts``;
        ``progress(volts_now)`` after each step. Refused before anything is sent: a rate that is
        not a finite number above 0 (at most 60000 V/s), a step outside 0.01..10 s, a ramp of
        more than 24 hours, a supply that reports over-voltage, over-current, over-temperature
        or the Fault bit. A trip bit during the ramp is the trip action, then K7340TripError; an
        outage K7340OutageError; a KeyboardInterrupt switches the output off and propagates; an
        exception of ``progress`` or a failed exchange stops the ramp (the failure at zero) and
        propagates."""
        session = Session(supply=self, on_trip=on_trip, rate=rate)
        return session.ramp_to(volts, rate, step, progress, start)

    def condition(self, target, rate, dwell, backoff, max_trips, *, on_trip="off", **keywords):
        """Brings the output up to target, backing off after trips (see k7340.lab.condition and
        Session.condition for the keywords); giving up, the Fault bit and over-temperature are
        the trip action, then K7340TripError."""
        session = Session(
            supply=self,
            on_trip=on_trip,
            rate=rate,
            recorder=keywords.pop("recorder", None),
            say=keywords.pop("report", None),
        )
        return session.condition(target, rate, dwell, backoff, max_trips, **keywords)
