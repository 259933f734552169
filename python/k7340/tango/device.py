"""The K7340 Tango device: one supply, polled by a thread of its own, on the safe binding.

Meters, flags and state come from the poll thread, which pushes change events (and archive
events for the meters) when a value changes; attribute reads return the last poll's values,
marked invalid while the supply does not answer. Commands and writes go to the supply at once
and wake the poll thread so the state follows within one exchange round. Nothing switches the
output on but On, RampTo and a Setpoint written while the output is on. The output is switched
off when the device is deleted (the server stops: SIGTERM, SIGINT, Kill of the admin device).
"""

import threading
import time

import tango
from tango import AttrQuality, AttReqType, AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property

from .. import K7340Error, StatusFlags
from ..binding.errors import ERR_WRITE
from ..binding.flags import FaultFlags
from . import link, model

JOIN_SECONDS = 3.0
WRITE_ALLOWED = (DevState.ON, DevState.OFF, DevState.ALARM)
EVENT_ATTRIBUTES = (["Voltage", "Current", "Temperature", "Setpoint", "OutputEnabled",
                     "StatusBits", "FaultBits", "State", "Status"]
                    + [name for name, _ in model.STATUS_BIT_ATTRIBUTES])


def fail(reason, text, origin):
    tango.Except.throw_exception(reason, text, origin)


class _RampStopped(Exception):
    """Raised from the ramp's progress callback when Stop (or Off, Reset, the end) asks."""


def _status_bit(name, flag):
    def read(self):
        return bool(self._cached().status & flag)

    read.__name__ = "read_" + name
    return attribute(name=name, dtype=bool, fget=read,
                     doc="status bit 0x%02X (%s)" % (int(flag), flag.name))


class K7340(Device):
    """A Vantrel 7340 high-voltage supply on a serial port."""

    ComPort = device_property(dtype=int, default_value=-1, doc="COM port number, 0 = COM1")
    PortPath = device_property(dtype=str, default_value="", doc="device path, e.g. /dev/ttyUSB0")
    MaxVolts = device_property(dtype=float, default_value=0.0,
                               doc="highest setpoint in volts; 0: the supply's vrange")
    PollPeriodMs = device_property(dtype=int, default_value=200, doc="poll period, 20..10000 ms")
    RampRate = device_property(dtype=float, default_value=100.0,
                               doc="ramp rate in V/s until the RampRate attribute is written")
    WatchdogMs = device_property(dtype=int, default_value=0,
                                 doc="the supply's watchdog, 10..2550 ms; 0 = off")

    Voltage = attribute(dtype=float, unit="V", format="%.1f", min_value=0, max_value=60000,
                        doc="output voltage")
    Current = attribute(dtype=float, unit="uA", format="%.3f", min_value=0, max_value=500,
                        doc="output current")
    Temperature = attribute(dtype=float, format="%.2f", min_value=0, max_value=250,
                            doc="the supply's temperature reading")
    # Its limits (0 to MaxVolts or vrange) are checked by write_Setpoint, which names them.
    Setpoint = attribute(dtype=float, unit="V", format="%.1f", access=AttrWriteType.READ_WRITE,
                         doc="read: the last setpoint sent; write: sent at once while the "
                             "output is on, else kept for On")
    OutputEnabled = attribute(dtype=bool, doc="the supply reports its output on")
    VRange = attribute(dtype=int, unit="V", doc="full-scale output voltage")
    IRange = attribute(dtype=int, unit="uA", doc="full-scale output current")
    FirmwareVersion = attribute(dtype=str, doc="firmware revision, four hex digits")
    StatusBits = attribute(dtype=(str,), max_dim_x=8, doc="labels of the status bits set")
    FaultBits = attribute(dtype=(str,), max_dim_x=8, doc="labels of the fault bits set")

    StatusOverV, StatusOverI, StatusEnable, StatusEEBusy, StatusFault, StatusOverT, \
        StatusComErr, StatusReset = [_status_bit(n, f) for n, f in model.STATUS_BIT_ATTRIBUTES]

    # --- life ---------------------------------------------------------------------------------

    def init_device(self):
        super().init_device()
        self._psu = None
        self._reading = None
        self._identity = None  # (vrange, irange, firmware) of the open supply
        self._applied = 0.0  # the last setpoint sent
        self._target = 0.0  # the Setpoint written, applied by On
        self._ramp_thread = None
        self._ramp_stop = threading.Event()
        self._note = ""
        self._pushed = {}
        self._stopping = threading.Event()
        self._poll_now = threading.Event()
        self._poller = None
        for name in EVENT_ATTRIBUTES:
            self.set_change_event(name, True, False)
        for name in ("Voltage", "Current", "Temperature"):
            self.set_archive_event(name, True, False)
        values = {name: getattr(self, name) for name in model.PROPERTIES}
        try:
            self._config = model.check_properties(values, self._properties_in_database())
        except model.ConfigurationError as exc:
            self._config = None
            self._config_error = "Configuration: %s" % exc
            self.set_state(DevState.FAULT)
            self.set_status(self._config_error)
            return
        self._ramp_rate = self._config["RampRate"]
        self.set_state(DevState.UNKNOWN)
        self.set_status("Connecting to %s" % self._port_text())
        self._poller = threading.Thread(target=self._poll_loop, name="k7340-poll", daemon=True)
        self._poller.start()

    def delete_device(self):
        self._stopping.set()
        self._ramp_stop.set()
        self._poll_now.set()
        for thread in (self._ramp_thread, self._poller):
            if thread is not None:
                thread.join(JOIN_SECONDS)
        psu, self._psu = self._psu, None
        if psu is not None:
            link.switch_off_and_close(psu)

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

    def _port_text(self):
        path = self._config["PortPath"]
        return path or "COM%d" % (self._config["ComPort"] + 1)

    # --- polling ------------------------------------------------------------------------------

    def _poll_loop(self):
        with tango.EnsureOmniThread():
            period = self._config["PollPeriodMs"] / 1000.0
            while not self._stopping.is_set():
                self._poll_once()
                self._poll_now.wait(period)
                self._poll_now.clear()

    def _connected(self):
        if self._psu is None:
            self._psu, self._applied, self._identity = link.open_link(self._config,
                                                                        self._applied)
        return self._psu

    def _drop(self):
        psu, self._psu = self._psu, None
        if psu is not None:
            link.close_quietly(psu)

    def _poll_once(self):
        reading, error = None, None
        try:
            reading = link.read_supply(self._connected())
        except K7340Error as exc:
            error = exc
            # The port itself is gone (an adapter pulled): reopen it at the next poll.
            if exc.code == ERR_WRITE or (exc.code or 0) > 0:
                self._drop()
        if reading is not None:
            self._reading = reading
        self._publish(reading, error)

    def _publish(self, reading, error):
        ramping = self._ramp_thread is not None and self._ramp_thread.is_alive()
        state, text = model.state_of(reading, ramping, error)
        if self._note and state in ("ON", "OFF"):
            text = "%s; %s" % (text, self._note)
        self.set_state(getattr(DevState, state))
        self.set_status(text)
        self._push("State", state, None)
        self._push("Status", text, None)
        if reading is None:
            return
        status, faults = StatusFlags(reading.status), FaultFlags(reading.faults)
        values = {"Voltage": reading.volts, "Current": reading.microamps,
                  "Temperature": reading.temperature, "Setpoint": self._applied,
                  "OutputEnabled": StatusFlags.ENABLE in status,
                  "StatusBits": status.labels(), "FaultBits": faults.labels()}
        values.update((name, bool(status & flag)) for name, flag in model.STATUS_BIT_ATTRIBUTES)
        for name, value in values.items():
            self._push(name, value, value)

    def _push(self, name, key, value):
        if self._pushed.get(name, object()) == key:
            return
        self._pushed[name] = key
        if value is None:
            self.push_change_event(name)
        else:
            self.push_change_event(name, value)
        if name in ("Voltage", "Current", "Temperature"):
            self.push_archive_event(name, value)

    def _cached(self):
        if self._config is None:
            fail("K7340_Configuration", self._config_error, "K7340.read")
        if self._reading is None:
            fail("K7340_NoReading", "no reading yet from %s" % self._port_text(), "K7340.read")
        return self._reading

    def _meter(self, value):
        if self.get_state() == DevState.UNKNOWN:
            return value, time.time(), AttrQuality.ATTR_INVALID
        return value

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
        return FaultFlags(self._cached().faults).labels()

    def _identity_field(self, i):
        if self._identity is None:
            self._cached()
            fail("K7340_NotConnected", "the supply has not answered yet", "K7340.read")
        return self._identity[i]

    def read_VRange(self):
        return self._identity_field(0)

    def read_IRange(self):
        return self._identity_field(1)

    def read_FirmwareVersion(self):
        return self._identity_field(2)

    def read_Setpoint(self):
        return self._applied

    def write_Setpoint(self, volts):
        self._check_limit(volts, "Setpoint")
        self._target = volts
        if self.get_state() in (DevState.ON, DevState.ALARM) or volts < 20.0:
            self._send(volts)

    def is_Setpoint_allowed(self, request):
        return request == AttReqType.READ_REQ or self.get_state() in WRITE_ALLOWED

    @attribute(name="RampRate", dtype=float, unit="V/s", format="%.1f",
               access=AttrWriteType.READ_WRITE,
               doc="rate of RampTo in volts per second")
    def ramp_rate(self):
        return self._ramp_rate

    @ramp_rate.write
    def ramp_rate(self, rate):
        if not rate > 0:
            fail("K7340_ValueRefused", "RampRate %r: must be above 0 V/s" % rate, "K7340.RampRate")
        self._ramp_rate = rate

    # --- commands -----------------------------------------------------------------------------

    def _supply(self, origin):
        if self._config is None:
            fail("K7340_Configuration", self._config_error, origin)
        if self._psu is None:
            fail("K7340_NotConnected", "the supply does not answer on %s" % self._port_text(),
                 origin)
        return self._psu

    def _check_limit(self, volts, what):
        limit = self._supply("K7340." + what).volts_limit
        if not 0.0 <= volts <= limit:
            bound = "MaxVolts" if self._config["MaxVolts"] and limit == self._config["MaxVolts"] \
                else "the supply's vrange"
            fail("K7340_ValueRefused", "%s %g V is outside 0..%g V (%s)" % (what, volts, limit,
                                                                            bound), "K7340." + what)

    def _send(self, volts):
        try:
            self._supply("K7340.Setpoint").set_voltage(volts)
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.set_voltage")
        self._applied = volts
        self._note = ""
        self._poll_now.set()

    def _stop_ramp(self):
        thread = self._ramp_thread
        if thread is not None and thread.is_alive():
            self._ramp_stop.set()
            thread.join(JOIN_SECONDS)

    @command(doc_in="switches the output on at the Setpoint written")
    def On(self):
        if self._target < 20.0:
            fail("K7340_NoSetpoint", "write Setpoint (20 V or more) before On; it is %g V"
                 % self._target, "K7340.On")
        self._send(self._target)

    def is_On_allowed(self):
        return self.get_state() in (DevState.ON, DevState.OFF)

    @command(doc_in="switches the output off (zero setpoint); stops a ramp")
    def Off(self):
        self._stop_ramp()
        self._send(0.0)

    @command(dtype_in=float, doc_in="volts: ramps the setpoint there at RampRate")
    def RampTo(self, volts):
        self._check_limit(volts, "RampTo")
        psu = self._supply("K7340.RampTo")
        self._ramp_stop.clear()
        self._target = volts
        self._note = ""
        self._ramp_thread = threading.Thread(target=self._ramp, args=(psu, volts, self._ramp_rate),
                                             name="k7340-ramp", daemon=True)
        self._ramp_thread.start()
        self.set_state(DevState.MOVING)
        self.set_status("Ramping to %g V at %g V/s" % (volts, self._ramp_rate))

    def is_RampTo_allowed(self):
        return self.get_state() in (DevState.ON, DevState.OFF)

    def _ramp(self, psu, volts, rate):
        def progress(now):
            self._applied = now
            if self._ramp_stop.is_set():
                raise _RampStopped()

        with tango.EnsureOmniThread():
            try:
                psu.ramp_to(volts, rate, progress=progress)
                self._note = "ramp to %g V done" % volts
            except _RampStopped:
                self._note = "ramp stopped at %g V" % self._applied
            except K7340Error as exc:  # a trip (output off) or a failed exchange
                self._note = "ramp ended: %s" % exc
            self._applied = psu.setpoint
            self._poll_now.set()

    @command(doc_in="stops a ramp where it is")
    def Stop(self):
        self._stop_ramp()

    @command(doc_in="output off, then the supply's reset (about one second)")
    def Reset(self):
        self._stop_ramp()
        try:
            self._supply("K7340.Reset").reset()
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.Reset")
        self._applied = 0.0
        self._poll_now.set()

    def is_Reset_allowed(self):
        return self.get_state() != DevState.UNKNOWN and self._config is not None

    @command(doc_in="reads the fault byte; its follow-up command clears latched faults")
    def ClearFaults(self):
        try:
            self._supply("K7340.ClearFaults").faults
        except K7340Error as exc:
            fail("K7340_SupplyError", str(exc), "K7340.ClearFaults")
        self._poll_now.set()

    def is_ClearFaults_allowed(self):
        return self._config is not None and self.get_state() != DevState.UNKNOWN
