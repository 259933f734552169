"""k7340.pymeasure against k7340sim: the instrument's properties and validators, the procedure
to a CSV file, its abort and failure ending at zero, and the GUI under Xvfb."""

import os
import shutil
import subprocess
import sys
import threading

import pytest

from binding_support import REPO, wait_for

pytest.importorskip("pymeasure")
from pymeasure.experiment import Procedure, Results, Worker  # noqa: E402

from k7340.pymeasure import K7340, K7340Adapter, RampProcedure  # noqa: E402
from k7340.testing import simulated_supply  # noqa: E402


def setpoints(port):
    return [
        ln.split("  ", 1)[1]
        for ln in port.log().splitlines()
        if " > " in ln and ("set " in ln or "output off" in ln)
    ]


@pytest.fixture
def port():
    with simulated_supply(vrange=30000, load_ohms=100e6, slew=0) as sim:
        yield sim


@pytest.mark.parametrize(
    "max_volts, value, refusal",
    [
        (5000, 5000.5, "voltage_setpoint 5000.5 is outside 0..5000 V (max_volts)"),
        (None, 30001, "voltage_setpoint 30001 is outside 0..30000 V (the supply's vrange)"),
        (None, -1, "outside 0..30000 V"),
        (None, float("nan"), "outside 0..30000 V"),
        (None, "1e3 V", "must be a number of volts"),
        (5000, 1000, None),
    ],
)
def test_properties_and_the_validator_that_refuses(port, max_volts, value, refusal):
    psu = K7340(port, max_volts=max_volts, ramp_rate=10000)
    try:
        assert isinstance(psu.adapter, K7340Adapter) and psu.SCPI is False
        assert psu.voltage_setpoint == 0.0 and not psu.output_enabled
        if refusal:
            with pytest.raises(ValueError, match=refusal.replace("(", r"\(").replace(")", r"\)")):
                psu.voltage_setpoint = value
            assert setpoints(port) == [] and psu.voltage_setpoint == 0.0  # nothing was sent
            return
        psu.voltage_setpoint = value
        assert setpoints(port)[-1] == "set 1000.0 V, output on"
        assert abs(psu.voltage - 1000) < 5 and abs(psu.current - 10.0) < 0.1  # 100 MOhm
        assert psu.output_enabled and int(psu.status) == 0x04 and int(psu.clear_faults()) == 0
        psu.shutdown()
        assert psu.voltage_setpoint == 0.0 and setpoints(port)[-2:] == [
            "set 500.0 V, output on",
            "output off",
        ]  # ramped down at 10000 V/s
    finally:
        psu.close()
    with pytest.raises(NotImplementedError):
        psu.adapter.write("VOLT 1000")


def run_procedure(path, port, during=None, **parameters):
    procedure = RampProcedure()
    procedure.set_parameters(
        dict(dict(port=port, voltage=2000, rate=10000, hold=0.5, period=0.05), **parameters)
    )
    worker = Worker(Results(procedure, str(path)))
    worker.start()
    if during:
        during(worker)
    threading.Thread.join(worker, 30)  # Worker.join returns at once once it was stopped
    assert not worker.is_alive()
    return procedure.status, Results.load(str(path)).data


def stop_when_at(port, volts, action):
    def during(worker):
        assert wait_for(lambda: "set %.1f V, output on" % volts in setpoints(port), 10)
        action(worker)

    return during


@pytest.mark.parametrize(
    "during, hold, status",
    [
        (None, 0.5, Procedure.FINISHED),
        (lambda port: stop_when_at(port, 2000, lambda w: w.stop()), 30, Procedure.ABORTED),
        (
            lambda port: stop_when_at(port, 2000, lambda w: port.control("status-bits 0x02")),
            30,
            Procedure.FAILED,
        ),
    ],
)
def test_the_procedure_writes_csv_and_every_end_is_at_zero(port, tmp_path, during, hold, status):
    ended, data = run_procedure(
        tmp_path / "run.csv", port, during(port) if during else None, hold=hold
    )
    assert ended == status
    assert list(data.columns) == RampProcedure.DATA_COLUMNS and len(data) >= 4
    assert data["Setpoint (V)"].max() == 2000 and (data["Time (s)"].diff().dropna() > 0).all()
    assert setpoints(port)[-1] == "output off"
    if status == Procedure.FINISHED:
        assert data["Setpoint (V)"].iloc[-1] == 0 and abs(data["Voltage (V)"].max() - 2000) < 5
    down = [
        float(ln.split()[1])
        for ln in setpoints(port)[setpoints(port).index("set 2000.0 V, output on") :]
        if ln.startswith("set ")
    ]
    if status == Procedure.ABORTED:  # ramped down at the rate, 500 V a step
        assert down == [2000.0, 1500.0, 1000.0, 500.0]


def test_the_gui_under_xvfb_runs_a_queued_ramp_and_saves_its_window(port, tmp_path):
    if not shutil.which("Xvfb"):
        pytest.skip("no Xvfb (Debian package xvfb)")
    display = ":%d" % (90 + os.getpid() % 100)
    xvfb = subprocess.Popen(
        ["Xvfb", display, "-screen", "0", "1280x800x24"], stderr=subprocess.DEVNULL
    )
    try:
        assert wait_for(lambda: os.path.exists("/tmp/.X11-unix/X" + display[1:]), 10)
        png = tmp_path / "gui.png"
        env = dict(os.environ, DISPLAY=display, PYTHONPATH=str(REPO / "python"))
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "k7340",
                "gui",
                "--port",
                port,
                "--directory",
                str(tmp_path),
                "--voltage",
                "1500",
                "--rate",
                "3000",
                "--hold",
                "0.5",
                "--queue",
                "--exit-when-done",
                "--screenshot",
                str(png),
            ],
            env=env,
            capture_output=True,
            text=True,
            timeout=60,
        )
    finally:
        xvfb.terminate()
        xvfb.wait()
    assert done.returncode == 0, done.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 20000
    (csv_file,) = tmp_path.glob("k7340-ramp-*.csv")
    assert Results.load(str(csv_file)).data["Setpoint (V)"].max() == 1500
    assert setpoints(port)[-1] == "output off" and "Traceback" not in done.stderr
