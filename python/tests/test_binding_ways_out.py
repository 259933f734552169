"""Every way a script can end, and what the supply is left with: stop signals, a signal storm,
SIGKILL (the supply's watchdog), a forked child, a dropped Supply, two supplies in two
threads, a watchdog run-out. Each row runs a small script against k7340sim and checks the
simulator's log and what the script printed."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

from binding_support import REPO, build_dir, setpoint_lines, wait_for
from k7340.testing import simulated_supply

PRELUDE = """
import gc, os, sys, threading, time
import k7340
port, port2, control = os.environ["PORT"], os.environ.get("PORT2"), os.environ["CONTROL"]
def say(*words):
    print(*words, flush=True)
def sim(command):
    with open(control, "w") as f:
        f.write(command + "\\n")
"""

HOLD_ON = """
with k7340.Supply(port=port) as psu:
    psu.set_voltage(1000)
    say("ready")
    time.sleep(30)
"""

RAMPING = """
with k7340.Supply(port=port) as psu:
    psu.set_voltage(1000)
    say("ready")
    while True:
        psu.set_voltage(1200)
        psu.set_voltage(1000)
"""

FORKED_CHILD_EXITS = """
with k7340.Supply(port=port) as psu:
    psu.set_voltage(1000)
    child = os.fork()
    if child == 0:
        sys.exit(0)  # runs the child's with-exit and atexit
    os.waitpid(child, 0)
    time.sleep(0.3)
    psu.read_voltage()
    say("after the child:", "on" if k7340.StatusFlags.ENABLE in psu.status else "off")
"""

DROPPED = """
psu = k7340.Supply(port=port)
psu.set_voltage(1000)
del psu
gc.collect()
with k7340.Supply(port=port) as again:
    again.read_voltage()
    say("reopened:", "on" if k7340.StatusFlags.ENABLE in again.status else "off")
"""

TWO_SLOTS = """
a, b = k7340.Supply(port=port), k7340.Supply(port=port2)
b.set_voltage(1000)
busy = threading.Thread(target=a.reset)  # about a second on slot a
busy.start()
time.sleep(0.1)
began = time.monotonic()
b.output_off()
say("waited %.3f" % (time.monotonic() - began))
busy.join()
a.close(); b.close()
"""

THE_DOCS_EXAMPLE = """
import runpy
def ready():
    time.sleep(1.0)  # its ramp is under way by then
    say("ready")
threading.Thread(target=ready, daemon=True).start()
sys.argv = ["ramp_and_log.py", os.path.join(os.environ["SCRATCH"], "run.csv"), port]
runpy.run_path(os.environ["EXAMPLE"], run_name="__main__")
"""

RECONNECTS = """
from k7340 import Session
def until(condition):
    began = time.monotonic()
    while not condition() and time.monotonic() - began < 5:
        session.poll(); time.sleep(0.05)
link = os.path.join(os.environ["SCRATCH"], "by-id")
os.symlink(port, link)
with Session(link, reopen_s=0.05) as session:
    session.set_voltage(1000)
    sim("hangup"); until(lambda: session.link == "down")
    say("off while down sent:", session.output_off())
    until(lambda: session.link == "up")
    say("back, owner:", session.supply.owns_output)
    session.set_voltage(500)
    sim("hangup"); until(lambda: session.link == "down")
    os.remove(link); os.symlink(port2, link)
    until(lambda: session.link == "other supply")
    say("other:", session.link, "owner:", session.supply.owns_output)
"""

WATCHDOG_RUN_OUT = """
from k7340 import Session
from k7340.safety import fault_names, status_text
with Session(port, watchdog_ms=300) as session:
    session.set_voltage(1000)
    sim("silent on"); time.sleep(0.7); sim("silent off"); time.sleep(0.2)
    reading = session.poll()
    say("status:", status_text(reading.status), "ended by:", type(session.take_event()).__name__)
    say("faults:", fault_names(session.clear_faults()), "unknown:", fault_names(0x06))
"""

FAILED_OFF = """
from k7340 import Session
with Session(port, lost_after=5) as session:
    session.set_voltage(1000)
    sim("silent on"); time.sleep(0.1)
    try:
        session.output_off()
    except k7340.K7340Error:
        say("off failed, kept:", session.pending_off)
    sim("silent off"); time.sleep(0.1)
    session.poll()
    say("after the poll:", "on" if k7340.StatusFlags.ENABLE in session.supply.status else "off")
"""


def storm(pid):
    """SIGINT and SIGTERM in turn every 20..50 us, until the process is gone or 2000 sent."""
    for i in range(2000):
        try:
            os.kill(pid, signal.SIGINT if i % 2 else signal.SIGTERM)
        except ProcessLookupError:
            return
        end = time.perf_counter() + 20e-6 + (i % 4) * 10e-6
        while time.perf_counter() < end:
            pass


def kill_with(number):
    return lambda pid: os.kill(pid, number)


def zero_was_last(log, out):
    lines = setpoint_lines(log)
    return bool(lines) and "output off" in lines[-1] and "watchdog expired" not in log


def off_first_after_hangup(log):
    """The first setpoint after the first hang-up is the kept Off; the output left behind by
    the second one (the session lost it to another supply) is switched off by the watchdog."""
    after = log.split("# hang-up", 1)[-1]
    return "output off" in (setpoint_lines(after) or [""])[0] and watchdog_caught_it(log, "")


def watchdog_caught_it(log, out):
    """The supply switched itself off within one period after the last command it got."""
    expired = re.search(r"^(\d+\.\d+) ! watchdog expired", log, re.M)
    if not expired:
        return False
    commands = [float(m) for m in re.findall(r"^(\d+\.\d+) > ", log[: expired.start()], re.M)]
    return float(expired.group(1)) - commands[-1] <= 1.0 + 0.05


ROWS = [
    # (what, script, action on the running script, what must hold afterwards)
    ("SIGTERM", HOLD_ON, kill_with(signal.SIGTERM), zero_was_last),
    ("SIGHUP (an ssh drop)", HOLD_ON, kill_with(signal.SIGHUP), zero_was_last),
    ("SIGQUIT", HOLD_ON, kill_with(signal.SIGQUIT), zero_was_last),
    ("SIGINT", HOLD_ON, kill_with(signal.SIGINT), zero_was_last),
    ("a storm of INT and TERM mid-ramp", RAMPING, storm, zero_was_last),
    ("the docs' example, SIGHUP", THE_DOCS_EXAMPLE, kill_with(signal.SIGHUP), zero_was_last),
    ("the docs' example, SIGQUIT", THE_DOCS_EXAMPLE, kill_with(signal.SIGQUIT), zero_was_last),
    ("SIGKILL: the watchdog", HOLD_ON, kill_with(signal.SIGKILL), watchdog_caught_it),
    (
        "a forked child exits",
        FORKED_CHILD_EXITS,
        None,
        lambda log, out: "after the child: on" in out and zero_was_last(log, out),
    ),
    (
        "a dropped Supply",
        DROPPED,
        None,
        lambda log, out: "reopened: off" in out and zero_was_last(log, out),
    ),
    (
        "one supply never waits for another",
        TWO_SLOTS,
        None,
        lambda log, out: float(re.search(r"waited (\S+)", out).group(1)) < 0.3,
    ),
    (
        "a lost port: the kept Off first, another supply left alone",
        RECONNECTS,
        None,
        lambda log, out: "off while down sent: False" in out
        and "back, owner: False" in out
        and "other: other supply owner: False" in out
        and off_first_after_hangup(log),
    ),
    (
        "an Off lost on the line goes out with the next poll",
        FAILED_OFF,
        None,
        lambda log, out: "off failed, kept: True" in out and "after the poll: off" in out,
    ),
    (
        "a watchdog run-out, named",
        WATCHDOG_RUN_OUT,
        None,
        lambda log, out: "status: Fault ended by: K7340OutageError" in out
        and 'faults: ["bit 0x01 (the simulated supply\'s watchdog ran out)"]' in out
        and "unknown: ['bit 0x02', 'bit 0x04']" in out,
    ),
]


@pytest.mark.parametrize("what, script, action, holds", ROWS, ids=[r[0] for r in ROWS])
def test_every_way_out_leaves_the_supply_safe(what, script, action, holds, tmp_path):
    with simulated_supply() as port, simulated_supply(fw="0x0456") as port2:
        env = dict(
            os.environ,
            PYTHONPATH=str(REPO / "python"),
            PORT=port,
            PORT2=port2,
            CONTROL=port.control_path,
            K7340_BUILD_DIR=str(build_dir()),
            EXAMPLE=str(REPO / "docs" / "examples" / "ramp_and_log.py"),
            SCRATCH=str(tmp_path),
        )
        proc = subprocess.Popen(
            [sys.executable, "-c", PRELUDE + script],
            env=env,
            text=True,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        try:
            if action is not None:
                assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
                action(proc.pid)
            out, err = proc.communicate(timeout=20)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        assert wait_for(lambda: holds(port.log(), out), 3.0), (out, err, port.log()[-1500:])
