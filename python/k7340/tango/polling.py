"""The K7340 device's poll thread: the session's poll through connection.py, turned into the
device's state, Status and attribute values, with change events (and archive events for the
meters) pushed when a value changes. A trip or an outage the session acted on is logged. A mixin
of the device class, apart from its commands."""

import time

import tango
from tango import AttrQuality, DevState

from ..binding import StatusFlags
from . import model


def fail(reason, text, origin):
    tango.Except.throw_exception(reason, text, origin)


class Polling:
    """The K7340 device's polling half (see device.py for the attributes it keeps)."""

    def _poll_loop(self):
        # Its own connection and stop flag: after an Init the device has new ones.
        own, stopping, wake = self._connection, self._stopping, self._poll_now
        with tango.EnsureOmniThread():
            period = self._config["PollPeriodMs"] / 1000.0
            while not stopping.is_set():
                try:
                    poll = own.poll()
                    while own.events:
                        event = own.events.pop(0)
                        self._note = str(event)
                        self._log(self._note)
                    if not stopping.is_set():
                        self._publish(poll)
                except Exception as exc:  # the poll thread never dies of a surprise
                    self._log("poll: %s: %s" % (type(exc).__name__, exc))
                wake.wait(own.session.poll_interval(period) if own.session.supply else period)
                wake.clear()

    def _publish(self, poll):
        reading = poll.reading
        running = self._run_thread is not None and self._run_thread.is_alive()
        state, text = model.state_of(reading, running, poll.down, poll.blocked, poll.pending_off)
        if self._note and state in ("ON", "OFF", "ALARM", "FAULT"):
            text = "%s; %s" % (text, self._note)
        self.set_state(getattr(DevState, state))
        self.set_status(text)
        self._push("State", state, None)
        self._push("Status", text, None)
        if reading is None or poll.down:
            return
        status = StatusFlags(reading.status)
        values = {
            "Voltage": reading.volts,
            "Current": reading.microamps,
            "Temperature": reading.temperature,
            "Setpoint": self._sent(),
            "OutputEnabled": StatusFlags.ENABLE in status,
            "StatusBits": status.labels(),
            "FaultBits": model.fault_labels(self._acknowledged),
        }
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
        reading = self._connection.last.reading
        if reading is None:
            fail("K7340_NoReading", "no reading yet from %s" % self._connection.port, "K7340.read")
        return reading

    def _meter(self, value):
        if self.get_state() == DevState.UNKNOWN:
            return value, time.time(), AttrQuality.ATTR_INVALID
        return value
