"""The lab tools against k7340sim: ramp_to, and the console's log, plot, ports, ramp and
monitor. The simulators come from k7340.testing, the fixture users are told to write."""

import contextlib
import csv
import datetime
import os
import subprocess
import sys
import time

import pytest

from binding_support import REPO, wait_for
from k7340 import K7340TripError, StatusFlags, Supply
from k7340.lab.schedule import Schedule
from k7340.testing import option_arguments, simulated_supply


@pytest.fixture
def sim(monkeypatch):
    """sim(**options): a simulated supply on COM1 (K7340_COM1) of this process and of the
    programs it starts; stopped at the end of the test."""
    with contextlib.ExitStack() as stack:

        def start(**options):
            port = stack.enter_context(simulated_supply(**options))
            monkeypatch.setenv("K7340_COM1", port)
            return port

        yield start


def settled_log(port):
    """The log once the simulator wrote out what it answered (it logs just after)."""
    before = None
    while before != port.log():
        before = port.log()
        time.sleep(0.05)
    return before


def sent(port):
    """The commands the supply received (the '>' lines of its log), without the EEPROM
    reads of the opens."""
    lines = [ln.split("  ", 1)[1] for ln in settled_log(port).splitlines() if " > " in ln]
    return [ln for ln in lines if not ln.startswith("read EEPROM")]


def setpoints(port):
    return [ln for ln in sent(port) if ln.startswith("set ") or ln == "output off"]


def cli_env(**extra):
    return dict(os.environ, PYTHONPATH=str(REPO / "python"), **extra)


def k7340_cli(*argv, env=None):
    return subprocess.run(
        [sys.executable, "-m", "k7340", *argv],
        capture_output=True,
        text=True,
        env=env or cli_env(),
        timeout=60,
    )


# --- ramp_to -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "first, volts, rate, expected",
    [
        (
            None,
            1000,
            5000,
            [
                "set 250.0 V, output on",
                "set 500.0 V, output on",
                "set 750.0 V, output on",
                "set 1000.0 V, output on",
            ],
        ),
        (None, 1010, 20000, ["set 1000.0 V, output on", "set 1010.0 V, output on"]),
        (1000, 0, 10000, ["set 500.0 V, output on", "output off"]),
        (300, 300, 1000, ["set 300.0 V, output on"]),  # already there: the target once
    ],
)
def test_ramp_frames_rise_by_rate_times_step_and_end_exactly(sim, first, volts, rate, expected):
    port = sim()
    with Supply(com_port=0) as psu:
        if first is not None:
            psu.set_voltage(first)
        seen = []
        psu.ramp_to(volts, rate, progress=seen.append)
        assert psu.setpoint == volts
    commands = setpoints(port)[1 if first is not None else 0 :]
    assert commands[: len(expected)] == expected
    assert seen == [float(c.split()[1]) if c.startswith("set") else 0.0 for c in expected]


def test_ramp_keeps_a_steady_schedule_and_never_catches_up():
    """A fake clock: the steps come at step, 2 step, ...; a slow exchange (the clock jumps
    0.5 s) restarts the schedule instead of sending the missed steps in a burst."""
    now, at = [100.0], []

    def sleep(seconds):
        now[0] += seconds

    schedule = Schedule(0.1, clock=lambda: now[0], sleep=sleep)
    for k in range(6):
        schedule.wait()
        at.append(round(now[0] - 100.0, 6))
        if k == 2:
            now[0] += 0.5
    assert at == [0.1, 0.2, 0.3, 0.8, 0.9, 1.0]


@pytest.mark.parametrize(
    "options, bits",
    [
        ({"status_bits": "0x01"}, StatusFlags.OVER_VOLTAGE),
        ({"status_bits": "0x22"}, StatusFlags.OVER_CURRENT | StatusFlags.OVER_TEMPERATURE),
        ({"fault_bits": "0x08"}, StatusFlags.FAULT),
    ],
)
def test_a_trip_switches_the_output_off_and_raises_naming_the_bits(sim, options, bits):
    port = sim()
    ((name, value),) = options.items()

    def trip_after_first_step(volts):
        if volts == 1000:
            port.control("%s %s" % (name.replace("_", "-"), value))

    with Supply(com_port=0) as psu:
        with pytest.raises(K7340TripError) as info:
            psu.ramp_to(2000, 20000, progress=trip_after_first_step)
        assert info.value.bits == bits and psu.setpoint == 0.0
    assert ", ".join(bits.labels()) in str(info.value)
    assert setpoints(port)[:3] == [
        "set 1000.0 V, output on",
        "set 2000.0 V, output on",
        "output off",
    ]


@pytest.mark.parametrize(
    "raised, last",
    [
        (KeyboardInterrupt, "output off"),
        (RuntimeError, "set 1000.0 V, output on"),  # stops where it was
    ],
)
def test_an_exception_in_progress_stops_the_ramp(sim, raised, last):
    port = sim()
    psu = Supply(com_port=0, keep_output=True)
    with pytest.raises(raised):
        psu.ramp_to(4000, 20000, progress=lambda v: (_ for _ in ()).throw(raised()))
    psu.close()
    assert setpoints(port)[-1] == last


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: p.ramp_to(1000, 0), ValueError),
        (lambda p: p.ramp_to(1000, -5), ValueError),
        (lambda p: p.ramp_to(1000, float("inf")), ValueError),
        (lambda p: p.ramp_to(1000, float("nan")), ValueError),
        (lambda p: p.ramp_to(1000, "10"), TypeError),
        (lambda p: p.ramp_to(1000, 10, step=0), ValueError),
        (lambda p: p.ramp_to(60000, 10), ValueError),
        (lambda p: p.ramp_to(1000, 10, progress=5), TypeError),
    ],
)
def test_ramp_guards_send_nothing(sim, call, error):
    port = sim()
    with Supply(com_port=0) as psu:
        with pytest.raises(error):
            call(psu)
    assert setpoints(port) == []


def test_simulated_supply_options_become_flags():
    assert option_arguments(
        {
            "vrange": 30000,
            "load_ohms": 1e8,
            "silent": True,
            "log": True,
            "corrupt": False,
            "fw": None,
        }
    ) == ["--vrange", "30000", "--load-ohms", "100000000.0", "--silent"]


# --- log, plot, ports, ramp --------------------------------------------------------------------


def test_log_writes_one_row_per_interval(sim, tmp_path):
    sim(load_ohms="100e6")
    with Supply(com_port=0, keep_output=True) as psu:
        psu.set_voltage(1000)
    # The output left on is an orphan: --keep-alive logs it at the interval asked.
    result = k7340_cli(
        "log",
        "--interval",
        "0.1",
        "--duration",
        "1",
        "--keep-alive",
        "--csv",
        str(tmp_path / "run.csv"),
    )
    assert result.returncode == 0, result.stderr
    assert "output on at 1000 V and no program holds it" in result.stderr
    with open(tmp_path / "run.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == [
        "time",
        "elapsed_s",
        "volts",
        "microamps",
        "temperature",
        "status",
        "faults",
        "error",
        "event",
    ]
    assert len(rows) == 10
    elapsed = [float(r["elapsed_s"]) for r in rows]
    assert elapsed == sorted(elapsed) and elapsed[0] < 0.1
    for row in rows:
        assert len(row["time"].split(".")[1][:3]) == 3  # milliseconds
        assert datetime.datetime.fromisoformat(row["time"]).tzinfo is not None
        assert abs(float(row["volts"]) - 1000) < 15 and abs(float(row["microamps"]) - 10) < 1
        assert (row["status"], row["faults"], row["error"]) == ("Enable", "", "")


def test_a_failed_exchange_is_a_row_and_the_plot_is_drawn(sim, tmp_path):
    port = sim()
    log = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "k7340",
            "log",
            "--interval",
            "0.1",
            "--duration",
            "2",
            "--csv",
            str(tmp_path / "run.csv"),
            "--plot",
            str(tmp_path / "run.png"),
        ],
        env=cli_env(),
        stderr=subprocess.PIPE,
        text=True,
    )
    # The open's first look and the first row (a line each way per exchange).
    wait_for(lambda: port.log().count("read meter 2") >= 4)
    port.control("silent on")
    assert log.wait(timeout=30) == 0, log.stderr.read()
    with open(tmp_path / "run.csv", newline="") as f:
        errors = [r["error"] for r in csv.DictReader(f)]
    assert "Device read failed" in errors and errors[0] == ""
    assert (tmp_path / "run.png").read_bytes()[:4] == b"\x89PNG"


def test_plot_without_matplotlib_says_what_to_install(tmp_path):
    (tmp_path / "matplotlib.py").write_text("raise ImportError('no matplotlib here')\n")
    (tmp_path / "run.csv").write_text("time,volts,microamps\n2026-01-01T10:00:00.000,1,2\n")
    env = cli_env()
    env["PYTHONPATH"] = "%s:%s" % (tmp_path, env["PYTHONPATH"])
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "k7340",
            "plot",
            str(tmp_path / "run.csv"),
            str(tmp_path / "run.png"),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    assert result.returncode == 1 and "python3-matplotlib" in result.stderr
    assert not (tmp_path / "run.png").exists()


def test_ports_probe_finds_the_simulated_supply_through_k7340_com1(sim, tmp_path):
    port = sim(fw="0x0456", vrange=30000, irange=100)
    with simulated_supply(silent=True) as silent, simulated_supply() as held, Supply(port=held):
        result = k7340_cli(
            "ports",
            "--probe",
            env=cli_env(K7340_COM2=str(tmp_path / "none"), K7340_COM3=silent, K7340_COM4=held),
        )
    assert result.returncode == 0, result.stderr
    lines = {
        ln.split()[0]: ln.split(None, 3)[3]
        for ln in result.stdout.splitlines()
        if ln.startswith("COM")
    }
    assert lines["COM1"] == "%s (K7340_COM1)  supply: firmware 0456, ranges 30000 V, 100 uA" % port
    assert lines["COM2"] == "%s (K7340_COM2)  not found" % (tmp_path / "none")
    assert lines["COM3"] == "%s (K7340_COM3)  no supply answers (Device read failed)" % silent
    assert lines["COM4"].startswith("%s (K7340_COM4)  busy: held by another program" % held)
    assert setpoints(port) == [] and {c.split()[0] for c in sent(port)} == {"read"}


def test_ramp_leave_on_exits_at_the_target_unguarded(sim):
    port = sim()
    result = k7340_cli("ramp", "--to", "1.5kV", "--rate", "30000", "--leave-on")
    assert result.returncode == 0, result.stderr
    assert result.stderr == (
        "k7340: output left at 1500.0 V on %s: unguarded now (watchdog "
        "off); k7340 off switches it off\n" % port
    )
    assert setpoints(port)[-1] == "set 1500.0 V, output on"
    assert sent(port)[-1] == "watchdog 0 (off)"


@pytest.mark.parametrize(
    "argv",
    [
        ["monitor", "--bogus"],
        ["log", "--interval", "0", "--csv", "{tmp}/a.csv"],
        ["log", "--interval", "1", "--duration", "-3", "--csv", "{tmp}/a.csv"],
        ["log", "--interval", "1", "--csv", "{tmp}/no/such/folder/a.csv"],
        ["ramp", "--to", "100", "--rate", "-1"],
        ["ramp", "--to", "100", "--rate", "0"],
        ["monitor", "--watchdog", "20", "--voltage", "1000"],
        ["ramp", "--to", "100", "--rate", "nan"],
        ["ramp", "--to", "100", "--rate", "10", "--step", "0.001"],
        ["ramp", "--to", "5kW", "--rate", "10"],
        ["ramp", "--to", "3000", "--rate", "10", "--max-volts", "2kV"],
        ["log", "--csv", "{tmp}/a.csv", "--force", "--append"],
    ],
)
def test_bad_input_is_one_line_status_2_and_nothing_sent(sim, tmp_path, argv):
    port = sim()
    result = k7340_cli(*[a.replace("{tmp}", str(tmp_path)) for a in argv])
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert " > " not in settled_log(port)
