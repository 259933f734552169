"""The supply as a PyMeasure Instrument, talking through the binding (no VISA, no text
commands).

    from k7340.pymeasure import K7340

    psu = K7340("/dev/ttyUSB0", max_volts=5000)       # or "COM7", or 0 for COM1
    psu.ramp_to_voltage(1000, rate=200)               # volts, volts per second
    print(psu.voltage, psu.current, psu.status)       # V, uA, StatusFlags
    psu.shutdown()                                    # ramps to zero
    psu.close()

PyMeasure 0.9 turns a port string given to ``Instrument.__init__`` into a VISA adapter, and its
``includeSCPI=True`` would assign ``self.status``: the instrument hands over a K7340Adapter of
its own and passes ``includeSCPI=False``.
"""

import logging
import math

from pymeasure.adapters import Adapter
from pymeasure.instruments import Instrument

from ..binding import K7340Error, StatusFlags, Supply

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

DEFAULT_RATE = 100.0  # volts per second, for shutdown() and ramp_to_voltage()


class K7340Adapter(Adapter):
    """One open supply for an Instrument: ``connection`` is the binding's Supply, opened with
    the keywords given (max_volts, index, watchdog_ms, ...). The supply takes no text commands,
    so write/read/ask refuse. Closing switches the output off if this session switched it
    on."""

    def __init__(self, port, **keywords):
        super().__init__()
        if isinstance(port, int) and not isinstance(port, bool):
            where = {"com_port": port}
        else:
            text = str(port)
            where = {"com_port": int(text)} if text.isdigit() else {"port": text}
        self.connection = Supply(**where, **keywords)  # max_volts, index, watchdog_ms, ...

    def write(self, command):
        raise NotImplementedError(
            "the 7340 takes no text commands (%r): use the K7340 "
            "instrument's properties" % (command,)
        )

    def read(self):
        raise NotImplementedError(
            "the 7340 takes no text commands: use the K7340 " "instrument's properties"
        )

    def close(self):
        supply, self.connection = self.connection, None
        if supply is not None:
            supply.close()

    def __repr__(self):
        return "<K7340Adapter %s>" % (self.connection.port if self.connection else "closed")


def volts_validator(value, values):
    """Refuses (never clamps) a setpoint outside values = (0, limit, why): ValueError naming
    the property and its range."""
    low, high, why = values
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError("voltage_setpoint must be a number of volts, not %r" % (value,)) from None
    if not (math.isfinite(number) and low <= number <= high):
        raise ValueError("voltage_setpoint %r is outside %g..%g V (%s)" % (value, low, high, why))
    return number


def setting(getter, setter, docs, validator, values):
    """A property in PyMeasure's style: ``values(instrument)`` gives the validator's range at
    the time of setting; the getter and setter name methods or properties of the Supply."""

    def fget(self):
        return _get(self.supply, getter)

    def fset(self, value):
        value = validator(value, values(self))
        getattr(self, setter)(value)

    return property(fget, fset, doc=docs)


def measurement(getter, docs, process=lambda instrument, value: value):
    def fget(self):
        return process(self, _get(self.supply, getter))

    return property(fget, doc=docs)


def _get(supply, name):
    value = getattr(supply, name)
    return value() if callable(value) else value


class K7340(Instrument):
    """The 7340 high-voltage supply. ``port``: a device path ("/dev/ttyUSB0"), "COM7", a COM
    number (0 = COM1) or a K7340Adapter. ``max_volts`` lowers the highest setpoint below the
    supply's vrange; ``ramp_rate`` (V/s) is what shutdown() and ramp_to_voltage() use; other
    keywords (index, watchdog_ms) go to the Supply."""

    def __init__(
        self,
        port,
        name="Vantrel 7340 high-voltage supply",
        max_volts=None,
        ramp_rate=DEFAULT_RATE,
        **kwargs,
    ):
        if isinstance(ramp_rate, bool) or not (
            isinstance(ramp_rate, (int, float)) and math.isfinite(ramp_rate) and ramp_rate > 0
        ):
            raise ValueError(
                "ramp_rate must be a number of volts per second above 0, not %r" % (ramp_rate,)
            )  # before the port is opened
        self.ramp_rate = float(ramp_rate)
        adapter = (
            port
            if isinstance(port, K7340Adapter)
            else K7340Adapter(port, max_volts=max_volts, **kwargs)
        )
        super().__init__(adapter, name, includeSCPI=False)

    @property
    def supply(self):
        """The binding's Supply (K7340Error once closed)."""
        if self.adapter.connection is None:
            raise K7340Error(-1, "Device not open", "K7340", note="the instrument is closed")
        return self.adapter.connection

    def setpoint_range(self):
        """(0, the highest setpoint, what limits it) for the validator."""
        psu = self.supply
        limit = psu.volts_limit
        why = (
            "max_volts"
            if psu.max_volts is not None and limit == psu.max_volts
            else "the supply's vrange"
        )
        return (0.0, float(limit), why)

    voltage_setpoint = setting(
        "setpoint",
        "_apply",
        """The setpoint in volts (the last one sent by this session).
        Setting it sends it at once: 0 to max_volts or the supply's vrange, else ValueError and
        nothing is sent. Below 20 V the output is off.""",
        validator=volts_validator,
        values=lambda self: self.setpoint_range(),
    )

    voltage = measurement("read_voltage", "The output voltage in volts (a meter reading).")
    current = measurement("read_current", "The output current in microamperes.")
    status = property(
        lambda self: self._fresh_status(),
        doc="""The status byte of a fresh
        reply (StatusFlags: OverV, OverI, Enable, Fault, ...).""",
    )
    faults = measurement("faults", "The fault byte (FaultFlags); reading it clears latched faults.")
    output_enabled = property(
        lambda self: StatusFlags.ENABLE in self.status,
        doc="True while the supply reports its output on (Enable).",
    )

    def _fresh_status(self):
        self.supply.read_voltage()  # one exchange: its reply carries the status byte
        return self.supply.status

    def _apply(self, volts):
        self.supply.set_voltage(volts)

    def ramp_to_voltage(self, volts, rate=None, progress=None):
        """Ramps the setpoint to volts at rate V/s (default ramp_rate), checked like
        voltage_setpoint first; a trip switches the output off (K7340TripError)."""
        volts = volts_validator(volts, self.setpoint_range())
        self.supply.ramp_to(volts, self.ramp_rate if rate is None else rate, progress=progress)

    def shutdown(self):
        """Ramps the output to zero at ramp_rate (at once if a step fails). Says in the log if
        even the zero setpoint could not be sent."""
        psu = self.adapter.connection
        if psu is not None and not psu.closed:
            try:
                if psu.setpoint > 0:
                    psu.ramp_to(0.0, self.ramp_rate)
            except K7340Error as exc:
                log.warning("ramp to zero failed (%s): switching the output off at once", exc)
                try:
                    psu.output_off()
                except K7340Error as again:
                    log.error(
                        "the zero setpoint could not be sent (%s): the output may still " "be on",
                        again,
                    )
                    raise
        super().shutdown()

    def close(self):
        """Closes the supply (a zero setpoint first if this session switched the output on)."""
        self.adapter.close()

    @property
    def id(self):
        psu = self.supply
        return "Vantrel 7340 firmware %04X, %d V / %d uA, on %s" % (
            psu.firmware_version,
            *psu.ranges,
            psu.port,
        )
