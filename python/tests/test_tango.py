"""The K7340 Tango device against k7340sim: each device runs in a server process of its own,
bound to 127.0.0.1, with a file database."""

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from binding_support import REPO, log_text, setpoint_lines, wait_for

import k7340  # noqa: E402  (binding_support puts the package on the path)

tango = pytest.importorskip("tango")
from tango import DevState, EventType  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """python -m k7340.tango with a file database holding the devices lab/hv/1, lab/hv/2, ...
    (one dict of properties each), on a port of 127.0.0.1 only; its output goes to server.out.
    A server process of its own: forking the test process (as PyTango's DeviceTestContext
    does) after a client subscribed to events can hang the child."""

    def __init__(self, directory, *devices):
        database = directory / "devices.db"
        names = ["lab/hv/%d" % (i + 1) for i in range(len(devices))]
        lines = ['K7340/t/DEVICE/K7340: %s' % ", ".join('"%s"' % n for n in names)]
        for name, properties in zip(names, devices):
            lines += ['%s->%s: "%s"' % ((name,) + item) for item in properties.items()]
        database.write_text("\n".join(lines) + "\n")
        self.port = free_port()
        self.out = directory / ("server-%d.out" % self.port)
        with open(self.out, "wb") as out:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "k7340.tango", "t", "-file=%s" % database,
                 "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % self.port],
                env=dict(os.environ, PYTHONPATH=str(REPO / "python"), PYTHONUNBUFFERED="1"),
                stdout=out, stderr=subprocess.STDOUT)
        self.devices = [self.proxy(name) for name in names]
        self.device = self.devices[0]
        if not wait_for(lambda: _state(self.device) is not None, 30):
            self.stop()
            raise RuntimeError("the Tango server did not start: %s" % self.output())

    def proxy(self, name):
        return tango.DeviceProxy("tango://127.0.0.1:%d/%s#dbase=no" % (self.port, name))

    def output(self):
        return self.out.read_text(errors="replace")

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
    """server(sim, **properties): the device of a new server, stopped at the end;
    server(sim, *more_property_dicts, **properties) serves one more device per dict."""
    started = []

    def start(sim, *more, **properties):
        properties.setdefault("PortPath", str(sim.link))
        started.append(Server(tmp_path, properties, *more))
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
    assert "RampRate 0.0 is outside 1..60000 V/s" in refused(lambda: setattr(dev, "RampRate", 0))
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
     ({"WatchdogMs": 100}, "WatchdogMs = 100: must be 0 (off: unsafe) or 300..2550 ms")],
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


# --- what the server does at the edges: one row per fault seen in the field ----------------

def switch_on(dev, volts):
    wait_state(dev, DevState.OFF)
    dev.Setpoint = volts
    dev.On()
    wait_state(dev, DevState.ON)


def sets(sim):
    """The setpoints the simulator got, in volts, oldest first (0 for an output off)."""
    return [float(c.split("set ")[1].split(" V")[0]) if "set " in c else 0.0
            for c in commands(sim)]


def reconnect_never_energises(run, sim, other):
    switch_on(run.device, 5000)
    sim.control("silent on")
    wait_state(run.device, DevState.UNKNOWN, 10)
    assert "only Off" in refused(run.device.On) and "only Off" in run.device.status()
    run.device.Off()  # kept, and sent once the same supply answers again
    sim.control("hangup")
    sim.control("silent off")  # back: the Off goes first (the dead-man may have tripped)
    assert wait_for(lambda: _state(run.device) in (DevState.OFF, DevState.FAULT), 10)
    assert sets(sim) == [5000.0, 0.0]


def another_supply_behind_the_port(run, sim, other):
    switch_on(run.device, 5000)
    sim.control("silent on")
    wait_state(run.device, DevState.UNKNOWN, 10)
    os.replace(str(other.link) + ".alias", run.alias)  # the adapter now leads elsewhere
    wait_state(run.device, DevState.FAULT, 10)
    status = run.device.status()
    assert all(w in status for w in (run.alias, "0123", "0456")), status
    assert sets(other) == [] and "watchdog" not in log_text(other)


def on_applies_the_written_setpoint(run, sim, other):
    switch_on(run.device, 500)
    run.device.RampRate = 20000
    run.device.RampTo(3000)
    wait_state(run.device, DevState.ON)
    run.device.Off()
    wait_state(run.device, DevState.OFF)
    run.device.On()
    assert wait_for(lambda: sets(sim)[-1] == 500.0), sets(sim)


def stop_during_a_slow_reopen(run, sim, other):
    switch_on(run.device, 1000)
    sim.control("delay 60")
    sim.control("hangup")
    wait_state(run.device, DevState.UNKNOWN, 10)
    time.sleep(0.5)
    began = time.monotonic()
    run.stop()
    assert time.monotonic() - began < 3.5
    assert sets(sim)[-1] == 0.0 or "may still be on" in run.output(), run.output()


def one_supply_never_waits_for_another(run, sim, other):
    switch_on(run.device, 1000)
    os.symlink(str(other.link), run.later)  # the second port appears: a slow line to open
    time.sleep(0.5)
    assert run.devices[1].state() == DevState.UNKNOWN  # still opening
    began = time.monotonic()
    run.device.Off()
    run.device.On()
    assert time.monotonic() - began < 1.0 and sets(sim)[-2:] == [0.0, 1000.0]


def absurd_ramp_rate_refused(run, sim, other):
    wait_state(run.device, DevState.OFF)
    assert "RampRate 1e-300" in refused(lambda: setattr(run.device, "RampRate", 1e-300))


def found_on_ramps_from_its_output(run, sim, other):
    wait_state(run.device, DevState.ON)
    run.device.RampRate = 20000
    run.device.RampTo(3500)
    wait_state(run.device, DevState.ON)
    assert min(sets(sim)[1:]) >= 2900 and run.device.Setpoint == 3500


def found_on_left_as_found(run, sim, other):
    wait_state(run.device, DevState.ON)
    run.stop()
    assert sets(sim) == [3000.0], run.output()


def bad_property(words):
    def check(run, sim, other):
        wait_state(run.device, DevState.FAULT)
        assert words in run.device.status()
        assert run.process.poll() is None and " > " not in log_text(sim)
    return check


def watchdog_run_out_held(run, sim, other):
    switch_on(run.device, 1000)
    run.process.send_signal(signal.SIGSTOP)  # a frozen server: the dead-man switches off
    try:
        assert wait_for(lambda: "watchdog expired" in log_text(sim), 5)
    finally:
        run.process.send_signal(signal.SIGCONT)
    wait_state(run.device, DevState.FAULT)
    time.sleep(1.0)  # polls go on; the cause stays
    assert run.device.state() == DevState.FAULT and "watchdog" in run.device.status()
    run.device.ClearFaults()
    wait_state(run.device, DevState.OFF)


SLOW = ("--delay-ms", "60")


@pytest.mark.parametrize("scenario, properties, found_on, other", [
    (reconnect_never_energises, {}, 0, None),
    (another_supply_behind_the_port, {}, 0, ("--fw", "0x0456")),
    (on_applies_the_written_setpoint, {}, 0, None),
    (stop_during_a_slow_reopen, {}, 0, None),
    (one_supply_never_waits_for_another, {}, 0, SLOW),
    (absurd_ramp_rate_refused, {}, 0, None),
    (found_on_ramps_from_its_output, {}, 3000, None),
    (found_on_left_as_found, {}, 3000, None),
    (bad_property("PortPath"), {"PortPath": "COM0"}, 0, None),
    (bad_property("PortPath"), {"PortPath": "COM999"}, 0, None),
    (bad_property("MaxVolts"), {"MaxVolts": "abc"}, 0, None),
    (watchdog_run_out_held, {"WatchdogMs": 1000}, 0, None),
], ids=lambda v: getattr(v, "__name__", None))
def test_the_server_at_the_edges(start_sim, server, scenario, properties, found_on, other):
    sim = start_sim("--log", "--slew", "0")
    if found_on:  # another program left the output on before the server starts
        with k7340.Supply(port=str(sim.link), keep_output=True) as psu:
            psu.set_voltage(found_on)
    second = other and start_sim("--log", "--slew", "0", *other, com=2)
    alias = str(sim.link) + ".alias"  # what PortPath names: a link the test may re-point
    os.symlink(str(sim.link), alias)
    later = second and str(second.link) + ".later"  # a second device's port, made later
    if second:
        os.symlink(str(second.link), str(second.link) + ".alias")
    more = [{"PortPath": later}] if scenario is one_supply_never_waits_for_another else []
    run = server(sim, *more, **dict({"PortPath": alias}, **properties))
    run.alias, run.later = alias, later
    scenario(run, sim, second)
