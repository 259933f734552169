"""The two examples users copy from: python -m k7340 monitor and docs/examples/example.c."""

import os
import re
import signal
import subprocess
import sys
import time

from binding_support import REPO, build_dir, log_text, setpoint_lines

MONITOR_LINE = re.compile(r"^\s*[\d.]+ V\s+[\d.]+ uA\s+T\s+[\d.]+\s+status (\S+)$")


def test_monitor_prints_lines_and_zeroes_the_output_on_ctrl_c(start_sim):
    sim = start_sim("--log")
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"))
    proc = subprocess.Popen(
        [sys.executable, "-m", "k7340", "monitor", "--voltage", "1000"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130, err
    lines = out.splitlines()
    assert len(lines) >= 3, out
    for line in lines:
        assert MONITOR_LINE.match(line), line
    assert "Enable" in MONITOR_LINE.match(lines[-1]).group(1)
    setpoints = setpoint_lines(log_text(sim))
    assert "output on" in setpoints[0] and "output off" in setpoints[-1], setpoints


def test_monitor_reports_a_missing_port(tmp_path):
    env = dict(
        os.environ, PYTHONPATH=str(REPO / "python"), K7340_COM1=str(tmp_path / "no-such-port")
    )
    proc = subprocess.run(
        [sys.executable, "-m", "k7340", "monitor"],
        capture_output=True,
        text=True,
        env=env,
        timeout=30,
    )
    assert proc.returncode == 1
    assert "COM port busy or not found" in proc.stderr


def test_c_example_compiles_and_runs(start_sim, tmp_path):
    sim = start_sim("--log", "--fw", "0x0123", "--vrange", "50000", "--irange", "200")
    lib_dir = build_dir() / "lib"
    program = tmp_path / "example"
    subprocess.run(
        [
            "cc",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-I",
            str(REPO / "device_library"),
            str(REPO / "docs" / "examples" / "example.c"),
            "-L",
            str(lib_dir),
            "-lk7340",
            "-Wl,-rpath," + str(lib_dir),
            "-o",
            str(program),
        ],
        check=True,
    )
    proc = subprocess.run(
        [str(program), "0", "1500"],
        capture_output=True,
        text=True,
        env=dict(os.environ, K7340_COM1=str(sim.link)),
        timeout=30,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout
    assert "k7340 library 2.0.0" in out
    assert "firmware 0123, ranges 50000 V, 200 uA" in out
    volts = float(re.search(r"output ([\d.]+) V", out).group(1))
    assert abs(volts - 1500.0) < 15.0
    assert re.search(r"status 0x[0-9A-F]{2}: .*Enable", out)
    assert out.rstrip().endswith("output off, closed")
    assert "output off" in setpoint_lines(log_text(sim))[-1]


def test_c_example_reports_a_missing_port(tmp_path):
    lib_dir = build_dir() / "lib"
    program = tmp_path / "example"
    subprocess.run(
        [
            "cc",
            "-I",
            str(REPO / "device_library"),
            str(REPO / "docs" / "examples" / "example.c"),
            "-L",
            str(lib_dir),
            "-lk7340",
            "-Wl,-rpath," + str(lib_dir),
            "-o",
            str(program),
        ],
        check=True,
    )
    proc = subprocess.run(
        [str(program)],
        capture_output=True,
        text=True,
        timeout=30,
        env=dict(os.environ, K7340_COM1=str(tmp_path / "none")),
    )
    assert proc.returncode == 1
    assert "K7340_OpenDevice failed: COM port busy or not found (-10)" in proc.stdout
