"""The K7340 Tango device against k7340sim: each device runs in a server process of its own,
bound to 127.0.0.1, with a file database."""

import os
import signal
import socket
import subprocess
import sys

import pytest

from binding_support import REPO, log_text, setpoint_lines, wait_for

tango = pytest.importorskip("tango")
from tango import DevState, EventType  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """python -m k7340.tango with a file database holding one device, lab/hv/1, on a port of
    127.0.0.1 only. A server process of its own: forking the test process (as PyTango's
    DeviceTestContext does) after a client subscribed to events can hang the child."""

    def __init__(self, directory, properties):
        database = directory / "devices.db"
        lines = ['K7340/t/DEVICE/K7340: "lab/hv/1"']
        lines += ['lab/hv/1->%s: "%s"' % item for item in properties.items()]
        database.write_text("\n".join(lines) + "\n")
        self.port = free_port()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "k7340.tango", "t", "-file=%s" % database,
             "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % self.port],
            env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.device = self.proxy("lab/hv/1")
        if not wait_for(lambda: _state(self.device) is not None, 30):
            self.stop()
            raise RuntimeError("the Tango server did not start")

    def proxy(self, name):
        return tango.DeviceProxy("tango://127.0.0.1:%d/%s#dbase=no" % (self.port, name))

    def stop(self, how=signal.SIGTERM):
        if self.process.poll() is None:
            if how == "Kill":
                self.proxy("dserver/K7340/t").Kill()
            else:
                self.process.send_signal(how)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture
def server(tmp_path):
    """server(sim, **properties): the device of a new server, stopped at the end."""
    started = []

    def start(sim, **properties):
        properties.setdefault("PortPath", str(sim.link))
        started.append(Server(tmp_path, properties))
        return started[-1]

    yield start
    for s in started:
        s.stop()


def _state(dev):
    try:
        return dev.state()
    except tango.DevFailed:
        return None


def wait_state(dev, state, seconds=5.0):
    assert wait_for(lambda: _state(dev) == state, seconds), (_state(dev), dev.status())


def refused(action):
    """The DevFailed's description of a refused action."""
    with pytest.raises(tango.DevFailed) as info:
        action()
    return info.value.args[0].desc


def commands(sim):
    return [l.split(">", 1)[1].strip() for l in setpoint_lines(log_text(sim)) if " > " in l]


def test_attributes_setpoint_limits_and_the_zero_at_stop(start_sim, server):
    sim = start_sim("--log", "--vrange", "30000", "--irange", "100", "--fw", "0x0456")
    running = server(sim, MaxVolts=25000)
    dev = running.device
    wait_state(dev, DevState.OFF)
    assert (dev.VRange, dev.IRange, dev.FirmwareVersion) == (30000, 100, "0456")
    assert dev.Voltage < 20 and 20 < dev.Temperature < 30
    dev.Setpoint = 1000  # kept for On while the output is off
    assert commands(sim) == []
    dev.On()
    wait_state(dev, DevState.ON)
    assert wait_for(lambda: abs(dev.Voltage - 1000) < 20) and dev.OutputEnabled
    assert dev.StatusEnable and list(dev.StatusBits) == ["Enable"]
    dev.Setpoint = 2000  # 2000 / 30000 of full scale: code 0x111111
    assert wait_for(lambda: commands(sim)[-1] == "06 11 11 11 11 4A  set 2000.0 V, output on")
    sent = len(commands(sim))
    assert "outside 0..25000 V (MaxVolts)" in refused(lambda: setattr(dev, "Setpoint", 25001))
    assert "must be above 0" in refused(lambda: setattr(dev, "RampRate", 0))
    assert len(commands(sim)) == sent
    running.stop()
    assert wait_for(lambda: commands(sim)[-1].endswith("output off"))


def test_ramp_moves_through_moving_to_on(start_sim, server):
    sim = start_sim("--log", "--slew", "0")
    dev = server(sim).device
    wait_state(dev, DevState.OFF)
    dev.RampRate = 4000.0
    dev.RampTo(1500.0)
    assert dev.state() == DevState.MOVING
    wait_state(dev, DevState.ON)
    assert dev.Setpoint == 1500.0 and "done" in dev.status()
    volts = [float(c.split("set ")[1].split(" V")[0]) for c in commands(sim) if "set " in c]
    assert len(volts) > 3 and volts == sorted(volts) and volts[-1] == 1500.0


def test_status_bits_turn_the_state_and_send_change_events(start_sim, server):
    sim = start_sim("--log")
    dev = server(sim).device
    wait_state(dev, DevState.OFF)
    states = []
    subscription = dev.subscribe_event("State", EventType.CHANGE_EVENT,
                                       lambda e: e.err or states.append(e.attr_value.value))
    try:
        for bits, state in (("status-bits 0x02", DevState.ALARM), ("status-bits 0", DevState.OFF),
                            ("fault-bits 0x08", DevState.FAULT)):
            sim.control(bits)
            wait_state(dev, state)
            assert wait_for(lambda: states and states[-1] == state), states
    finally:
        dev.unsubscribe_event(subscription)
    assert "DAC" in dev.status() and list(dev.FaultBits) == ["DAC"]
    assert "not allowed" in refused(lambda: setattr(dev, "Setpoint", 1000))
    assert "not allowed" in refused(dev.On)


def test_a_silent_supply_is_unknown_until_it_answers_again(start_sim, server):
    sim = start_sim()
    dev = server(sim).device
    wait_state(dev, DevState.OFF)
    sim.control("silent on")
    wait_state(dev, DevState.UNKNOWN)
    assert "does not answer" in dev.status()
    assert "not allowed" in refused(dev.On)
    sim.control("silent off")
    wait_state(dev, DevState.OFF)


@pytest.mark.parametrize(
    "properties, words",
    [({"Bogus": 1}, "unknown device property Bogus"),
     ({"PollPeriodMs": 5}, "PollPeriodMs = 5: must be 20..10000 ms"),
     ({"WatchdogMs": 100}, "WatchdogMs = 100 must be longer than PollPeriodMs = 200")],
)
def test_bad_properties_leave_the_supply_alone(start_sim, server, properties, words):
    sim = start_sim("--log")
    dev = server(sim, **properties).device
    assert dev.state() == DevState.FAULT and words in dev.status()
    assert words in refused(dev.Off)
    assert " > " not in log_text(sim)


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT, "Kill"])
def test_a_stopping_server_sends_a_zero_setpoint(start_sim, server, how):
    sim = start_sim("--log")
    running = server(sim)
    wait_state(running.device, DevState.OFF)
    running.device.Setpoint = 1000
    running.device.On()
    assert wait_for(lambda: "output on" in commands(sim)[-1])
    running.stop(how)
    assert running.process.returncode is not None
    assert wait_for(lambda: commands(sim)[-1].endswith("output off"))
