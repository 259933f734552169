"""The K7340 Tango device: one supply, polled by a thread of its own, on the package's session
layer.

Meters, flags and state come from the poll thread, which pushes change events (and archive
events for the meters) when a value changes; attribute reads return the last poll's values,
marked invalid while the link is down. The poll, the dead-man, the reconnect, the trip action
and the zero at the end are the session's (through connection.py); this class adds what is
Tango's: the states, the written Setpoint that On applies, and which commands the state allows
(commands.py). The states and what each command does in them are in docs/tango.md.
"""

import os
import sys
import threading
import time

import tango
from tango import AttReqType, AttrWriteType, DevState
from tango.server import Device, attribute, device_property

from ..binding import StatusFlags
from ..binding.device import IRANGE_BOUNDS, VRANGE_BOUNDS
from ..lab.recorder import FlightRecorder
from . import connection, model
from .commands import RAMP_JOIN_S, Commands
from .polling import Polling, fail

STOP_BOUND_S = 2.0  # delete_device: the zero is sent within this, or the log says it was not
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


def _exit_if_last(device):
    """A stopping server (a stop signal, Kill) ends its process once the last device's way out
    is done: Tango acts on every stop signal it gets, and one that comes while it takes itself
    down (a burst of them, or just two close together) crashes it in its own clean-up."""
    _live.discard(device)
    try:
        stopping = tango.Util.instance().is_svr_shutting_down()
    except Exception:  # no server (a test context)
        return
    if stopping and not _live:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:
                pass
        os._exit(0)


_live = set()  # the devices of this server whose way out has not run


def _status_bit(name, flag):
    def read(self):
        return bool(self._cached().status & flag)

    read.__name__ = "read_" + name
    return attribute(
        name=name, dtype=bool, fget=read, doc="status bit 0x%02X (%s)" % (int(flag), flag.name)
    )


class K7340(Polling, Commands, Device):
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
        dtype=float,
        unit="V",
        format="%.1f",
        min_value=0,
        max_value=VRANGE_BOUNDS[1],
        doc="output voltage",
    )
    Current = attribute(
        dtype=float,
        unit="uA",
        format="%.3f",
        min_value=0,
        max_value=IRANGE_BOUNDS[1],
        doc="output current",
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
        doc="read: the last setpoint this server sent (or the output found on and adopted); "
        "write: applied by On, sent at once while the output is on (below 20 V: at once); "
        "RampTo and Condition leave the written value as it is",
    )
    OutputEnabled = attribute(dtype=bool, doc="the supply reports its output on")
    VRange = attribute(dtype=int, unit="V", doc="full-scale output voltage")
    IRange = attribute(dtype=int, unit="uA", doc="full-scale output current")
    FirmwareVersion = attribute(dtype=str, doc="firmware revision, four hex digits")
    StatusBits = attribute(dtype=(str,), max_dim_x=8, doc="labels of the status bits set")
    FaultBits = attribute(
        dtype=(str,),
        max_dim_x=8,
        doc="the fault bits the last ClearFaults read (a poll never reads the fault byte)",
    )

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
        _live.add(self)
        self._connection = None
        self._config = None
        self._written = 0.0  # the Setpoint written: what On applies
        self._acknowledged = 0  # the fault byte the last ClearFaults read
        self._run_thread = None
        self._run_stop = threading.Event()
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
        self._connection = connection.Connection(self._config, self._log)
        self._connection.session.ramping_down = self._ramping_down
        self._connection.session.recorder = FlightRecorder(
            self._config["RecordDir"] or None, name="k7340-tango"
        )
        self.set_state(DevState.UNKNOWN)
        self.set_status("Connecting to %s" % self._connection.port)
        self._poller = threading.Thread(target=self._poll_loop, name="k7340-poll", daemon=True)
        self._poller.start()

    def delete_device(self):
        """The way out (the server stops: SIGTERM, SIGINT, Kill of the admin device, or Init):
        within STOP_BOUND_S the zero setpoint goes to what this server switched on, or the log
        says the output may still be on. A supply found on and never commanded is left as
        found."""
        if self._stopping.is_set():
            return  # a second stop while the first one's way out runs
        self._stopping.set()
        self._run_stop.set()
        self._poll_now.set()
        if self._connection is not None:
            deadline = time.monotonic() + STOP_BOUND_S
            thread = self._run_thread
            if thread is not None:
                thread.join(RAMP_JOIN_S)
            note = self._connection.close(deadline)
            if note:
                self._log(note)
        _exit_if_last(self)

    def _ramping_down(self, rate):
        """The poll's trip action ramps the output down (OnTrip ramp-down): MOVING meanwhile."""
        self.set_state(DevState.MOVING)
        self.set_status("Trip: ramping the output down to zero at %g V/s" % rate)

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
        return model.fault_labels(self._acknowledged)

    def _identity_field(self, i):
        self._cached()
        identity = self._connection.identity
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
        return self._sent()

    def _sent(self):
        """The last setpoint this server sent, or the voltage of an output it adopted."""
        psu = None if self._connection is None else self._connection.session.supply
        return 0.0 if psu is None else psu.setpoint

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
        if self._connection is not None:
            self._connection.session.rate = rate  # a trip's ramp-down follows it too
