"""The K7340 device's commands, each a request to its session: On, Off, RampTo, Condition,
Stop, Reset, ClearFaults, and the Setpoint's write. A ramp and a conditioning run go to a thread
of their own (the device is MOVING while it runs; Stop, Off, Init and the server's end stop
it). A supply that reports a trip bit is refused before anything is sent; a trip is the
session's trip action (property OnTrip); latched faults are read and cleared only by
ClearFaults. A mixin of the device class (see device.py for the attributes it keeps)."""

import threading

import tango
from tango import DevState
from tango.server import command

from ..binding import OUTPUT_ON_VOLTS, K7340Error
from ..lab import condition as lab_condition
from ..lab import ramp as lab_ramp
from ..session import STEP_S, TRIP_ACTION
from .polling import fail

RAMP_JOIN_S = 0.5  # a run sees its stop flag before its next setpoint
STARTS = (DevState.ON, DevState.OFF, DevState.UNKNOWN)  # states that take On, RampTo, Condition
CONDITION_ARGUMENTS = "target V, rate V/s, dwell s, backoff V, max trips"
BOUNDS = {"max_volts": "MaxVolts", "vrange": "the supply's vrange"}


class Commands:
    def _ready(self, what):
        """Refuses what unless the link is up to the supply the device opened: while it is down
        only Off is accepted."""
        origin = "K7340." + what
        if self._config is None:
            fail("K7340_Configuration", self._config_error, origin)
        poll = self._connection.last
        if poll.blocked:
            fail("K7340_Blocked", "%s is not allowed: %s" % (what, poll.blocked), origin)
        if poll.down:
            fail(
                "K7340_LinkDown",
                "%s is not allowed while the link is down (%s): only Off is "
                "accepted, and sent once the same supply answers again" % (what, poll.down),
                origin,
            )
        if self._connection.session.operation is TRIP_ACTION:
            fail(
                "K7340_TripAction",
                "%s is not allowed while the trip action ramps the output " "down" % what,
                origin,
            )
        if poll.reading is None:
            fail(
                "K7340_NotConnected",
                "%s is not allowed: %s has not answered yet" % (what, self._connection.port),
                origin,
            )

    def _checked(self, volts, what):
        try:
            return self._connection.session.supply.checked_volts(volts, what, BOUNDS)
        except (K7340Error, ValueError, TypeError) as exc:
            fail("K7340_ValueRefused", str(exc), "K7340." + what)

    def _send(self, call, what, *args):
        try:
            call(*args)
        except (K7340Error, ValueError) as exc:
            fail("K7340_SupplyError", str(exc), "K7340." + what)
        self._note = ""
        self._poll_now.set()

    def _stop_run(self):
        thread = self._run_thread
        if thread is not None and thread.is_alive():
            self._run_stop.set()
            thread.join(RAMP_JOIN_S)

    def write_Setpoint(self, volts):
        self._ready("Setpoint")
        volts = self._checked(volts, "Setpoint")
        self._written = volts
        if self.get_state() in (DevState.ON, DevState.ALARM) or volts < OUTPUT_ON_VOLTS:
            self._send(self._connection.session.set_voltage, "Setpoint", volts)

    @command(
        doc_in="switches the output on at the Setpoint written (an output found on that no "
        "program held is adopted); refused while the supply reports a trip or fault bit"
    )
    def On(self):
        self._ready("On")
        if self._written < OUTPUT_ON_VOLTS:
            fail(
                "K7340_NoSetpoint",
                "write Setpoint (20 V or more) before On; it is %g V" % self._written,
                "K7340.On",
            )
        volts = self._checked(self._written, "On")
        self._send(self._connection.session.set_voltage, "On", volts)

    def is_On_allowed(self):
        return self.get_state() in STARTS

    @command(
        doc_in="switches the output off (zero setpoint); stops a ramp or a conditioning "
        "run. While the link is down it is kept and sent once the same supply answers"
    )
    def Off(self):
        if self._config is None:
            fail("K7340_Configuration", self._config_error, "K7340.Off")
        if self._connection.last.blocked:
            fail(
                "K7340_Blocked", "Off is not sent: %s" % self._connection.last.blocked, "K7340.Off"
            )
        self._stop_run()
        if self._connection.session.supply is None:
            return
        self._send(self._connection.session.output_off, "Off")

    @command(
        dtype_in=float,
        doc_in="volts: ramps the output there at RampRate from the last "
        "setpoint sent (or the output found on); the written Setpoint stays as it is",
    )
    def RampTo(self, volts):
        self._ready("RampTo")
        session = self._connection.session
        volts = self._checked(volts, "RampTo")
        try:
            lab_ramp.checked(session.supply.setpoint, volts, self._ramp_rate, STEP_S, "RampTo")
        except ValueError as exc:
            fail("K7340_ValueRefused", str(exc), "K7340.RampTo")
        self._start_run(
            "ramp",
            "Ramping to %g V at %g V/s" % (volts, self._ramp_rate),
            session.ramp_to,
            volts,
            self._ramp_rate,
            STEP_S,
        )

    def is_RampTo_allowed(self):
        return self.get_state() in STARTS

    @command(
        dtype_in=(float,),
        doc_in="[%s]: brings the output up to the target, backing off "
        "after each trip; the max-th trip, the Fault bit or over-temperature end it (the "
        "trip action), Stop or Off at zero. MOVING while it runs; Status says how it "
        "ended" % CONDITION_ARGUMENTS,
    )
    def Condition(self, values):
        self._ready("Condition")
        if len(values) != 5:
            fail(
                "K7340_ValueRefused",
                "Condition takes [%s], not %d values" % (CONDITION_ARGUMENTS, len(values)),
                "K7340.Condition",
            )
        target, rate, dwell, backoff, trips = values
        session = self._connection.session
        target = self._checked(target, "Condition")
        trips = int(trips) if float(trips).is_integer() else trips
        try:
            lab_condition.check(
                session.supply.checked_volts,
                target,
                rate,
                dwell,
                backoff,
                trips,
                call="K7340.Condition",
            )
        except (TypeError, ValueError) as exc:
            fail("K7340_ValueRefused", str(exc), "K7340.Condition")
        self._start_run(
            "condition",
            "Conditioning to %g V at %g V/s" % (target, rate),
            session.condition,
            target,
            rate,
            dwell,
            backoff,
            trips,
        )

    def is_Condition_allowed(self):
        return self.get_state() in STARTS

    def _start_run(self, what, status, call, *args):
        self._stop_run()
        self._run_stop = threading.Event()  # its own: a run that was slow to stop stays stopped
        self._note = ""
        self._run_thread = threading.Thread(
            target=self._run,
            name="k7340-" + what,
            daemon=True,
            args=(what, call, args, self._run_stop.is_set),
        )
        self._run_thread.start()
        self.set_state(DevState.MOVING)
        self.set_status(status)

    def _run(self, what, call, args, stop):
        session = self._connection.session
        with tango.EnsureOmniThread():
            try:
                result = call(*args, stop=stop)
                self._note = _ended(what, result, args[0], session.supply.setpoint)
            except (K7340Error, ValueError) as exc:  # a trip, an outage, a refusal, the link
                self._note = "%s ended: %s" % (what, exc)
                self._log(self._note)
            self._poll_now.set()

    @command(doc_in="stops a ramp where it is; a conditioning run at zero")
    def Stop(self):
        self._stop_run()

    @command(doc_in="output off, then the supply's reset (about one second)")
    def Reset(self):
        self._ready("Reset")
        self._stop_run()
        self._send(self._connection.session.supply.reset, "Reset")

    def is_Reset_allowed(self):
        return self._config is not None

    @command(
        doc_in="acknowledges the faults: reads the fault byte (the supply then clears its "
        "latched faults); FaultBits shows what it read"
    )
    def ClearFaults(self):
        self._ready("ClearFaults")
        try:
            self._acknowledged = int(self._connection.session.clear_faults())
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.ClearFaults")
        self._poll_now.set()

    def is_ClearFaults_allowed(self):
        return self._config is not None


def _ended(what, result, target, setpoint):
    if what == "ramp":
        return "ramp to %g V done" % target if result else "ramp stopped at %g V" % setpoint
    if not result.reached:
        return "conditioning stopped at zero"
    count = len(result.trips)
    return "conditioned to %g V after %d trip%s" % (result.volts, count, "" if count == 1 else "s")
