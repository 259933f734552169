"""The K7340 Tango device against k7340sim: each device runs in a server process of its own,
bound to 127.0.0.1, without a Tango database."""

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from binding_support import REPO, log_text, setpoint_lines, wait_for

tango = pytest.importorskip("tango")
from tango import DevState, EventType  # noqa: E402
from tango.test_context import DeviceTestContext  # noqa: E402

from k7340.tango import K7340  # noqa: E402


def device(sim, **properties):
    properties.setdefault("PortPath", str(sim.link))
    # A busy machine can take more than PyTango's usual 5 s to start the server process.
    return DeviceTestContext(K7340, properties=properties, process=True, daemon=True, timeout=15,
                             host="127.0.0.1")


def wait_state(dev, state, seconds=5.0):
    assert wait_for(lambda: dev.state() == state, seconds), (dev.state(), dev.status())


def refused(action):
    """The DevFailed's description of a refused action."""
    with pytest.raises(tango.DevFailed) as info:
        action()
    return info.value.args[0].desc


def commands(sim):
    return [l.split(">", 1)[1].strip() for l in setpoint_lines(log_text(sim)) if " > " in l]


def test_attributes_setpoint_limits_and_the_zero_at_stop(start_sim):
    sim = start_sim("--log", "--vrange", "30000", "--irange", "100", "--fw", "0x0456")
    with device(sim, MaxVolts=25000) as dev:
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
        assert commands(sim)[-1] == "06 11 11 11 11 4A  set 2000.0 V, output on"
        sent = len(commands(sim))
        assert "outside 0..25000 V (MaxVolts)" in refused(lambda: setattr(dev, "Setpoint", 25001))
        assert "must be above 0" in refused(lambda: setattr(dev, "RampRate", 0))
        assert len(commands(sim)) == sent
    assert commands(sim)[-1].endswith("output off")


def test_ramp_moves_through_moving_to_on(start_sim):
    sim = start_sim("--log", "--slew", "0")
    with device(sim) as dev:
        wait_state(dev, DevState.OFF)
        dev.RampRate = 4000.0
        dev.RampTo(1500.0)
        assert dev.state() == DevState.MOVING
        wait_state(dev, DevState.ON)
        assert dev.Setpoint == 1500.0 and "done" in dev.status()
    volts = [float(c.split("set ")[1].split(" V")[0]) for c in commands(sim) if "set " in c]
    assert len(volts) > 3 and volts == sorted(volts) and volts[-1] == 1500.0


def test_status_bits_turn_the_state_and_send_change_events(start_sim):
    sim = start_sim("--log")
    with device(sim) as dev:
        wait_state(dev, DevState.OFF)
        states = []
        dev.subscribe_event("State", EventType.CHANGE_EVENT,
                            lambda e: e.err or states.append(e.attr_value.value))
        for bits, state in (("status-bits 0x02", DevState.ALARM), ("status-bits 0", DevState.OFF),
                            ("fault-bits 0x08", DevState.FAULT)):
            sim.control(bits)
            wait_state(dev, state)
            assert wait_for(lambda: states and states[-1] == state), states
        assert "DAC" in dev.status() and list(dev.FaultBits) == ["DAC"]
        assert "not allowed" in refused(lambda: setattr(dev, "Setpoint", 1000))
        assert "not allowed" in refused(dev.On)
    assert commands(sim)[-1].endswith("output off")


def test_a_silent_supply_is_unknown_until_it_answers_again(start_sim):
    sim = start_sim()
    with device(sim) as dev:
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
def test_bad_properties_leave_the_supply_alone(start_sim, properties, words):
    sim = start_sim("--log")
    with device(sim, **properties) as dev:
        assert dev.state() == DevState.FAULT and words in dev.status()
        assert words in refused(dev.Off)
    assert " > " not in log_text(sim)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("stop", ["SIGTERM", "SIGINT", "Kill"])
def test_a_stopping_server_sends_a_zero_setpoint(start_sim, tmp_path, stop):
    sim = start_sim("--log")
    database = tmp_path / "devices.db"
    database.write_text('K7340/t/DEVICE/K7340: "lab/hv/1"\nlab/hv/1->PortPath: "%s"\n' % sim.link)
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "k7340.tango", "t", "-file=%s" % database,
         "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port],
        env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        dev = tango.DeviceProxy("tango://127.0.0.1:%d/lab/hv/1#dbase=no" % port)
        assert wait_for(lambda: _state(dev) == DevState.OFF, 20)
        dev.Setpoint = 1000
        dev.On()
        assert "output on" in commands(sim)[-1]
        if stop == "Kill":
            tango.DeviceProxy("tango://127.0.0.1:%d/dserver/K7340/t#dbase=no" % port).Kill()
        else:
            server.send_signal(getattr(signal, stop))
        server.wait(timeout=20)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    assert commands(sim)[-1].endswith("output off")


def _state(dev):
    try:
        return dev.state()
    except tango.DevFailed:
        return None
