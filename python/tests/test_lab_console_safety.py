"""The console tools at their edges, one row per way they used to leave the output on, send
unasked, lose data or fail with a traceback. Each row runs `python -m k7340 ...` against
k7340sim and reads what the supply received from the simulator's log."""

import contextlib
import os
import random
import re
import resource
import signal
import subprocess
import sys
import time

import pytest

from binding_support import REPO, wait_for
from k7340 import Supply
from k7340.testing import simulated_supply


def sent(port):
    time.sleep(0.1)  # the simulator logs just after it answers
    return [
        ln.split("  ", 1)[1]
        for ln in port.log().splitlines()
        if " > " in ln and "read EEPROM" not in ln
    ]


def switched(port, after="# new pty"):
    """The setpoints and watchdog commands, all of them or those after a mark in the log."""
    log = port.log().split(after)[-1] if after in port.log() else port.log()
    return [
        ln.split("  ", 1)[1]
        for ln in log.splitlines()
        if " > " in ln and re.search(r"  (set |output off|watchdog)", ln)
    ]


def at_2000(port, tmp):  # someone else's session switched the output on and left it
    with Supply(port=port, keep_output=True, watchdog_ms=0) as psu:
        psu.set_voltage(2000)


def watchdog_ran_out(port, tmp):
    with Supply(port=port, keep_output=True, watchdog_ms=0) as psu:
        psu.set_watchdog_ms(300)
        psu.set_voltage(1000)
        assert wait_for(lambda: "! watchdog expired" in port.log())


def busy_with_old_csv(port, tmp):
    (tmp / "run.csv").write_text("old,rows\n1,2\n")
    return Supply(port=port, watchdog_ms=0)  # holds the port for the row


def hang_up_mid_ramp(proc, port):
    assert wait_for(lambda: "output on" in port.log(), 10)
    port.control("hangup")


def storm(proc, port):
    assert wait_for(lambda: "output on" in port.log(), 10)
    end = time.monotonic() + 1.0
    with contextlib.suppress(ProcessLookupError):
        while proc.poll() is None and time.monotonic() < end:
            os.kill(proc.pid, signal.SIGTERM)
            time.sleep(random.uniform(20e-6, 50e-6))


def interrupt_when_polled(proc, port):
    assert wait_for(lambda: "read meter 0" in port.log().split("set 2000.0")[-1], 10)
    proc.send_signal(signal.SIGINT)


def disk_full():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))


def whole_rows_and_plot_skips_a_torn_one(port, tmp):
    text = (tmp / "run.csv").read_text()
    if not text.endswith("\n") or {ln.count(",") for ln in text.splitlines()} != {8}:
        return False
    with open(tmp / "run.csv", "a") as f:
        f.write(text.splitlines()[-1][:40])  # a row cut mid-number
    plot = run(["plot", str(tmp / "run.csv"), str(tmp / "run.png")])
    return plot.returncode == 0 and "line %d is torn" % (len(text.splitlines()) + 1) in plot.stderr


def run(argv, **popen):
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"))
    return subprocess.run(
        [sys.executable, "-m", "k7340", *argv],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
        **popen,
    )


NOTHING_SWITCHED = lambda port, tmp: switched(port) == []  # noqa: E731
ROWS = [  # finding, simulator options, before, argv, during, popen, status, stderr, after
    (
        "4 lost port mid-ramp ends at zero",
        {},
        None,
        ["ramp", "--to", "2000", "--rate", "2000"],
        hang_up_mid_ramp,
        {},
        1,
        r"ramp stopped at .*\n(.*\n)*k7340: output set to zero on {port}\n$",
        lambda port, tmp: "output off" in switched(port)
        and "output on" not in str(switched(port))
        and switched(port, "# serving")[0] == "watchdog 100 (1000 ms)",
    ),
    (
        "5 a signal storm ends at zero",
        {},
        None,
        ["ramp", "--to", "3000", "--rate", "3000"],
        storm,
        {},
        143,
        r"k7340: output set to zero on {port}\n$",
        lambda port, tmp: [s for s in switched(port) if "watchdog" not in s][-1] == "output off",
    ),
    (
        "7 a busy port leaves the CSV as it was",
        {},
        busy_with_old_csv,
        ["log", "--duration", "1", "--force", "--csv", "{tmp}/run.csv"],
        None,
        {},
        1,
        r"^k7340: {port}: busy: held by another program \(.*\)\n$",
        lambda port, tmp: (tmp / "run.csv").read_text() == "old,rows\n1,2\n",
    ),
    (
        "9 a ramp over 24 hours is refused",
        {},
        None,
        ["ramp", "--to", "50000", "--rate", "1e-300"],
        None,
        {},
        2,
        r"more than 24 hours",
        NOTHING_SWITCHED,
    ),
    (
        "12 a full disk keeps whole rows",
        {},
        None,
        ["log", "--interval", "0.02", "--duration", "3", "--csv", "{tmp}/run.csv"],
        None,
        {"preexec_fn": disk_full},
        1,
        r"^k7340: cannot write the CSV file .*run.csv: File too large; \d+ rows kept, all whole"
        r"\nk7340: \d+ rows in .*\n$",
        whole_rows_and_plot_skips_a_torn_one,
    ),
    (
        "14 a bad step sends nothing",
        {},
        at_2000,
        ["ramp", "--to", "3000", "--rate", "1000", "--step", "4000"],
        None,
        {},
        2,
        r"^.*argument --step: must be seconds 0.01..10 .*, not '4000'.*\n$",
        lambda port, tmp: switched(port)[-1] == "set 2000.0 V, output on",
    ),
    (
        "14 a voltage above the range sends nothing",
        {"vrange": 30000},
        None,
        ["monitor", "--voltage", "31kV"],
        None,
        {},
        2,
        r"^k7340: --voltage .*0\.\.30000 V",
        NOTHING_SWITCHED,
    ),
    (
        "16 a watching monitor leaves the output as found",
        {},
        at_2000,
        ["monitor", "--lines"],
        interrupt_when_polled,
        {},
        130,
        r"^k7340: output on at 2000 V and no program holds it; `k7340 off --port {port}` "
        r"switches it off\n$",
        lambda port, tmp: switched(port)[-1] == "set 2000.0 V, output on",
    ),
    (
        "17 info only reads and shows the output",
        {},
        at_2000,
        ["info"],
        None,
        {},
        0,
        r"^$",
        lambda port, tmp: "fault query" not in sent(port) and "clear faults" not in sent(port),
    ),
    (
        "18 a tripped supply gets no ramp",
        {"status_bits": "0x02"},
        None,
        ["ramp", "--to", "1000", "--rate", "10000"],
        None,
        {},
        1,
        r"^k7340: {port}: RampTo refused: the supply reports OverI; nothing was sent\n$",
        NOTHING_SWITCHED,
    ),
    (
        "19 a watchdog run-out by name",
        {},
        watchdog_ran_out,
        ["info", "--faults"],
        None,
        {},
        0,
        r"^$",
        lambda port, tmp: "clear faults" in sent(port),
    ),
    (
        "20 a closed stdout is one line",
        {},
        None,
        ["monitor", "--voltage", "1000"],
        None,
        {"preexec_fn": lambda: os.close(1)},
        2,
        r"^k7340: standard output is closed: .*\n$",
        NOTHING_SWITCHED,
    ),
]
STDOUT = {
    "17": r"output \d+\.\d V, \d+\.\d+ uA\nstatus Enable\noutput on at \d+ V and no program "
    r"holds it; `k7340 off --port .*` switches it off\n$",
    "19": r"faults bit 0x01 \(the simulated supply's watchdog ran out\) \(read now",
}


@pytest.mark.parametrize(
    "finding, options, before, argv, during, popen, status, err, after",
    ROWS,
    ids=[r[0] for r in ROWS],
)
def test_console_tools_at_their_edges(
    tmp_path, finding, options, before, argv, during, popen, status, err, after
):
    with simulated_supply(**options) as port, contextlib.ExitStack() as stack:
        held = before(port, tmp_path) if before else None
        if held is not None:
            stack.enter_context(held)
        env = dict(os.environ, PYTHONPATH=str(REPO / "python"), K7340_COM1=port)
        proc = subprocess.Popen(
            [sys.executable, "-m", "k7340", *[a.format(tmp=tmp_path) for a in argv]],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
            **popen,
        )
        if during:
            during(proc, port)
        try:
            out, text = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
        assert (proc.returncode, "Traceback" in text) == (status, False), text
        assert re.search(err.replace("{port}", re.escape(port)), text), text
        assert re.search(STDOUT.get(finding.split()[0], ""), out or ""), out
        assert after(port, tmp_path), port.log()[-3000:]
