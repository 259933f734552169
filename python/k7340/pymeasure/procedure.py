"""A PyMeasure Procedure: ramp up, hold, ramp down, with the readings as CSV Results.

    from pymeasure.experiment import Results, Worker
    from k7340.pymeasure import RampProcedure

    procedure = RampProcedure(port="/dev/ttyUSB0", voltage=1000, rate=200, hold=10)
    worker = Worker(Results(procedure, "run.csv"))
    worker.start(); worker.join(timeout=3600)

Every end, the normal one, an abort (``worker.stop()``, the GUI's Abort) or a failure, goes
through ``shutdown``, which ramps the output to zero at the procedure's rate (at once if a
step fails) and closes the supply.
"""

import logging
import time

from pymeasure.experiment import FloatParameter, Parameter, Procedure

from ..binding.errors import K7340TripError
from ..safety.faults import HeldFaults
from .instrument import K7340, volts_validator

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())


class Stopped(Exception):
    """The worker asked the procedure to stop (an abort): raised inside a ramp's step."""


class RampProcedure(Procedure):
    """Ramp to ``voltage`` at ``rate``, hold ``hold`` seconds, ramp back to zero; one row of
    results per ramp step and per ``period`` while holding."""

    port = Parameter("Port", default="0")
    voltage = FloatParameter("Voltage", units="V", minimum=0, maximum=60000, default=1000)
    rate = FloatParameter("Ramp rate", units="V/s", minimum=0.1, maximum=60000, default=200)
    hold = FloatParameter("Hold", units="s", minimum=0, maximum=7 * 86400, default=5)
    period = FloatParameter("Sample period", units="s", minimum=0.05, maximum=60, default=0.2)
    # 0: the supply's vrange. (A name with a colon would not load back from the CSV header.)
    max_volts = FloatParameter("Max volts", units="V", minimum=0, maximum=60000, default=0)

    DATA_COLUMNS = ["Time (s)", "Setpoint (V)", "Voltage (V)", "Current (uA)", "Status", "Faults"]

    instrument = None

    def startup(self):
        self.instrument = None
        instrument = K7340(self.port, max_volts=self.max_volts or None, ramp_rate=self.rate)
        self.instrument = instrument
        # Refused before a setpoint goes out: ValueError naming the range.
        volts_validator(self.voltage, instrument.setpoint_range())
        self._start = time.monotonic()
        self._held = HeldFaults()  # the fault byte read once when the Fault bit appears
        self._total = 2 * self.voltage / self.rate + self.hold
        log.info(
            "%s: ramp to %g V at %g V/s, hold %g s",
            instrument.id,
            self.voltage,
            self.rate,
            self.hold,
        )

    def execute(self):
        try:
            self._ramp(self.voltage)
            self._hold()
            self._ramp(0.0)
        except Stopped:
            log.info("aborted at %.1f V", self.instrument.supply.setpoint)

    def _ramp(self, volts):
        self.instrument.ramp_to_voltage(volts, self.rate, progress=self._step)

    def _step(self, volts):
        self._measure()
        if self.should_stop():
            raise Stopped()

    def _hold(self):
        end = time.monotonic() + self.hold
        while time.monotonic() < end:
            if self.should_stop():
                raise Stopped()
            self._measure()
            time.sleep(max(0.0, min(self.period, end - time.monotonic())))

    def _measure(self):
        psu = self.instrument.supply
        volts, microamps = psu.read_voltage(), psu.read_current()
        status = int(psu.status)
        tripped = status & K7340TripError.TRIP_BITS
        if tripped and psu.setpoint > 0:  # a failure: shutdown() ends at zero
            raise K7340TripError(tripped, psu.setpoint, "the procedure stops; ramping to zero")
        self.emit(
            "results",
            {
                "Time (s)": time.monotonic() - self._start,
                "Setpoint (V)": psu.setpoint,
                "Voltage (V)": volts,
                "Current (uA)": microamps,
                "Status": status,
                "Faults": int(self._held.update(psu, psu.status) or 0),
            },
        )
        done = (time.monotonic() - self._start) / self._total if self._total else 1.0
        self.emit("progress", 100.0 * min(done, 1.0))

    def shutdown(self):
        instrument, self.instrument = self.instrument, None
        if instrument is None:
            return
        try:
            instrument.shutdown()
            log.info("output at zero")
        finally:
            instrument.close()
