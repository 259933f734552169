"""Conditioning and the flight recorder against k7340sim: back-off and retry on over-current,
giving up after max_trips, a trip bit that stays, the console command, and the recorder's
file of the readings before a trip."""

import csv
import datetime
import os
import signal
import subprocess
import sys

import pytest

from binding_support import REPO, wait_for
from k7340 import K7340TripError, Supply
from k7340.lab.recorder import FlightRecorder
from k7340.testing import simulated_supply

RATE, STEP = 10000.0, 0.05  # 500 V a step


def sent_volts(port):
    """The setpoints the supply received, in volts (0 for "output off")."""
    return [
        0.0 if "output off" in ln else float(ln.split("set ")[1].split(" V")[0])
        for ln in port.log().splitlines()
        if " > " in ln and ("set " in ln or "output off" in ln)
    ]


def clear_on_first_trip(port, psu):
    """An over-current once, at the target: the bit clears after the back-off."""
    injected = []

    def progress(phase, reading):
        if phase == "dwell" and not injected:
            injected.append(port.control("status-bits 0x02"))

    return {"progress": progress, "trip_seen": lambda trip: port.control("status-bits 0")}


def limit_at_800_volts(port, psu):
    """A real over-current: above 8 uA (4 % of 200 uA) through 100 MOhm, i.e. above 800 V."""
    psu.set_limits(100, 5)
    return {}


def bit_that_stays(port, psu):
    """An over-current that comes during the climb and never clears."""

    def progress(phase, reading):
        if phase == "climb" and reading.setpoint >= 1000:
            port.control("status-bits 0x02")

    return {"clear_within": 0.3, "progress": progress}


@pytest.mark.parametrize(
    "setup, max_trips, trips, ends",
    [
        (clear_on_first_trip, 3, 1, "target"),
        (limit_at_800_volts, 3, 3, "gave up after 3 trips (max_trips 3); output switched off"),
        (limit_at_800_volts, 1, 1, "gave up after 1 trip (max_trips 1)"),
        (bit_that_stays, 3, 1, "the trip bit did not clear within 0.3 s"),
    ],
)
def test_conditioning_backs_off_retries_and_gives_up(tmp_path, setup, max_trips, trips, ends):
    with simulated_supply(vrange=30000, load_ohms=100e6, slew=0) as port:
        with Supply(port=port) as psu:
            keywords = setup(port, psu)
            recorder = FlightRecorder(tmp_path, seconds=10)
            try:
                result = psu.condition(
                    2000, RATE, 0.2, 500, max_trips, step=STEP, recorder=recorder, **keywords
                )
                ended, seen = "target", result.trips
                assert result.volts == 2000 and psu.setpoint == 2000
            except K7340TripError as exc:
                ended, seen = str(exc), exc.trips
                assert psu.setpoint == 0.0
        volts = sent_volts(port)
    assert ends in ended and len(seen) == trips
    if ends == "target":
        assert volts.pop() == 0.0  # the session's close, not the conditioning
    assert all(t.status & 0x02 and t.record in recorder.files for t in seen)
    # The rate holds everywhere, the back-offs included: 500 V a step at most; giving up is
    # the trip action, off at once.
    steps = volts if ends == "target" else volts[:-1]
    assert max(abs(b - a) for a, b in zip([0.0] + steps, steps)) <= RATE * STEP
    if ends == "target":  # down by the back-off, then up again to the target
        top = volts.index(2000.0)
        assert volts[top : top + 3] == [2000.0, 1500.0, 2000.0] and volts[-1] == 2000.0
    else:
        assert volts[-1] == 0.0


def test_the_recorder_file_holds_the_readings_before_a_trip(tmp_path):
    with simulated_supply(vrange=30000, load_ohms=100e6, slew=0) as port:
        with Supply(port=port) as psu:
            recorder = FlightRecorder(tmp_path, seconds=10)
            for volts in (500, 1000, 1500):
                psu.set_voltage(volts)
                assert recorder.poll(reading(psu)) is None
            port.control("status-bits 0x02")
            line = recorder.poll(reading(psu))
            assert recorder.poll(reading(psu)) is None  # lasting: one file
            port.control("status-bits 0")
            assert recorder.poll(reading(psu)) is None
            lost = recorder.poll(None, lost="Device read failed")
    (path,) = [f for f in recorder.files if "overi" in f]
    assert line.endswith("in %s" % path) and os.path.dirname(path) == str(tmp_path)
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["setpoint"] for r in rows] == ["500.0", "1000.0", "1500.0", "1500.0"]
    assert [round(float(r["volts"]), -1) for r in rows[:3]] == [500, 1000, 1500]
    assert rows[-1]["status"] == "OverI Enable" and rows[-1]["event"] == "trip: OverI"
    assert all(datetime.datetime.fromisoformat(r["time"]) for r in rows)
    assert "lost link: Device read failed" in lost and len(recorder.files) == 2


def reading(psu):
    from k7340.safety import Reading

    return Reading(psu.read_voltage(), psu.read_current(), 25.0, psu.status, psu.setpoint)


@pytest.mark.parametrize(
    "limit, status, says",
    [
        (5, 3, "gave up after 2 trips (max_trips 2); output switched off"),
        (100, 0, "reached 2000.0 V after 0 trips"),  # --leave-on: exits there
    ],
)
def test_the_console_command_says_how_it_ended(tmp_path, limit, status, says):
    with simulated_supply(vrange=30000, load_ohms=100e6, slew=0) as port:
        with Supply(port=port) as psu:
            psu.set_limits(100, limit)
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "k7340",
                "condition",
                "--port",
                port,
                "--to",
                "2000",
                "--rate",
                "10000",
                "--dwell",
                "0.2",
                "--backoff",
                "500",
                "--max-trips",
                "2",
                "--csv",
                str(tmp_path / "trips.csv"),
                "--leave-on",
            ],
            capture_output=True,
            text=True,
            timeout=60,
            env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
        )
        last = sent_volts(port)[-1]
    assert done.returncode == status and says in done.stdout + done.stderr
    with open(tmp_path / "trips.csv", newline="") as f:  # the sample log, its trips marked
        rows = list(csv.DictReader(f))
    trips = [r["event"].split(" (record ")[1][:-1] for r in rows if r["event"].startswith("trip")]
    assert len(trips) == (2 if status else 0) and last == (0.0 if status else 2000.0)
    assert rows and all(r["volts"] for r in rows)
    assert all(os.path.isfile(t) and os.path.dirname(t) == str(tmp_path) for t in trips)


def test_the_tango_server_records_a_trip_in_its_record_dir(start_sim, tmp_path):
    pytest.importorskip("tango")
    from test_tango import DevState, Server, wait_state

    sim = start_sim("--load-ohms", "100e6")
    folder = tmp_path / "records"
    folder.mkdir()
    server = Server(
        tmp_path, {"PortPath": str(sim.link), "RecordDir": str(folder), "PollPeriodMs": "50"}
    )
    try:
        wait_state(server.device, DevState.OFF)
        server.device.Setpoint = 1000
        server.device.On()
        wait_state(server.device, DevState.ON)
        assert wait_for(lambda: abs(server.device.Voltage - 1000) < 5)
        sim.control("status-bits 0x02")
        assert wait_for(lambda: list(folder.glob("k7340-tango-record-*-trip-overi.csv")))
    finally:
        server.stop()
    (path,) = folder.glob("*.csv")
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    assert rows[-1]["event"] == "trip: OverI" and rows[-1]["setpoint"] == "1000.0"
    assert len(rows) > 3 and abs(float(rows[-2]["volts"]) - 1000) < 5
    assert str(path) in server.output()  # the device's log names the file


def test_the_monitor_writes_its_record_in_the_current_folder(tmp_path):
    with simulated_supply(vrange=30000, load_ohms=100e6, slew=0) as port:
        monitor = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "k7340",
                "monitor",
                "--port",
                port,
                "--voltage",
                "1000",
                "--lines",
            ],
            cwd=tmp_path,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
        )
        try:
            assert wait_for(lambda: port.log().count("read meter 0") > 20)
            port.control("status-bits 0x02")
            assert wait_for(lambda: list(tmp_path.glob("k7340-record-*-trip-overi.csv")))
        finally:
            monitor.send_signal(signal.SIGINT)
            said = monitor.communicate(timeout=20)[1]
    (path,) = tmp_path.glob("*.csv")
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) > 5 and rows[-1]["event"] == "trip: OverI" and str(path) in said
    assert {r["setpoint"] for r in rows} == {"1000.0"} and rows[-2]["status"] == "Enable"


def test_the_tango_condition_command_backs_off_and_gives_up_at_zero(start_sim, tmp_path):
    pytest.importorskip("tango")
    from test_tango import DevState, Server, wait_state

    sim = start_sim("--log", "--load-ohms", "100e6", "--slew", "0")
    with Supply(port=str(sim.link)) as psu:
        psu.set_limits(100, 5)  # OverI above about 950 V
    server = Server(tmp_path, {"PortPath": str(sim.link), "RecordDir": str(tmp_path)})
    try:
        wait_state(server.device, DevState.OFF)
        server.device.Condition([2000, 10000, 0.2, 500, 2])
        assert server.device.state() == DevState.MOVING
        wait_state(server.device, DevState.OFF, 20)
        status = server.device.status()
    finally:
        server.stop()
    assert "gave up after 2 trips (max_trips 2); output switched off" in status
    volts = [
        0.0 if "output off" in ln else float(ln.split("set ")[1].split(" V")[0])
        for ln in open(sim.log_path).read().splitlines()
        if " > " in ln and ("set " in ln or "output off" in ln)
    ]
    assert volts[-1] == 0.0 and max(b - a for a, b in zip(volts, volts[1:])) <= 500
    for n in (1, 2):
        assert list(tmp_path.glob("k7340-tango-record-*-trip-%d-overi.csv" % n))
