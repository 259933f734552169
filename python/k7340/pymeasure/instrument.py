"""The supply as a PyMeasure Instrument, talking through the package's session layer (no VISA,
no text commands).

    from k7340.pymeasure import K7340

    psu = K7340("/dev/ttyUSB0", max_volts=5000)       # or "COM7", or 0 for COM1
    psu.ramp_to_voltage(1000, rate=200)               # volts, volts per second
    print(psu.voltage, psu.current, psu.status)       # V, uA, StatusFlags
    psu.shutdown()                                    # ramps to zero
    psu.close()

Every setting and ramp is a request to the instrument's Session: a supply that reports a trip
bit is refused before anything is sent, a trip is the trip action (``on_trip``), a lost port is
reopened when the same supply answers again, and after an outage the output is presumed off.

PyMeasure 0.9 turns a port string given to ``Instrument.__init__`` into a VISA adapter, and its
``includeSCPI=True`` would assign ``self.status``: the instrument hands over a K7340Adapter of
its own and passes ``includeSCPI=False``.
"""

import logging
import math
import numbers

from pymeasure.adapters import Adapter
from pymeasure.instruments import Instrument

from ..binding import K7340Error, StatusFlags
from ..session import UP, Session

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

DEFAULT_RATE = 100.0  # volts per second, for shutdown() and ramp_to_voltage()
BOUNDS = {"max_volts": "max_volts", "vrange": "the supply's vrange"}


class K7340Adapter(Adapter):
    """One open supply for an Instrument: ``session`` is the package's Session, opened with the
    keywords given (max_volts, index, watchdog_ms, on_trip, ...); ``connection`` its Supply.
    The supply takes no text commands, so write/read/ask refuse. Closing switches the output
    off if this session switched it on (an Off owed to a lost port is tried again first)."""

    def __init__(self, port, **keywords):
        self.session = None
        super().__init__()
        session = Session(port, say=log.warning, **keywords)
        session.open()
        self.session = session

    @property
    def connection(self):
        return None if self.session is None else self.session.supply

    @connection.setter
    def connection(self, value):
        if value is not None:  # PyMeasure's Adapter sets None; the session holds the supply
            raise AttributeError("the adapter's connection is its session's supply")

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
        session, self.session = self.session, None
        if session is not None:
            session.close()

    def __repr__(self):
        return "<K7340Adapter %s>" % (self.session.port if self.session else "closed")


def volts_validator(value, values):
    """Refuses (never clamps) a setpoint outside values = (0, limit, why), and anything that is
    not a real number (a bool, a string, -0.0): ValueError naming the property and its range."""
    low, high, why = values
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError("voltage_setpoint must be a number of volts, not %r" % (value,))
    number = float(value)
    if not (math.isfinite(number) and low <= number <= high) or math.copysign(1, number) < 0:
        raise ValueError("voltage_setpoint %r is outside %g..%g V (%s)" % (value, low, high, why))
    return number


class K7340(Instrument):
    """The 7340 high-voltage supply. ``port``: a device path ("/dev/ttyUSB0"), "COM7", a COM
    number (0 = COM1) or a K7340Adapter. ``max_volts`` lowers the highest setpoint below the
    supply's vrange; ``ramp_rate`` (V/s) is what shutdown() and ramp_to_voltage() use; other
    keywords (index, watchdog_ms, on_trip) go to the Session."""

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
            raise ValueError(  # before the port is opened
                "ramp_rate must be a number of volts per second above 0, not %r" % (ramp_rate,)
            )
        self.ramp_rate = float(ramp_rate)
        if not isinstance(port, K7340Adapter):
            port = K7340Adapter(port, max_volts=max_volts, rate=self.ramp_rate, **kwargs)
        super().__init__(port, name, includeSCPI=False)

    @property
    def session(self):
        """The package's Session (K7340Error once closed)."""
        if self.adapter.session is None:
            raise K7340Error(-1, "Device not open", "K7340", note="the instrument is closed")
        return self.adapter.session

    @property
    def supply(self):
        """The session's Supply (K7340Error once closed)."""
        return self.session.supply

    def setpoint_range(self):
        """(0, the highest setpoint, what limits it) for the validator."""
        limit, bound = self.supply.limit_and_bound()
        return (0.0, float(limit), BOUNDS[bound])

    @property
    def voltage_setpoint(self):
        """The setpoint in volts (the last one sent by this session). Setting it sends it at
        once: 0 to max_volts or the supply's vrange, else ValueError and nothing is sent. Below
        20 V the output is off."""
        return self.supply.setpoint

    @voltage_setpoint.setter
    def voltage_setpoint(self, value):
        self.session.set_voltage(volts_validator(value, self.setpoint_range()))

    def _read(self, call):
        """One reading through the session: a lost port is reopened first (the same supply
        only), a failed exchange counts towards the lost-link rule."""
        session = self.session
        if session.link != UP and not session.reconnect(now=True):
            raise K7340Error(
                None, session.link_text or "the link is down", "read", device=session.port
            )
        try:
            return call()
        except K7340Error as exc:
            session.failed(exc)
            raise

    @property
    def voltage(self):
        """The output voltage in volts (a meter reading)."""
        return self._read(self.supply.read_voltage)

    @property
    def current(self):
        """The output current in microamperes."""
        return self._read(self.supply.read_current)

    @property
    def status(self):
        """The status byte of a fresh reply (StatusFlags: OverV, OverI, Enable, Fault, ...)."""
        self._read(self.supply.read_voltage)  # one exchange: its reply carries the status byte
        return self.supply.status

    @property
    def output_enabled(self):
        """True while the supply reports its output on (Enable)."""
        return StatusFlags.ENABLE in self.status

    def clear_faults(self):
        """Acknowledges the faults: reads the fault byte (FaultFlags), after which the supply
        clears its latched faults. Nothing else reads it."""
        return self.session.clear_faults()

    def ramp_to_voltage(self, volts, rate=None, progress=None, stop=None, on_reading=None):
        """Ramps the setpoint to volts at rate V/s (default ramp_rate), checked like
        voltage_setpoint first; a trip is the trip action (K7340TripError), an outage
        K7340OutageError. False when stop() ended it."""
        volts = volts_validator(volts, self.setpoint_range())
        rate = self.ramp_rate if rate is None else rate
        return self.session.ramp_to(
            volts, rate, progress=progress, stop=stop, on_reading=on_reading
        )

    def shutdown(self, on_reading=None, stop=None):
        """Ramps the output to zero at ramp_rate, ``on_reading(reading)`` after each step; after
        an outage (a lost port, a watchdog gone a period unfed), a trip, a step that fails or
        ``stop()`` (asked before or during the ramp), the zero goes out at once. Says in the
        log if even the zero setpoint could not be sent (it stays owed to the port)."""
        session = self.adapter.session
        psu = None if session is None else session.supply
        stop = stop or (lambda: False)
        if psu is not None and not psu.closed:
            if psu.owns_output and not self._outage(session) and not stop():
                try:
                    self.ramp_to_voltage(0.0, stop=stop, on_reading=on_reading)
                except K7340Error as exc:
                    log.warning("ramp to zero ended (%s): switching the output off at once", exc)
            if psu.owns_output or psu.pending_off or psu.setpoint:
                try:
                    session.output_off()
                except K7340Error as exc:
                    log.error(
                        "the zero setpoint could not be sent (%s): the output may still " "be on",
                        exc,
                    )
                    raise
        super().shutdown()

    @staticmethod
    def _outage(session):
        """An outage since the last request: the output is presumed off, so no ramp."""
        psu = session.supply
        ownership = psu.ownership
        if ownership.owner and ownership.starving():
            with psu.lock:
                ownership.presume_off(psu, ownership.starved_text())
        return session.link != UP or ownership.outage is not None or psu.pending_off

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
