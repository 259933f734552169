"""The K7340 Tango device: one supply, polled by a thread of its own, on the safety core.

Meters, flags and state come from the poll thread, which pushes change events (and archive
events for the meters) when a value changes; attribute reads return the last poll's values,
marked invalid while the link is down. The poll, the dead-man, the reconnect and the zero at
the end are the safety core's (through link.py); this class adds what is Tango's: the states,
the written Setpoint that On applies, RampTo, and which commands the state allows. The states
and what each command does in them are in docs/tango.md.
"""

import sys
import threading
import time

import tango
from tango import AttReqType, AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property

from ..binding import OUTPUT_ON_VOLTS, K7340Error, StatusFlags
from ..lab import ramp as lab_ramp
from ..lab.recorder import FlightRecorder
from . import link, model
from .conditioning import Conditioning
from .polling import Polling, fail

STOP_BOUND_S = 2.0  # delete_device: the zero is sent within this, or the log says it was not
RAMP_JOIN_S = 0.5  # a ramp sees its stop flag before its next setpoint
RAMP_STEP_S = 0.05
WRITE_ALLOWED = (DevState.ON, DevState.OFF, DevState.ALARM, DevState.UNKNOWN)
EVENT_ATTRIBUTES = [
    "Voltage",
    "Current",
    "Temperature",
    "Setpoint",
    "OutputEnabled",
    "StatusBits",
    "FaultBits",
    "State",
    "Status",
] + [name for name, _ in model.STATUS_BIT_ATTRIBUTES]


def _status_bit(name, flag):
    def read(self):
        return bool(self._cached().status & flag)

    read.__name__ = "read_" + name
    return attribute(
        name=name, dtype=bool, fget=read, doc="status bit 0x%02X (%s)" % (int(flag), flag.name)
    )


class K7340(Polling, Conditioning, Device):
    """A Vantrel 7340 high-voltage supply on a serial port."""

    # The properties are declared once, in model.PROPERTIES. Tango hands them over as text and
    # model.check_properties reads them, so that a value such as MaxVolts "abc" puts the device
    # in FAULT naming the property instead of stopping the server.
    for _name, _property in model.PROPERTIES.items():
        locals()[_name] = device_property(
            dtype=str,
            default_value=_property.default,
            doc="%s: %s" % (_property.doc, _property.allowed),
        )
    del _name, _property

    Voltage = attribute(
        dtype=float, unit="V", format="%.1f", min_value=0, max_value=60000, doc="output voltage"
    )
    Current = attribute(
        dtype=float, unit="uA", format="%.3f", min_value=0, max_value=500, doc="output current"
    )
    Temperature = attribute(
        dtype=float,
        format="%.2f",
        min_value=0,
        max_value=250,
        doc="the supply's temperature reading",
    )
    # Its limits (0 to MaxVolts or vrange) are checked by write_Setpoint, which names them.
    Setpoint = attribute(
        dtype=float,
        unit="V",
        format="%.1f",
        access=AttrWriteType.READ_WRITE,
        doc="read: the last setpoint this server sent; write: applied by On, "
        "sent at once while the output is on (below 20 V: at once)",
    )
    OutputEnabled = attribute(dtype=bool, doc="the supply reports its output on")
    VRange = attribute(dtype=int, unit="V", doc="full-scale output voltage")
    IRange = attribute(dtype=int, unit="uA", doc="full-scale output current")
    FirmwareVersion = attribute(dtype=str, doc="firmware revision, four hex digits")
    StatusBits = attribute(dtype=(str,), max_dim_x=8, doc="labels of the status bits set")
    FaultBits = attribute(dtype=(str,), max_dim_x=8, doc="labels of the fault bits held")

    (
        StatusOverV,
        StatusOverI,
        StatusEnable,
        StatusEEBusy,
        StatusFault,
        StatusOverT,
        StatusComErr,
        StatusReset,
    ) = [_status_bit(n, f) for n, f in model.STATUS_BIT_ATTRIBUTES]

    # --- life ---------------------------------------------------------------------------------

    def init_device(self):
        self._link = None
        self._config = None
        self._written = 0.0  # the Setpoint written: what On applies
        self._sent = None  # the last setpoint this server sent; None: nothing sent or found yet
        self._sends = 0  # counts the setpoints sent, so that a poll older than one is not used
        self._ramp_thread = None
        self._ramp_stop = threading.Event()
        self._note = ""
        self._pushed = {}
        self._stopping = threading.Event()
        self._poll_now = threading.Event()
        self._poller = None
        self._ramp_rate = float(model.PROPERTIES["RampRate"].default)
        for name in EVENT_ATTRIBUTES:
            self.set_change_event(name, True, False)
        for name in ("Voltage", "Current", "Temperature"):
            self.set_archive_event(name, True, False)
        try:
            super().init_device()  # reads the properties
            values = {name: getattr(self, name, None) for name in model.PROPERTIES}
            self._config = model.check_properties(values, self._properties_in_database())
        except Exception as exc:  # a ConfigurationError, or the database's own failure
            self._config_error = "Configuration: %s" % exc
            self.set_state(DevState.FAULT)
            self.set_status(self._config_error)
            self._log(self._config_error)
            return
        self._ramp_rate = self._config["RampRate"]
        if not self._config["WatchdogMs"]:
            self._log(
                "WatchdogMs is 0: the dead-man is off, so a killed server or a pulled "
                "cable leaves the output on"
            )
        self._link = link.Link(self._config, self._log)
        self._recorder = FlightRecorder(self._config["RecordDir"] or None, name="k7340-tango")
        self.set_state(DevState.UNKNOWN)
        self.set_status("Connecting to %s" % self._link.port)
        self._poller = threading.Thread(target=self._poll_loop, name="k7340-poll", daemon=True)
        self._poller.start()

    def delete_device(self):
        """The way out (the server stops: SIGTERM, SIGINT, Kill of the admin device, or Init):
        within STOP_BOUND_S the zero setpoint goes to what this server switched on, or the log
        says the output may still be on. A supply found on and never commanded is left as
        found."""
        self._stopping.set()
        self._ramp_stop.set()
        self._poll_now.set()
        if self._link is None:
            return
        deadline = time.monotonic() + STOP_BOUND_S
        thread = self._ramp_thread
        if thread is not None:
            thread.join(RAMP_JOIN_S)
        note = self._link.close(deadline)
        if note:
            self._log(note)

    def _log(self, text):
        """The device's error stream, and standard error (a stopping server's last word)."""
        try:
            self.error_stream(text)
        except Exception:  # the logging system may be gone at shutdown
            pass
        print("k7340.tango %s: %s" % (self.get_name(), text), file=sys.stderr, flush=True)

    def _properties_in_database(self):
        """Every property name set for this device, so that a misspelt one is not ignored."""
        try:
            database = tango.Util.instance().get_database()
            file_name = database.get_file_name()
        except Exception:  # no database (-nodb): only the defaults
            return []
        if file_name:  # a file database cannot list them
            return model.file_database_properties(file_name, self.get_name())
        names = []
        database.get_device_property_list(self.get_name(), "*", names)
        return names

    # --- attributes ---------------------------------------------------------------------------

    def read_Voltage(self):
        return self._meter(self._cached().volts)

    def read_Current(self):
        return self._meter(self._cached().microamps)

    def read_Temperature(self):
        return self._meter(self._cached().temperature)

    def read_OutputEnabled(self):
        return StatusFlags.ENABLE in StatusFlags(self._cached().status)

    def read_StatusBits(self):
        return StatusFlags(self._cached().status).labels()

    def read_FaultBits(self):
        return model.fault_labels(self._cached().faults)

    def _identity_field(self, i):
        self._cached()
        identity = self._link.identity
        if identity is None:
            fail("K7340_NotConnected", "the supply has not answered yet", "K7340.read")
        return identity[i]

    def read_VRange(self):
        return self._identity_field(0)

    def read_IRange(self):
        return self._identity_field(1)

    def read_FirmwareVersion(self):
        return self._identity_field(2)

    def read_Setpoint(self):
        return self._sent or 0.0

    def write_Setpoint(self, volts):
        self._ready("Setpoint")
        self._check_limit(volts, "Setpoint")
        self._written = volts
        if self.get_state() in (DevState.ON, DevState.ALARM) or volts < OUTPUT_ON_VOLTS:
            self._send(volts, "Setpoint")

    def is_Setpoint_allowed(self, request):
        return request == AttReqType.READ_REQ or self.get_state() in WRITE_ALLOWED

    @attribute(
        name="RampRate",
        dtype=float,
        unit="V/s",
        format="%.1f",
        access=AttrWriteType.READ_WRITE,
        doc="rate of RampTo in volts per second, %g..%g" % model.RAMP_RATE,
    )
    def ramp_rate(self):
        return self._ramp_rate

    @ramp_rate.write
    def ramp_rate(self, rate):
        low, high = model.RAMP_RATE
        if not low <= rate <= high:  # NaN too
            fail(
                "K7340_ValueRefused",
                "RampRate %r is outside %g..%g V/s" % (rate, low, high),
                "K7340.RampRate",
            )
        self._ramp_rate = rate

    # --- commands -----------------------------------------------------------------------------

    def _ready(self, what):
        """Refuses what unless the link is up to the supply the device opened: while it is down
        only Off is accepted."""
        origin = "K7340." + what
        if self._config is None:
            fail("K7340_Configuration", self._config_error, origin)
        poll = self._link.last
        if poll.blocked:
            fail("K7340_Blocked", "%s is not allowed: %s" % (what, poll.blocked), origin)
        if poll.down:
            fail(
                "K7340_LinkDown",
                "%s is not allowed while the link is down (%s): only Off is "
                "accepted, and sent once the same supply answers again" % (what, poll.down),
                origin,
            )
        if poll.reading is None:
            fail(
                "K7340_NotConnected",
                "%s is not allowed: %s has not answered yet" % (what, self._link.port),
                origin,
            )

    def _check_limit(self, volts, what):
        limit = self._link.volts_limit
        if not 0.0 <= volts <= limit:
            bound = (
                "MaxVolts"
                if self._config["MaxVolts"] and limit == self._config["MaxVolts"]
                else "the supply's vrange"
            )
            fail(
                "K7340_ValueRefused",
                "%s %g V is outside 0..%g V (%s)" % (what, volts, limit, bound),
                "K7340." + what,
            )

    def _send(self, volts, what):
        try:
            self._link.set_voltage(volts)
        except (K7340Error, ValueError) as exc:
            fail("K7340_SupplyError", str(exc), "K7340." + what)
        self._sent = volts
        self._sends += 1
        self._note = ""
        self._poll_now.set()

    def _stop_ramp(self):
        thread = self._ramp_thread
        if thread is not None and thread.is_alive():
            self._ramp_stop.set()
            thread.join(RAMP_JOIN_S)

    @command(doc_in="switches the output on at the Setpoint written")
    def On(self):
        self._ready("On")
        if self._written < OUTPUT_ON_VOLTS:
            fail(
                "K7340_NoSetpoint",
                "write Setpoint (20 V or more) before On; it is %g V" % self._written,
                "K7340.On",
            )
        self._check_limit(self._written, "On")
        self._send(self._written, "On")

    def is_On_allowed(self):
        return self.get_state() in (DevState.ON, DevState.OFF, DevState.UNKNOWN)

    @command(
        doc_in="switches the output off (zero setpoint); stops a ramp. While the link is "
        "down it is kept and sent once the same supply answers again"
    )
    def Off(self):
        if self._config is None:
            fail("K7340_Configuration", self._config_error, "K7340.Off")
        if self._link.last.blocked:
            fail("K7340_Blocked", "Off is not sent: %s" % self._link.last.blocked, "K7340.Off")
        self._stop_ramp()
        try:
            sent = self._link.off()
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.Off")
        if sent:
            self._sent = 0.0
            self._sends += 1
            self._note = ""
        self._poll_now.set()

    @command(
        dtype_in=float,
        doc_in="volts: ramps the output there at RampRate from the last "
        "setpoint sent; the written Setpoint stays as it is",
    )
    def RampTo(self, volts):
        self._ready("RampTo")
        self._check_limit(volts, "RampTo")
        start = min(self._sent or 0.0, self._link.volts_limit)
        try:
            lab_ramp.checked(start, volts, self._ramp_rate, RAMP_STEP_S, "RampTo")
        except ValueError as exc:
            fail("K7340_ValueRefused", str(exc), "K7340.RampTo")
        self._stop_ramp()
        self._ramp_stop = threading.Event()  # its own: a ramp that was slow to stop stays stopped
        self._note = ""
        self._ramp_thread = threading.Thread(
            target=self._ramp,
            name="k7340-ramp",
            daemon=True,
            args=(start, volts, self._ramp_rate, self._ramp_stop.is_set),
        )
        self._ramp_thread.start()
        self.set_state(DevState.MOVING)
        self.set_status("Ramping to %g V at %g V/s" % (volts, self._ramp_rate))

    def is_RampTo_allowed(self):
        return self.get_state() in (DevState.ON, DevState.OFF, DevState.UNKNOWN)

    def _ramp(self, start, volts, rate, stop):
        def progress(now):
            self._sent = now
            self._sends += 1

        with tango.EnsureOmniThread():
            try:
                done = self._link.ramp(start, volts, rate, RAMP_STEP_S, progress, stop)
                self._note = (
                    ("ramp to %g V done" % volts)
                    if done
                    else ("ramp stopped at %g V" % (self._sent or 0.0))
                )
            except (K7340Error, ValueError) as exc:  # a trip (output off) or a failed exchange
                self._note = "ramp ended: %s" % exc
            self._poll_now.set()

    @command(doc_in="stops a ramp where it is")
    def Stop(self):
        self._stop_ramp()

    @command(doc_in="output off, then the supply's reset (about one second)")
    def Reset(self):
        self._ready("Reset")
        self._stop_ramp()
        try:
            self._link.reset()
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.Reset")
        self._sent = 0.0
        self._sends += 1
        self._poll_now.set()

    def is_Reset_allowed(self):
        return self._config is not None

    @command(
        doc_in="reads the fault byte (which clears the supply's latched faults) and lets "
        "go of the fault the poll holds"
    )
    def ClearFaults(self):
        self._ready("ClearFaults")
        try:
            self._link.clear_faults()
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.ClearFaults")
        self._poll_now.set()

    def is_ClearFaults_allowed(self):
        return self._config is not None
