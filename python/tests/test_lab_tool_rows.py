"""The lab tools as a careful user finds them, one row per rough edge: logging while holding,
limit levels, conditioning's back-off rate, a ramp to zero, the dead-man's warning, full disks,
busy ports, the setpoint validator, a CSV file checked before the open, refusals in words, a
failed reopen said plainly, and the GUI and packaging rows."""

import csv
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time

import pytest

from binding_support import REPO, wait_for
import gui_rows
import packaging_rows
import k7340
from k7340.testing import simulated_supply

ENV = dict(os.environ, PYTHONPATH=str(REPO / "python"))
RECORDS = tempfile.TemporaryDirectory(prefix="k7340-rows-")  # the tools' flight records


def cli(*argv, preexec_fn=None):
    return subprocess.Popen(
        [sys.executable, "-m", "k7340", *argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
        preexec_fn=preexec_fn,
        cwd=RECORDS.name,
    )


def finished(proc, signum=None, after=0.0):
    time.sleep(after)
    if signum is not None:
        proc.send_signal(signum)
    out, err = proc.communicate(timeout=60)
    return proc.returncode, out, err


def commands(port):
    time.sleep(0.1)  # the simulator logs just after it answers
    return [ln.split("  ", 1)[1] for ln in port.log().splitlines() if " > " in ln]


def rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def row_logs_while_holding(tmp):
    from k7340.lab import samplelog

    for tool in (["ramp", "--to", "1000", "--rate", "20000"], ["monitor", "--voltage", "1000"]):
        path = tmp / ("%s.csv" % tool[0])
        with simulated_supply(slew=0) as port:
            proc = cli(*tool, "--port", port, "--csv", str(path), "--interval", "0.2")
            assert wait_for(lambda: "output on" in port.log(), 15)
            status, out, err = finished(proc, signal.SIGINT, after=1.5)
            again = cli(*tool, "--port", port, "--csv", str(path))  # an existing file: refused
            assert finished(again)[0] == 2
        held = [r for r in rows(path) if r["volts"] and abs(float(r["volts"]) - 1000) < 5]
        assert status == 130 and len(held) >= 4, (tool, err)
        assert list(rows(path)[0]) == list(samplelog.COLUMNS)


def row_limit_levels(tmp):
    with simulated_supply() as port:
        with k7340.Supply(port=port) as psu:
            first, second = psu.set_limits(100, 4.8)
            assert first == 100.0 and abs(second - 300 / 63) < 1e-9
        proc = cli("ramp", "--port", port, "--to", "100", "--rate", "1000", "--limits", "90%,5%")
        status, out, err = finished(proc, signal.SIGINT, after=1.5)
    assert "limit levels 90.5 %, 4.8 % of full scale" in err, err


def row_backoff_rate_and_one_stream(tmp):
    with simulated_supply(load_ohms=100e6, slew=0) as port:
        with k7340.Supply(port=port) as psu:
            psu.set_limits(100, 5)  # OverI above about 950 V
        proc = cli(
            "condition",
            "--port",
            port,
            "--to",
            "2000",
            "--rate",
            "20000",
            "--backoff-rate",
            "1000",
            "--backoff",
            "500",
            "--max-trips",
            "1",
            "--dwell",
            "0.2",
        )
        status, out, err = finished(proc)
        setpoints = [c for c in commands(port) if c.startswith("set ")]
    down = [float(c.split()[1]) for c in setpoints[setpoints.index("set 1000.0 V, output on") :]]
    assert status == 3 and out == "" and "gave up" in err, err
    assert all(a - b <= 1000 * 0.05 + 1e-6 for a, b in zip(down, down[1:]))  # the back-off rate


def row_ramp_to_zero_ends(tmp):
    with simulated_supply() as port:
        with k7340.Supply(port=port, keep_output=True, watchdog_ms=0) as psu:
            psu.set_voltage(1000)
        status, out, err = finished(cli("ramp", "--port", port, "--to", "0", "--rate", "5000"))
        sent = [c for c in commands(port) if c.startswith(("set", "output", "watchdog"))]
    assert status == 0 and "adopted" in err and "output set to zero" in err, err
    watchdog = [c for c in sent if c.startswith("watchdog")]
    assert sent[-1] == "output off" and watchdog[-1] == "watchdog 0 (off)"
    assert any(c.startswith("set 750") for c in sent)  # ramped down, not switched off at once


def row_dead_man_off_is_said(tmp):
    with simulated_supply() as port:
        proc = cli("ramp", "--port", port, "--to", "100", "--rate", "1000", "--watchdog", "0")
        status, out, err = finished(proc, signal.SIGINT, after=1.5)
    assert "--watchdog 0: the dead-man is off" in err.splitlines()[0], err


def small_files():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (400, 400))


def row_full_disk(tmp):
    with simulated_supply(load_ohms=100e6, slew=0) as port:
        proc = cli(
            "condition",
            "--port",
            port,
            "--to",
            "2000",
            "--rate",
            "20000",
            "--backoff",
            "500",
            "--max-trips",
            "3",
            "--dwell",
            "2",
            "--csv",
            str(tmp / "c.csv"),
            "--interval",
            "0.05",
            preexec_fn=small_files,
        )
        status, out, err = finished(proc)
    assert status == 1 and "Traceback" not in err and "cannot write the CSV file" in err, err
    script = (
        "import k7340.lab.recorder as r, resource, signal\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (300, 300))\n"
        "f = r.FlightRecorder(%r)\n"
        "[f.add(1000.0, 999.9, 10.0, 4) for _ in range(20)]\n"
        "print(f.write('trip: OverI'))\n" % str(tmp / "records")
    )
    said = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=ENV, timeout=30
    ).stdout
    assert "could not write" in said and os.listdir(tmp / "records") == [], said


def row_busy_port_in_the_binding(tmp):
    with simulated_supply() as port:
        with k7340.Supply(port=port, watchdog_ms=0):
            script = "import k7340; k7340.Supply(port=%r)" % str(port)
            err = subprocess.run(
                [sys.executable, "-c", script], capture_output=True, text=True, env=ENV, timeout=30
            ).stderr
    assert "busy: held by another program" in err.splitlines()[-1], err


def row_setpoint_validator(tmp):
    pytest.importorskip("pymeasure")
    from k7340.pymeasure import volts_validator

    for value in (True, "100", -0.0, None):
        with pytest.raises(ValueError, match="voltage_setpoint"):
            volts_validator(value, (0.0, 5000.0, "max_volts"))
    assert volts_validator(0, (0.0, 5000.0, "max_volts")) == 0.0


def row_csv_checked_before_the_open(tmp):
    with simulated_supply() as port:
        status, out, err = finished(cli("log", "--port", port, "--csv", "/proc/x.csv"))
        assert status == 2 and "cannot write the CSV file /proc/x.csv" in err, err
        assert commands(port) == []


def row_refusals_in_words(tmp):
    with simulated_supply() as port:
        status, out, err = finished(cli("ramp", "--port", port, "--to", "1kV", "--rate", "1e-300"))
    assert status == 2 and "at least 0.0116 V/s" in err and not re.search(r"\d{12}", err), err


def row_failed_reopen_said(tmp):
    with simulated_supply() as port, simulated_supply(silent=True) as silent:
        link = tmp / "psu"
        os.symlink(port, link)
        proc = cli("ramp", "--port", str(link), "--to", "1000", "--rate", "20000")
        assert wait_for(lambda: "output on" in port.log(), 15)
        os.remove(link)
        os.symlink(silent, link)  # a silent device takes the supply's place
        port.control("hangup")
        status, out, err = finished(proc)
    last = err.splitlines()[-1]
    assert status == 1 and "Device closed" not in err and "may still be on" in last, err


ROWS = [
    ("1 ramp and monitor log while they hold", row_logs_while_holding),
    ("2 limit levels stepped, returned and printed", row_limit_levels),
    ("3 a back-off rate, and one stream", row_backoff_rate_and_one_stream),
    ("4 ramp --to 0 ramps down and ends", row_ramp_to_zero_ends),
    ("5 gui: units, one-line refusals", gui_rows.row_units_in_and_one_line_refusals),
    ("5 gui: Abort's ramp-down shown and logged", gui_rows.row_abort_ramps_down_in_rows_and_status),
    ("5 gui: Off now zeroes at once and aborts", gui_rows.row_off_now_zeroes_at_once_and_aborts),
    ("5 gui: live reading and trip bits", gui_rows.row_live_reading_and_trip_bits),
    ("5 gui: a failed run exits 1", gui_rows.row_failed_run_exits_1),
    ("5 gui: limit levels before the output", gui_rows.row_limits_go_out_before_the_output),
    ("6 pip puts k7340sim on PATH", packaging_rows.row_pip_install_puts_k7340sim_on_path),
    ("7 K7340_LIBRARY wins", packaging_rows.row_k7340_library_wins_over_the_package_copy),
    ("8 the dead-man off is said", row_dead_man_off_is_said),
    ("9 a full disk: one line; a record whole or not at all", row_full_disk),
    ("10 a busy port says busy", row_busy_port_in_the_binding),
    ("11 the setpoint validator refuses non-numbers", row_setpoint_validator),
    ("12 a CSV file checked before the open", row_csv_checked_before_the_open),
    ("13 a refused rate in words", row_refusals_in_words),
    ("14 a failed reopen says what happened", row_failed_reopen_said),
    ("15 scripts/package deb or zip", packaging_rows.row_package_builds_deb_or_zip_or_both),
]


@pytest.mark.parametrize("row", [r for _, r in ROWS], ids=[name for name, _ in ROWS])
def test_the_lab_tools_as_a_careful_user_finds_them(tmp_path, row):
    row(tmp_path)
