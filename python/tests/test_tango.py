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
    """python -m k7340.tango with a file database holding one device, lab/hv/1, on a port of
    127.0.0.1 only. A server process of its own: forking the test process (as PyTango's
    DeviceTestContext does) after a client subscribed to events can hang the child."""

    def __init__(self, directory, *devices):
        database = directory / "devices.db"
        names = ["lab/hv/%d" % (i + 1) for i in range(len(devices))]
        lines = ["K7340/t/DEVICE/K7340: %s" % ", ".join('"%s"' % n for n in names)]
        for name, properties in zip(names, devices):
            lines += ['%s->%s: "%s"' % ((name,) + item) for item in properties.items()]
        database.write_text("\n".join(lines) + "\n")
        self.port = free_port()
        self.out = directory / ("server-%d.out" % self.port)
        with open(self.out, "wb") as out:
            self.process = subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "k7340.tango",
                    "t",
                    "-file=%s" % database,
                    "-ORBendPoint",
                    "giop:tcp:127.0.0.1:%d" % self.port,
                ],
                env=dict(os.environ, PYTHONPATH=str(REPO / "python"), PYTHONUNBUFFERED="1"),
                stdout=out,
                stderr=subprocess.STDOUT,
                cwd=directory,
            )  # its flight records
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
    """server(sim, **properties): the device of a new server, stopped at the end."""
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
    return [ln.split(">", 1)[1].strip() for ln in setpoint_lines(log_text(sim)) if " > " in ln]


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
    subscription = dev.subscribe_event(
        "State", EventType.CHANGE_EVENT, lambda e: e.err or states.append(e.attr_value.value)
    )
    try:
        for bits, state in (
            ("status-bits 0x02", DevState.ALARM),
            ("status-bits 0", DevState.OFF),
            ("fault-bits 0x08", DevState.FAULT),
        ):
            sim.control(bits)
            wait_state(dev, state)
            assert wait_for(lambda: states and states[-1] == state), states
    finally:
        dev.unsubscribe_event(subscription)
    # The poll names the Fault bit and leaves the latch alone; ClearFaults reads the byte.
    assert "Fault bit set" in dev.status() and not dev.FaultBits
    assert "not allowed" in refused(lambda: setattr(dev, "Setpoint", 1000))
    assert "not allowed" in refused(dev.On)
    dev.ClearFaults()
    assert list(dev.FaultBits) == ["DAC"]


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
    [
        ({"Bogus": 1}, "unknown device property Bogus"),
        ({"PollPeriodMs": 5}, "PollPeriodMs = 5: must be 20..10000 ms"),
        ({"WatchdogMs": 100}, "WatchdogMs = 100: must be 0 (off: unsafe) or 300..2550 ms"),
    ],
)
def test_bad_properties_leave_the_supply_alone(start_sim, server, properties, words):
    sim = start_sim("--log")
    dev = server(sim, **properties).device
    assert dev.state() == DevState.FAULT and words in dev.status()
    assert words in refused(dev.Off)
    assert " > " not in log_text(sim)


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, "Kill"])
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


# --- the server at its edges: one row per fault seen in the field, as steps ----------------


def sets(sim):  # the setpoints the simulator got, oldest first (0 for an output off)
    return [float(c.split("set ")[1].split(" V")[0]) if "set " in c else 0.0 for c in commands(sim)]


def switch_on(dev, volts):
    wait_state(dev, DevState.OFF)
    dev.Setpoint = volts
    dev.On()
    wait_state(dev, DevState.ON)


def check(ok, *why):
    assert ok, why


def within(run, argument):  # "within SECONDS stop|COMMAND ...": they end in time
    seconds, *actions = argument.split()
    began = time.monotonic()
    for action in actions:
        run.stop() if action == "stop" else getattr(run.device, action)()
    check(time.monotonic() - began < float(seconds), "took", time.monotonic() - began)


def freeze(run):  # a frozen server: its dead-man runs out
    run.process.send_signal(signal.SIGSTOP)
    try:
        check(wait_for(lambda: "watchdog expired" in log_text(run.sim), 5))
    finally:
        run.process.send_signal(signal.SIGCONT)


STEPS = {
    "on": lambda r, a: switch_on(r.device, float(a)),
    "sim": lambda r, a: r.sim.control(a),
    "state": lambda r, a: check(
        wait_for(lambda: str(_state(r.device)) in a.split("|"), 10),
        _state(r.device),
        r.device.status(),
    ),
    "status": lambda r, a: check(a in r.device.status(), r.device.status()),
    "call": lambda r, a: getattr(r.device, a.split()[0])(*map(float, a.split()[1:])),
    "write": lambda r, a: setattr(r.device, a.split()[0], float(a.split()[1])),
    "refused": lambda r, a: check(a.split(None, 1)[1] in refused(getattr(r.device, a.split()[0]))),
    "refused-write": lambda r, a: check(
        a in refused(lambda: setattr(r.device, a.split()[0], float(a.split()[1])))
    ),
    "sets": lambda r, a: check(
        wait_for(lambda: sets(r.sim) == [float(v) for v in a.split()]), sets(r.sim)
    ),
    "last": lambda r, a: check(wait_for(lambda: sets(r.sim)[-1] == float(a)), sets(r.sim)),
    "ramped-from": lambda r, a: check(min(sets(r.sim)[1:]) >= float(a), sets(r.sim)),
    "sleep": lambda r, a: time.sleep(float(a)),
    "within": within,
    "zero-or-said": lambda r, a: check(
        sets(r.sim)[-1] == 0
        or a in r.output()
        and wait_for(lambda: "watchdog expired" in log_text(r.sim)),
        r.output(),
    ),  # the dead-man tripped
    "repoint": lambda r, a: os.replace(str(r.other.link) + ".alias", r.alias),
    "untouched": lambda r, a: check(sets(r.other) == [] and "watchdog" not in log_text(r.other)),
    "second-port": lambda r, a: os.symlink(str(r.other.link), r.later),
    "second": lambda r, a: check(str(r.devices[1].state()) == a),
    "freeze": lambda r, a: freeze(r),
    "alive": lambda r, a: check(r.process.poll() is None and " > " not in log_text(r.sim)),
}
SLOW = ("--delay-ms", "60")


@pytest.mark.parametrize(
    "steps, properties, found_on, other",
    [
        (
            "on 5000; sim silent on; state UNKNOWN; call Off; refused On only Off; status Off is "
            "pending; sim hangup; sim silent off; state OFF|FAULT; sets 5000 0",
            {},
            0,
            None,
        ),
        (
            "on 5000; sim silent on; state UNKNOWN; repoint; state FAULT; status 0123; "
            "status 0456; status .alias; untouched",
            {},
            0,
            ("--fw", "0x0456"),
        ),
        (
            "on 500; write RampRate 20000; call RampTo 3000; state ON; call Off; "
            "state OFF; call On; last 500",
            {},
            0,
            None,
        ),
        (
            "on 1000; sim delay 60; sim hangup; state UNKNOWN; sleep 0.5; "
            "within 3.5 stop; zero-or-said may still be on",
            {},
            0,
            None,
        ),
        (
            "on 1000; second-port; sleep 0.5; second UNKNOWN; within 1 Off On; " "sets 1000 0 1000",
            {},
            0,
            SLOW,
        ),
        ("state OFF; refused-write RampRate 1e-300", {}, 0, None),
        (
            "state ON; write RampRate 20000; call RampTo 3500; state ON; ramped-from 2900",
            {},
            3000,
            None,
        ),
        ("state ON; within 3.5 stop; sets 3000", {}, 3000, None),  # left as found
        ("state FAULT; status PortPath = COM0; alive", {"PortPath": "COM0"}, 0, None),
        ("state FAULT; status PortPath = COM999; alive", {"PortPath": "COM999"}, 0, None),
        ("state FAULT; status MaxVolts = abc; alive", {"MaxVolts": "abc"}, 0, None),
        (
            "on 1000; freeze; state FAULT; sleep 1; state FAULT; status Fault bit set; "
            "status presumed off; call ClearFaults; state OFF",
            {"WatchdogMs": 1000},
            0,
            None,
        ),
    ],
    ids=[
        "lost-and-back",
        "another-supply",
        "on-applies-setpoint",
        "stop-in-slow-reopen",
        "no-waiting",
        "absurd-rate",
        "found-on-ramp",
        "found-on-left",
        "COM0",
        "COM999",
        "MaxVolts-abc",
        "watchdog-held",
    ],
)
def test_the_server_at_the_edges(start_sim, server, steps, properties, found_on, other):
    sim = start_sim("--log", "--slew", "0")
    if found_on:  # another program left the output on before the server starts
        with k7340.Supply(port=str(sim.link), keep_output=True) as psu:
            psu.set_voltage(found_on)
    second = other and start_sim("--log", "--slew", "0", *other, com=2)
    alias, later = str(sim.link) + ".alias", second and str(second.link) + ".later"
    os.symlink(str(sim.link), alias)  # what PortPath names: a link the test may re-point
    if second:
        os.symlink(str(second.link), str(second.link) + ".alias")
    run = server(
        sim,
        *([{"PortPath": later}] if other == SLOW else []),
        **dict({"PortPath": alias}, **properties),
    )
    run.sim, run.other, run.alias, run.later = sim, second, alias, later
    for step in steps.split("; "):
        word, _, argument = step.partition(" ")
        STEPS[word](run, argument)
