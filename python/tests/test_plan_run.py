"""Running a plan against three simulated supplies, one row per way it must hold: a lockstep
ramp keeps every difference limit at every moment and switches on in order; an over-current
trip on one member brings every member to zero (at once under off, in lockstep under
ramp-down); SIGKILL of the run leaves each member to its own watchdog; a lost link on one
member ends the run with the others at zero."""

import contextlib
import os
import signal
import subprocess
import sys
import time

import pytest

from binding_support import REPO, wait_for
from k7340 import Plan
from k7340.safety.device import SafeDevice
from k7340.testing import simulated_supply

NAMES = ("cathode", "extractor", "focus")
LIMIT = 600.0
PLAN = """
[supplies.cathode]
port = "{cathode}"
[supplies.extractor]
port = "{extractor}"
[supplies.focus]
port = "{focus}"
[limits]
rate = "{rate}"
max_difference = [{{ between = ["extractor", "cathode"], volts = "600V" }},
                  {{ between = ["focus", "extractor"], volts = "600V" }}]
on_order = ["cathode", "extractor", "focus"]
on_trip = "{on_trip}"
[[step]]
ramp = {{ cathode = "1kV", extractor = "1.5kV", focus = "2kV" }}
[[step]]
hold = "{hold}"
[[step]]
ramp = {{ cathode = "0V", extractor = "0V", focus = "0V" }}
"""


@contextlib.contextmanager
def three(tmp, rate="2000V/s", on_trip="off", hold="1s"):
    with contextlib.ExitStack() as stack:
        sims = {n: stack.enter_context(simulated_supply(load_ohms="100e6")) for n in NAMES}
        path = tmp / "plan.toml"
        path.write_text(PLAN.format(rate=rate, on_trip=on_trip, hold=hold, **sims))
        yield sims, path


def setpoints(sim):
    """The setpoints a supply received, in volts, oldest first (0 for an Off)."""
    time.sleep(0.1)  # the simulator logs just after it answers
    sent = [ln.split("  ", 1)[1] for ln in sim.log().splitlines() if " > " in ln]
    return [
        0.0 if c == "output off" else float(c.split()[1])
        for c in sent
        if c.startswith("set ") or c == "output off"
    ]


def limits_hold(values):
    on = {n: v if v >= 20 else 0.0 for n, v in values.items()}
    return (
        abs(on["extractor"] - on["cathode"]) <= LIMIT
        and abs(on["focus"] - on["extractor"]) <= LIMIT
    )


def run_cli(path):
    return subprocess.Popen(
        [sys.executable, "-m", "k7340", "run", str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=path.parent,
        env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
    )


def row_lockstep_keeps_every_limit(tmp, monkeypatch):
    sent = []  # every setpoint as it went out, across the three supplies
    real = SafeDevice.send_setpoint
    monkeypatch.setattr(
        SafeDevice, "send_setpoint", lambda self, v: (real(self, v), sent.append((self.port, v)))[0]
    )
    with three(tmp) as (sims, path):
        assert Plan.load(path).run(say=lambda text: None) is True
        by_port = {str(sims[n]): n for n in NAMES}
        values, first_on = dict.fromkeys(NAMES, 0.0), []
        for port, volts in sent:
            values[by_port[port]] = volts
            assert limits_hold(values), values  # after every single setpoint
            if volts >= 20 and by_port[port] not in first_on:
                first_on.append(by_port[port])
        assert first_on == list(NAMES) and all(v == 0.0 for v in values.values())
        for name in NAMES:  # what went out is what each supply received
            assert setpoints(sims[name]) == [round(v, 1) for p, v in sent if by_port[p] == name]


def trip_on_the_extractor(tmp, on_trip):
    with three(tmp, on_trip=on_trip, hold="30s") as (sims, path):
        run = run_cli(path)
        assert wait_for(lambda: "set 2000.0 V" in sims["focus"].log(), 20)
        began = time.monotonic()
        sims["extractor"].control("status-bits 0x02")
        assert wait_for(lambda: all(setpoints(s)[-1] == 0.0 for s in sims.values()), 10)
        took = time.monotonic() - began
        out, err = run.communicate(timeout=20)
        return run.returncode, err, took, {n: setpoints(s) for n, s in sims.items()}


def row_trip_off_at_once(tmp, monkeypatch):
    status, err, took, sent = trip_on_the_extractor(tmp, "off")
    assert status == 1 and "extractor tripped (OverI)" in err and took < 1.0, (took, err)
    assert all(
        volts[-2:] == [2000.0 if n == "focus" else volts[-2], 0.0] for n, volts in sent.items()
    )


def row_trip_ramp_down_in_lockstep(tmp, monkeypatch):
    status, err, took, sent = trip_on_the_extractor(tmp, "ramp-down")
    assert status == 1 and "ramped down to zero in lockstep" in err, err
    down = {n: volts[volts.index(max(volts)) :] for n, volts in sent.items()}
    assert all(len(v) > 3 for v in down.values())  # stepped down, not switched off
    for k in range(min(len(v) for v in down.values())):  # tick by tick, every limit kept
        assert limits_hold({n: v[k] for n, v in down.items()})


def row_sigkill_leaves_each_to_its_watchdog(tmp, monkeypatch):
    with three(tmp, hold="30s") as (sims, path):
        run = run_cli(path)
        assert wait_for(lambda: "set 2000.0 V" in sims["focus"].log(), 20)
        run.send_signal(signal.SIGKILL)
        run.wait(timeout=10)
        assert wait_for(lambda: all("! watchdog expired" in s.log() for s in sims.values()), 5)


def row_lost_link_ends_the_run(tmp, monkeypatch):
    with three(tmp, hold="30s") as (sims, path):
        run = run_cli(path)
        assert wait_for(lambda: "set 2000.0 V" in sims["focus"].log(), 20)
        sims["focus"].control("hangup")
        out, err = run.communicate(timeout=30)
        assert run.returncode == 1 and "focus" in err, err
        assert setpoints(sims["cathode"])[-1] == 0.0 and setpoints(sims["extractor"])[-1] == 0.0


ROWS = [
    ("a lockstep ramp keeps every limit and switches on in order", row_lockstep_keeps_every_limit),
    ("an over-current trip, off: every member at zero within 1 s", row_trip_off_at_once),
    (
        "an over-current trip, ramp-down: every member down in lockstep",
        row_trip_ramp_down_in_lockstep,
    ),
    ("SIGKILL of the run: each member's watchdog", row_sigkill_leaves_each_to_its_watchdog),
    ("a lost link on one member ends the run", row_lost_link_ends_the_run),
]


@pytest.mark.parametrize("row", [r for _, r in ROWS], ids=[name for name, _ in ROWS])
def test_a_plan_runs_three_supplies_as_one(tmp_path, monkeypatch, row):
    row(tmp_path, monkeypatch)
