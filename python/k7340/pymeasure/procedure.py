"""A PyMeasure Procedure: ramp up, hold, ramp down, with the readings as CSV Results.

    from pymeasure.experiment import Results, Worker
    from k7340.pymeasure import RampProcedure

    procedure = RampProcedure(port="/dev/ttyUSB0", voltage=1000, rate=200, hold=10)
    worker = Worker(Results(procedure, "run.csv"))
    worker.start(); worker.join(timeout=3600)

The ramps and the hold are the instrument's session's (its trip action, its outage rule), with
one row of results per reading. ``limits`` ("100%,80%"; "unchanged": not sent) go to the
supply after the open, before the output goes on. Every end, the normal one, an abort
(``worker.stop()``, the GUI's Abort), ``off_now()`` or a failure, goes through ``shutdown``,
which ramps the output to zero at the procedure's rate with a row per step (at once after a
trip, an outage, a step that fails or ``off_now()``) and closes the supply. ``phase``,
``latest`` (the last Reading), ``limits_sent`` and ``error`` tell a window what the run does.
"""

import contextlib
import logging
import threading
import time

from pymeasure.experiment import FloatParameter, Parameter, Procedure

from ..binding.device import VRANGE_BOUNDS
from ..lab import units
from ..lab.ramp import MAX_RATE, MAX_WAIT_SECONDS
from .instrument import K7340, volts_validator

VOLTS_MAX = VRANGE_BOUNDS[1]
UNCHANGED = "unchanged"

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())


class RampProcedure(Procedure):
    """Ramp to ``voltage`` at ``rate``, hold ``hold`` seconds, ramp back to zero; one row of
    results per ramp step and per ``period`` while holding, and per step of the ramp down at
    the end of every run."""

    port = Parameter("Port", default="0")
    voltage = FloatParameter("Voltage", units="V", minimum=0, maximum=VOLTS_MAX, default=1000)
    rate = FloatParameter("Ramp rate", units="V/s", minimum=0.1, maximum=MAX_RATE, default=200)
    hold = FloatParameter("Hold", units="s", minimum=0, maximum=MAX_WAIT_SECONDS, default=5)
    period = FloatParameter("Sample period", units="s", minimum=0.05, maximum=60, default=0.2)
    # 0: the supply's vrange. (A name with a colon would not load back from the CSV header.)
    max_volts = FloatParameter("Max volts", units="V", minimum=0, maximum=VOLTS_MAX, default=0)
    # Two percentages of full scale, "100%,80%"; "unchanged" (or empty): not sent. (An empty
    # value would not load back from the CSV header.)
    limits = Parameter("Limits", default=UNCHANGED)

    DATA_COLUMNS = ["Time (s)", "Setpoint (V)", "Voltage (V)", "Current (uA)", "Status"]

    instrument = None

    def __init__(self, **keywords):
        self._off = threading.Event()
        self.phase = "queued"
        self.ramping_down = False  # the ramp to zero runs (a window shows it as the status)
        self.latest = None  # the last Reading
        self.limits_sent = None  # the limit levels sent, as the supply took them
        self.error = None  # what failed the run
        super().__init__(**keywords)

    def should_stop(self):  # until a Worker routes its own
        return False

    def _stopped(self):
        return self._off.is_set() or self.should_stop()

    @contextlib.contextmanager
    def _failure_noted(self):
        try:
            yield
        except Exception as exc:
            self.error = exc
            self.phase = "failed: %s" % exc
            raise

    def startup(self):
        self.instrument = None
        self._start = time.monotonic()
        self._total = 2 * self.voltage / self.rate + self.hold
        with self._failure_noted():
            self.phase = "opening %s" % self.port
            # Refused before the port opens: UnitError naming the form.
            limits = None
            if str(self.limits).strip().lower() not in ("", UNCHANGED):
                limits = units.percent_pair(self.limits)
            instrument = K7340(self.port, max_volts=self.max_volts or None, ramp_rate=self.rate)
            self.instrument = instrument
            # Refused before a setpoint goes out: ValueError naming the range.
            volts_validator(self.voltage, instrument.setpoint_range())
            if limits is not None:
                taken = instrument.supply.set_limits(*(whole(v) for v in limits))
                self.limits_sent = percentages(limits if taken is None else taken)
                log.info("limit levels sent: %s", self.limits_sent)
            log.info(
                "%s: ramp to %g V at %g V/s, hold %g s",
                instrument.id,
                self.voltage,
                self.rate,
                self.hold,
            )

    def execute(self):
        instrument = self.instrument
        stop = self._stopped
        with self._failure_noted():
            self.phase = "ramping up to %g V at %g V/s" % (self.voltage, self.rate)
            if instrument.ramp_to_voltage(self.voltage, self.rate, stop=stop, on_reading=self._row):
                self.phase = "holding %g V for %g s" % (self.voltage, self.hold)
                if instrument.session.hold(self.period, self._row, seconds=self.hold, stop=stop):
                    self.phase = "ramping down to zero at %g V/s" % self.rate
                    self.ramping_down = True
                    instrument.ramp_to_voltage(0.0, self.rate, stop=stop, on_reading=self._row)
        if stop():
            log.info("aborted at %.1f V", instrument.supply.setpoint)

    def _row(self, reading):
        if reading is None:
            return
        self.latest = reading
        self.emit(
            "results",
            {
                "Time (s)": time.monotonic() - self._start,
                "Setpoint (V)": self.instrument.supply.setpoint,
                "Voltage (V)": reading.volts,
                "Current (uA)": reading.microamps,
                "Status": int(reading.status),
            },
        )
        done = (time.monotonic() - self._start) / self._total if self._total else 1.0
        self.emit("progress", 100.0 * min(done, 1.0))

    def off_now(self):
        """Off now, from another thread (a window's button): the zero setpoint goes out at once
        through the session (owed while the link is down) and the run ends at its next step.
        True when sent, False when owed, None when no supply is open (nothing was sent: the run
        ends before its first setpoint). K7340Error when the zero could not be sent."""
        self._off.set()
        instrument = self.instrument
        if instrument is None or instrument.adapter.session is None:
            return None
        self.phase = "off now"
        return instrument.session.output_off()

    def shutdown(self):
        instrument = self.instrument
        if instrument is None:
            return
        why = self._why_ending()
        try:
            try:
                if instrument.supply.setpoint and not self._off.is_set():
                    self.phase, self.ramping_down = "ramping down to zero %s" % why, True
                    log.info("ramping down to zero at %g V/s %s", self.rate, why)
                instrument.shutdown(on_reading=self._row, stop=self._off.is_set)
            finally:
                self.ramping_down = False
                instrument.close()  # an Off still owed goes out here, or it raises
            self.phase = "at zero, %s" % why
            log.info("output at zero")
        except Exception as exc:  # the Worker must still end the run: it would hang otherwise
            self._failed_at_end(exc)
        self.instrument = None

    def _why_ending(self):
        if self._off.is_set():
            return "after Off now"
        if self.should_stop():
            return "after Abort"
        return "after a failure" if self.status == Procedure.FAILED else "after the run"

    def _failed_at_end(self, exc):
        log.error("the output may still be on: %s", exc)
        self.error = self.error or exc
        self.phase = "the output may still be on: %s" % exc
        if self.status != Procedure.FAILED:
            self.status = Procedure.FAILED
            self.emit("status", Procedure.FAILED)


def whole(value):
    """A percentage as the binding takes it: an int when it is whole."""
    return int(value) if float(value).is_integer() else value


def percentages(values):
    """Limit levels as "100%, 80%" (anything else as it is)."""
    try:
        return ", ".join("%g%%" % v for v in values)
    except TypeError:
        return str(values)
