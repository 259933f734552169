"""The K7340 device's Condition command: k7340.lab.condition in the device's ramp thread, so
that it fits the state machine as RampTo does (MOVING while it runs; Stop, Off, Init and the
server's end stop it, here at zero). A mixin of the device class, apart from its other
commands. A flight recorder of its own, fed at every step, writes the record of each trip in
RecordDir (k7340-tango-condition-record-...-trip-N-overi.csv)."""

import threading

import tango
from tango import DevState
from tango.server import command

from ..binding import K7340Error
from ..lab import condition as lab_condition
from ..lab.recorder import FlightRecorder
from .polling import fail

STEP_S = 0.05
CLEAR_WITHIN_S = lab_condition.CLEAR_WITHIN_S
ARGUMENTS = "target V, rate V/s, dwell s, backoff V, max trips"


class Conditioning:
    """The K7340 device's conditioning half (see device.py for the attributes it keeps)."""

    @command(
        dtype_in=(float,),
        doc_in="[%s]: brings the output up to the target, backing off "
        "after each trip at the rate; the max-th trip, Stop or Off end it at zero. MOVING "
        "while it runs; Status says how it ended" % ARGUMENTS,
    )
    def Condition(self, values):
        self._ready("Condition")
        if len(values) != 5:
            fail(
                "K7340_ValueRefused",
                "Condition takes [%s], not %d values" % (ARGUMENTS, len(values)),
                "K7340.Condition",
            )
        target, rate, dwell, backoff, trips = values
        self._check_limit(target, "Condition")
        try:
            checked = lab_condition.check(
                self._link.session.supply,
                target,
                rate,
                dwell,
                backoff,
                int(trips) if float(trips).is_integer() else trips,
                STEP_S,
                CLEAR_WITHIN_S,
            )
        except (TypeError, ValueError) as exc:
            fail("K7340_ValueRefused", str(exc), "K7340.Condition")
        self._stop_ramp()
        self._ramp_stop = threading.Event()  # its own, as a ramp's
        self._note = ""
        self._ramp_thread = threading.Thread(
            target=self._condition,
            name="k7340-condition",
            daemon=True,
            args=(checked[:5], self._ramp_stop.is_set),
        )
        self._ramp_thread.start()
        self.set_state(DevState.MOVING)
        self.set_status("Conditioning to %g V at %g V/s" % (checked[0], checked[1]))

    def is_Condition_allowed(self):
        return self.get_state() in (DevState.ON, DevState.OFF, DevState.UNKNOWN)

    def _condition(self, values, stop):
        def progress(phase, reading):
            self._sent = reading.setpoint
            self._sends += 1

        def on_trip(trip):
            self._log(
                "trip %d at %.1f V: %.1f V, %.3f uA, status 0x%02X"
                % (len(seen) + 1, trip.setpoint, trip.volts, trip.microamps, trip.status)
            )
            seen.append(trip)

        seen = []
        supply = self._link.session.supply
        with tango.EnsureOmniThread():
            try:
                recorder = FlightRecorder(self._recorder.directory, name="k7340-tango-condition")
                result = supply.condition(
                    *values,
                    step=STEP_S,
                    progress=progress,
                    on_trip=on_trip,
                    recorder=recorder,
                    report=self._log,
                    stop=stop,
                )
                self._note = (
                    "conditioned to %g V after %d trip%s"
                    % (result.volts, len(seen), "" if len(seen) == 1 else "s")
                    if result.reached
                    else "conditioning stopped at zero"
                )
            except (K7340Error, ValueError) as exc:  # gave up at zero, a fault, the link
                self._note = "conditioning ended: %s" % exc
            self._sent = supply.setpoint
            self._sends += 1
            self._poll_now.set()
