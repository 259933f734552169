"""One request that holds the output on for a while (a ramp, a conditioning run), as the session
runs it: the schedule of its steps, the outage rule before every step, the trip action. The
lab's conditioning policy works on an Operation it is handed."""

import datetime
import time

from ..binding.device import OUTPUT_ON_VOLTS
from ..binding.errors import K7340Error
from ..lab import ramp as lab_ramp
from ..lab.condition import Trip
from ..lab.schedule import Schedule, Stopped
from ..safety.status import BACKOFF_BITS, RAMP_DOWN_BITS, output_is_on, status_text, trip_bits


class Operation:
    """``step`` seconds between setpoints and readings; ``rate`` the V/s a trip's ramp-down
    uses; ``progress(phase, reading)`` after every reading; ``trip_seen(trip)`` after every
    trip conditioning backs off from; ``stop()``, besides the session's, ends it at a step;
    ``watch()`` after every step of the schedule (a group watches its other members there)."""

    def __init__(self, session, step, rate, progress=None, trip_seen=None, stop=None, watch=None):
        self.session = session
        self.supply = session.supply
        self.step = step
        self.rate = rate
        self.progress = progress
        self.trip_seen = trip_seen
        self.offs = session.offs  # an Off after this (another thread's) ends the operation
        self.trips = []
        self.watch = watch
        self.last = None  # the last reading
        self.names_trips = False  # conditioning writes each back-off trip's record itself
        stopped = session.stop if stop is None else (lambda: session.stop() or stop())
        self.schedule = Schedule(step, stopped, sleep=session.sleep)
        self.now = time.monotonic

    @property
    def setpoint(self):
        return self.supply.setpoint

    def tick(self):
        """The next step of the schedule; Stopped once the session's stop came true."""
        self.schedule.wait()
        if self.watch is not None:
            self.watch()

    def send(self, volts, phase="ramp"):
        """One setpoint (the supply arms its dead-man before the output goes on), then a
        reading. An outage, or a failed exchange, ends the operation (raises)."""
        session = self.session
        session.check_outage()
        try:
            with self.supply.lock:
                if session.offs != self.offs:
                    raise Stopped()  # an Off came from another thread: nothing more goes out
                self.supply.set_voltage(volts)
        except K7340Error as exc:
            raise session.line_failure(exc) from None
        return self.read(phase)

    def read(self, phase="read"):
        session = self.session
        session.check_outage()
        try:
            reading = session.sample(("trip",) if self.names_trips else ())
        except K7340Error as exc:
            raise session.line_failure(exc) from None
        self.last = reading
        if self.progress is not None:
            self.progress(phase, reading)
        return reading

    def trip_action(self, reading, why=None, trips=None):
        """The session's trip action for reading; raises K7340TripError (``gave_up`` when
        trips, the ones backed off from, are given)."""
        self.session.trip(reading, why, self.rate, trips)

    def record_trip(self, reading, count):
        """A trip conditioning backs off from: the flight record written for it, and
        trip_seen told."""
        recorder = self.session.recorder
        record = ""
        if recorder is not None:
            line = recorder.write(
                "trip %d: %s" % (count, status_text(reading.status & BACKOFF_BITS, " ")),
                last=True,
            )
            self.session.say(line)
            record = recorder.last_file or ""
        trip = Trip(
            datetime.datetime.now().astimezone(),
            reading.setpoint,
            reading.volts,
            reading.microamps,
            int(reading.status),
            record,
        )
        self.trips.append(trip)
        if self.trip_seen is not None:
            self.trip_seen(trip)
        return trip

    def ramp(self, start, target):
        """The setpoint from start to target at the operation's rate, a status check after
        every step: a trip bit while the output is on is the trip action. True at target."""
        for value in lab_ramp.plan(start, target, self.rate, self.step):
            self.tick()
            reading = self.send(value)
            if trip_bits(reading.status) and output_is_on(reading.status, value):
                self.trip_action(reading)
        return True


def ramp_down(session, rate, step):
    """A trip's ramp-down: the setpoint to zero at rate, ending at zero at once when another
    trip bit than over-current appears, a stop came or an exchange fails. The words for how it
    ended, or None when it did not end by ramping (the caller switches off at once)."""
    psu = session.supply
    schedule = Schedule(step, sleep=session.sleep)
    try:
        for value in lab_ramp.plan(psu.setpoint, 0.0, rate, step):
            schedule.wait()
            psu.set_voltage(value if value >= OUTPUT_ON_VOLTS else 0.0)
            if psu.stopped or trip_bits(psu.status) & ~RAMP_DOWN_BITS:
                return None
    except K7340Error:
        return None
    return "ramped down to zero at %g V/s" % rate
