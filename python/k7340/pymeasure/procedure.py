"""A PyMeasure Procedure: ramp up, hold, ramp down, with the readings as CSV Results.

    from pymeasure.experiment import Results, Worker
    from k7340.pymeasure import RampProcedure

    procedure = RampProcedure(port="/dev/ttyUSB0", voltage=1000, rate=200, hold=10)
    worker = Worker(Results(procedure, "run.csv"))
    worker.start(); worker.join(timeout=3600)

The ramps and the hold are the instrument's session's (its trip action, its outage rule), with
one row of results per reading. Every end, the normal one, an abort (``worker.stop()``, the
GUI's Abort) or a failure, goes through ``shutdown``, which ramps the output to zero at the
procedure's rate (at once after a trip, an outage or a step that fails) and closes the supply.
"""

import logging
import time

from pymeasure.experiment import FloatParameter, Parameter, Procedure

from ..binding.device import VRANGE_BOUNDS
from ..lab.ramp import MAX_RATE, MAX_WAIT_SECONDS
from .instrument import K7340, volts_validator

VOLTS_MAX = VRANGE_BOUNDS[1]

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())


class RampProcedure(Procedure):
    """Ramp to ``voltage`` at ``rate``, hold ``hold`` seconds, ramp back to zero; one row of
    results per ramp step and per ``period`` while holding."""

    port = Parameter("Port", default="0")
    voltage = FloatParameter("Voltage", units="V", minimum=0, maximum=VOLTS_MAX, default=1000)
    rate = FloatParameter("Ramp rate", units="V/s", minimum=0.1, maximum=MAX_RATE, default=200)
    hold = FloatParameter("Hold", units="s", minimum=0, maximum=MAX_WAIT_SECONDS, default=5)
    period = FloatParameter("Sample period", units="s", minimum=0.05, maximum=60, default=0.2)
    # 0: the supply's vrange. (A name with a colon would not load back from the CSV header.)
    max_volts = FloatParameter("Max volts", units="V", minimum=0, maximum=VOLTS_MAX, default=0)

    DATA_COLUMNS = ["Time (s)", "Setpoint (V)", "Voltage (V)", "Current (uA)", "Status"]

    instrument = None

    def startup(self):
        self.instrument = None
        instrument = K7340(self.port, max_volts=self.max_volts or None, ramp_rate=self.rate)
        self.instrument = instrument
        # Refused before a setpoint goes out: ValueError naming the range.
        volts_validator(self.voltage, instrument.setpoint_range())
        self._start = time.monotonic()
        self._total = 2 * self.voltage / self.rate + self.hold
        log.info(
            "%s: ramp to %g V at %g V/s, hold %g s",
            instrument.id,
            self.voltage,
            self.rate,
            self.hold,
        )

    def execute(self):
        instrument = self.instrument
        stop = self.should_stop
        if instrument.ramp_to_voltage(self.voltage, self.rate, stop=stop, on_reading=self._row):
            if instrument.session.hold(self.period, self._row, seconds=self.hold, stop=stop):
                instrument.ramp_to_voltage(0.0, self.rate, stop=stop, on_reading=self._row)
        if stop():
            log.info("aborted at %.1f V", instrument.supply.setpoint)

    def _row(self, reading):
        if reading is None:
            return
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

    def shutdown(self):
        instrument, self.instrument = self.instrument, None
        if instrument is None:
            return
        try:
            instrument.shutdown()
            log.info("output at zero")
        finally:
            instrument.close()
