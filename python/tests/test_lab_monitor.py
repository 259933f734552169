"""python -m k7340 monitor run as a user runs it, stopped every way it can be: each signal, a
closed pipe, a lost port, a kill with the watchdog armed. What the supply received is read
from the simulator's log."""

import os
import signal
import subprocess
import sys
import tempfile

import pytest

from binding_support import REPO, wait_for
from k7340.testing import simulated_supply


def ignore_stop_signals():  # as `nohup` or a shell's background job would leave them
    for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT"):
        signal.signal(getattr(signal, name), signal.SIG_IGN)


def start_monitor(port, *options):
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"), K7340_COM1=port)
    return subprocess.Popen(
        [sys.executable, "-m", "k7340", "monitor", *options],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        preexec_fn=ignore_stop_signals,
        cwd=tempfile.mkdtemp(),
    )  # where its flight records go


def commands(port):
    return [
        ln.split("  ", 1)[1]
        for ln in port.log().splitlines()
        if " > " in ln and "read EEPROM" not in ln
    ]


def polled_after_on(port):
    return "read meter 0" in port.log().partition("output on")[2]


def last_setpoint(port):
    return [c for c in commands(port) if c.startswith("set ") or c == "output off"][-1]


def stop(monitor, signum):
    os.kill(monitor.pid, signum)
    try:
        out, err = monitor.communicate(timeout=20)
    finally:
        if monitor.poll() is None:
            monitor.kill()
            monitor.wait()
    return monitor.returncode, out, err


@pytest.mark.parametrize("way", ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "broken pipe"])
def test_every_way_out_zeroes_the_output(way):
    with simulated_supply() as port:
        monitor = start_monitor(port, "--voltage", "1000")
        assert wait_for(lambda: polled_after_on(port))
        if way == "broken pipe":
            monitor.stdout.close()  # the reader of `k7340 monitor | head` is gone
            status, err = monitor.wait(timeout=20), monitor.stderr.read()
        else:
            status, _, err = stop(monitor, getattr(signal, way))
        assert wait_for(lambda: last_setpoint(port) == "output off"), commands(port)[-5:]
    if way == "broken pipe":
        assert (status, err) == (
            0,
            "k7340: standard output closed; stopping\n" "k7340: output set to zero on %s\n" % port,
        )
    else:
        assert (status, err) == (
            128 + getattr(signal, way),
            "k7340: output set to zero on %s\n" % port,
        )


def test_a_stop_during_the_open_comes_before_the_setpoint():
    with simulated_supply(delay_ms=30) as port:  # the open's 128 exchanges take about 4 s
        monitor = start_monitor(port, "--voltage", "1000")
        assert wait_for(lambda: "read EEPROM 20" in port.log(), 20)
        status, out, err = stop(monitor, signal.SIGTERM)
        assert status == 128 + signal.SIGTERM and out == "", err
        assert "output on" not in port.log()


def test_a_hang_up_ends_the_monitor_at_zero_once_the_same_supply_is_back():
    """An outage: the output is presumed off, the monitor ends (status 1), and the zero goes
    out once the port is back; nothing is switched on again."""
    with simulated_supply() as port:
        monitor = start_monitor(port, "--voltage", "1000", "--lines")
        assert wait_for(lambda: polled_after_on(port))
        port.control("hangup")
        out, err = monitor.communicate(timeout=20)
        after = port.log().split("# new pty")[-1]
    assert monitor.returncode == 1, err
    records = [ln for ln in err.splitlines() if ln.startswith("k7340: flight record")]
    assert (
        len(records) == 1
        and "(lost link: the supply on %s does not answer (Device write "
        "failed))" % port in records[0]
    )
    said = [ln for ln in err.splitlines() if ln not in records]
    assert said[0] == (
        "k7340: lost the supply on %s (Device write failed); reopening it when it answers (no "
        "setpoint is re-sent)" % port
    )
    assert "the output is presumed off: the link was lost (Device write failed)" in said[1]
    assert said[-2:] == [
        "k7340: the supply on %s answers again (the same supply; no setpoint re-sent) (the zero "
        "setpoint it was owed went out first)" % port,
        "k7340: output set to zero on %s" % port,
    ]
    assert "output on" not in after and "output off" in after


def test_a_zero_setpoint_that_cannot_be_sent_says_the_output_may_be_on():
    with simulated_supply() as port:
        monitor = start_monitor(port, "--voltage", "1000", "--lines")
        assert wait_for(lambda: polled_after_on(port))
        port.control("silent on")
        status, _, err = stop(monitor, signal.SIGINT)
    assert status == 1
    assert err.splitlines()[-1].startswith("k7340: %s: the zero setpoint could not be sent" % port)
    assert "the output may still be on" in err.splitlines()[-1]


def test_a_killed_monitor_leaves_the_output_to_the_watchdog():
    with simulated_supply() as port:
        monitor = start_monitor(port, "--voltage", "1000", "--watchdog", "300")
        assert wait_for(lambda: polled_after_on(port))
        stop(monitor, signal.SIGKILL)
        assert wait_for(lambda: "! watchdog expired after 300 ms" in port.log())
        assert [c for c in commands(port) if not c.startswith("read")][:2] == [
            "watchdog 30 (300 ms)",
            "set 1000.0 V, output on",
        ]
