"""What went around the safety core, one row per finding: conditioning and the PyMeasure
instrument through the one session layer, outages, trips, latched faults and orphans handled
alike. The outage rows run with the dead-man on and off: with --watchdog 0 only the software's
zero can pass them. Each row reads what the supply received from the simulator's log."""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest

from binding_support import REPO, wait_for
import k7340
from k7340.binding.flags import FaultFlags, StatusFlags
from k7340.testing import simulated_supply

DEADMAN = ["1000", "0"]  # --watchdog: the dead-man on, then off
CONDITION = (
    "condition --port %s --to 5000 --rate %s --dwell 60 --backoff 100 --max-trips 3 "
    "--watchdog %s"
)
RECORDS = tempfile.TemporaryDirectory(prefix="k7340-rows-")  # the tools' flight records


def cli(*argv):
    return subprocess.Popen(
        [sys.executable, "-m", "k7340", *argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=RECORDS.name,
        env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
    )


def sent(port, after=None):
    """The commands the supply received (no EEPROM reads), all or those after a mark."""
    time.sleep(0.1)  # the simulator logs just after it answers
    log = port.log()
    log = log.split(after)[-1] if after else log
    return [ln.split("  ", 1)[1] for ln in log.splitlines() if " > " in ln and "EEPROM" not in ln]


def switched(port, after=None):
    return [c for c in sent(port, after) if c.startswith(("set ", "output off"))]


def outage_ends_at_zero(port, proc, silence="silent on", back="silent off", gone=3.0):
    """The link goes away for gone seconds while the tool holds the output, then comes back:
    the tool ends by itself, nothing is switched on after the link's return, and the output
    ends at zero: the software's zero, or the supply's watchdog while the tool gave up
    waiting for the link (it says so)."""
    assert wait_for(lambda: "output on" in port.log(), 15)
    time.sleep(0.5)
    port.control(silence)
    time.sleep(gone)
    if back:
        port.control(back)
    out, err = proc.communicate(timeout=30)
    after = switched(port, "# control: %s" % (back or silence))
    assert proc.returncode == 1, err
    assert "output on" not in " ".join(after), after
    if after:
        assert after[-1] == "output off", after
    else:
        assert "! watchdog expired" in port.log() and "may still be on" in err, err
    return err


def row_condition_outage(tmp, watchdog):
    with simulated_supply(load_ohms=100e6) as port:
        proc = cli(*(CONDITION % (port, 500, watchdog)).split())
        assert "presumed off" in outage_ends_at_zero(port, proc)


def row_condition_hang_up(tmp, watchdog):
    with simulated_supply(load_ohms=100e6) as port:
        proc = cli(*(CONDITION % (port, 1000, watchdog)).split())
        err = outage_ends_at_zero(port, proc, "hangup", None, 0.0)
        assert "could not be sent" not in err and "output set to zero" in err


def row_failed_zero_is_pending(tmp, watchdog):
    with simulated_supply() as port:
        with k7340.Session(port, watchdog_ms=int(watchdog), lost_after=10) as session:
            session.set_voltage(600)
            port.control("delay 150")  # the zero's reply never comes in time
            with pytest.raises(k7340.K7340Error):
                session.output_off()
            assert session.pending_off
            time.sleep(0.5)
            port.control("delay 0")
            session.poll()
            assert not session.pending_off and not session.supply.owns_output
        after = sent(port, "# control: delay 0")
    fed = [c for c in after if c.startswith("watchdog") and "off" not in c]
    assert after[0] == "output off" and fed == [], after


def row_term_while_lost(tmp, watchdog):
    with simulated_supply() as port:
        proc = cli("ramp", "--port", port, "--to", "1000", "--rate", "5000", "--watchdog", watchdog)
        assert wait_for(lambda: "holding" in port.log() or "output on" in port.log(), 15)
        time.sleep(0.5)
        port.control("silent on")
        time.sleep(0.6)
        proc.send_signal(signal.SIGTERM)
        time.sleep(0.5)
        port.control("silent off")
        out, err = proc.communicate(timeout=30)
        after = switched(port, "# control: silent off")
    assert proc.returncode in (1, 143) and after == ["output off"], (after, err)


def row_pymeasure_outage(tmp, watchdog):
    pytest.importorskip("pymeasure")
    from k7340.pymeasure import K7340

    with simulated_supply(slew=0) as port:
        psu = K7340(port, ramp_rate=500, watchdog_ms=int(watchdog))
        psu.voltage_setpoint = 1500
        port.control("silent on")
        time.sleep(3)
        port.control("silent off")
        psu.shutdown()
        psu.close()
        after = switched(port, "# control: silent off")
    if watchdog != "0":  # its watchdog ran out: the zero at once, no ramp switching it on
        assert after == ["output off"], after
    else:  # no dead-man, nothing switched it off: a ramp down to zero
        assert after[-1] == "output off" and all("1500" not in c for c in after), after


def row_ramp_hold_outage(tmp, watchdog):
    with simulated_supply() as port:
        proc = cli(
            "ramp", "--port", port, "--to", "2000", "--rate", "20000", "--watchdog", watchdog
        )
        err = outage_ends_at_zero(port, proc)
        assert "the output is presumed off" in err and "holds" not in err


def row_refused_on_trip_bits(tmp, watchdog):
    for bits, names in (("fault-bits 0x01", "Fault"), ("status-bits 0x02", "OverI")):
        with simulated_supply() as port:
            port.control(bits)
            with k7340.Supply(port=port) as psu:
                for call in (lambda: psu.ramp_to(1000, 1000), lambda: psu.set_voltage(1000)):
                    with pytest.raises(k7340.K7340Error, match="reports %s" % names):
                        call()
            assert [c for c in sent(port) if not c.startswith("read")] == []


def row_monitor_trip_action(tmp, watchdog):
    for bits in ("status-bits 0x02", "status-bits 0x01", "fault-bits 0x08"):
        with simulated_supply() as port:
            proc = cli("monitor", "--port", port, "--voltage", "1000", "--lines")
            assert wait_for(lambda: "output on" in port.log(), 15)
            port.control(bits)
            out, err = proc.communicate(timeout=20)
            assert proc.returncode == 1 and "tripped" in err, err
            assert switched(port)[-1] == "output off"


def row_no_fault_byte_unasked(tmp, watchdog):
    with simulated_supply(fault_bits="0x08") as port:
        ramp = cli("ramp", "--port", port, "--to", "1000", "--rate", "1000")
        assert ramp.wait(20) == 1 and "reports Fault" in ramp.communicate()[1]
        watch = cli("monitor", "--port", port, "--lines")
        time.sleep(1.0)
        watch.send_signal(signal.SIGINT)
        watch.communicate(timeout=20)
        assert "fault query" not in " ".join(sent(port))
        cleared = cli("clear-faults", "--port", port)
        out, err = cleared.communicate(timeout=20)
        assert cleared.returncode == 1 and "DAC" in out  # the forced bit stays set
        assert "fault query" in " ".join(sent(port))


def row_orphan(tmp, watchdog):
    with simulated_supply(load_ohms=100e6) as port:
        with k7340.Supply(port=port, keep_output=True, watchdog_ms=0) as psu:
            psu.set_voltage(2000)
        info = subprocess.run(
            [sys.executable, "-m", "k7340", "info", "--port", port],
            capture_output=True,
            text=True,
            timeout=30,
            env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
        )
        assert info.returncode == 0 and "no program holds it" in info.stdout
        mark = len(port.log())
        watch = cli("monitor", "--port", port, "--lines")
        time.sleep(4.0)
        watch.send_signal(signal.SIGINT)
        out, err = watch.communicate(timeout=20)
        polls = port.log()[mark:].count("> 03 00 03  read meter 0")
        assert "output on at 2000 V and no program holds it" in err and polls <= 4, polls
        with k7340.Supply(port=port, watchdog_ms=0):  # another program holds it: refused
            held = cli("off", "--port", port)
            assert held.wait(20) == 1 and "busy" in held.communicate()[1]
        off = cli("off", "--port", port)
        assert off.wait(20) == 0
        assert sent(port)[-2:] == ["output off", "watchdog 0 (off)"]


def row_condition_bad_input(tmp, watchdog):
    (tmp / "trips.csv").write_text("kept\n")
    base = ["condition", "--to", "1000", "--rate", "100", "--backoff", "100"]
    with simulated_supply() as port:
        for extra in (
            ["--max-trips", "3", "--csv", str(tmp / "trips.csv")],
            ["--max-trips", "3", "--dwell", "1e9"],
            ["--max-trips", "0"],
            ["--max-trips", "3", "--dwell", "-1"],
        ):
            proc = cli(*base, "--port", port, *extra)
            out, err = proc.communicate(timeout=20)
            assert proc.returncode == 2 and "output set to zero" not in err, (extra, err)
        assert (tmp / "trips.csv").read_text() == "kept\n" and sent(port) == []


def row_absurd_rate(tmp, watchdog):
    with simulated_supply() as port:
        proc = cli(
            *(
                "condition --port %s --to 1000 --rate 1e-9 --backoff 100 --max-trips 3" % (port)
            ).split()
        )
        out, err = proc.communicate(timeout=20)
        assert proc.returncode == 2 and "24 hours" in err and sent(port) == []
        with k7340.Supply(port=port) as psu:
            with pytest.raises(ValueError, match="24 hours"):
                psu.condition(1000, 1e-9, 1, 100, 3)


def row_stop_during_open(tmp, watchdog):
    for wait in (0.5, 4.5):  # in the library's open (the EEPROM), in the identity check
        with simulated_supply(delay_ms=30) as port:
            proc = cli("ramp", "--port", port, "--to", "1000", "--rate", "1000")
            time.sleep(wait)
            began = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=30)
            assert time.monotonic() - began < 2.5 and proc.returncode == 143, err
            assert "nothing was sent" in err and "output set to zero" not in err
            assert switched(port) == []


def row_tango_signal_burst(tmp, watchdog):
    pytest.importorskip("tango")
    from test_tango import DevState, Server, wait_state

    with simulated_supply() as port:
        server = Server(tmp, {"PortPath": str(port)})
        wait_state(server.device, DevState.OFF)
        server.device.Setpoint = 1000
        server.device.On()
        wait_state(server.device, DevState.ON)
        for i in range(60):
            server.process.send_signal(signal.SIGTERM if i % 2 else signal.SIGINT)
            time.sleep(0.002)
        status = server.process.wait(timeout=20)
        assert status in (0, -signal.SIGTERM, -signal.SIGINT), (status, server.output())
        assert switched(port)[-1] == "output off"


def row_moving_while_conditioning(tmp, watchdog):
    from k7340.safety import Reading
    from k7340.tango import model

    tripped = Reading(900.0, 9.0, 25.0, StatusFlags.ENABLE | StatusFlags.OVER_CURRENT, 900.0)
    assert model.state_of(tripped, True)[0] == "MOVING"
    assert model.state_of(tripped, False)[0] == "ALARM"


def row_no_slot_waits(tmp, watchdog):
    with simulated_supply(delay_ms=40) as slow, simulated_supply() as quick:
        opened = threading.Event()
        threading.Thread(target=lambda: k7340.Supply(port=slow).close() or opened.set()).start()
        time.sleep(0.3)
        began = time.monotonic()
        with k7340.Supply(port=quick) as psu:
            psu.read_voltage()
        took = time.monotonic() - began
        assert not opened.is_set() and took < 1.5, took
        assert opened.wait(30)


def row_condition_fault_exit(tmp, watchdog):
    for bits in ("fault-bits 0x08", "status-bits 0x20"):
        with simulated_supply(load_ohms=100e6) as port:
            proc = cli(
                *(
                    "condition --port %s --to 5000 --rate 1000 --backoff 100 --max-trips 3" % (port)
                ).split()
            )
            assert wait_for(lambda: "output on" in port.log(), 15)
            port.control(bits)
            out, err = proc.communicate(timeout=20)
            assert proc.returncode == 1 and switched(port)[-1] == "output off", err


def row_fault_names(tmp, watchdog):
    from k7340.safety import fault_names

    assert FaultFlags(0x01).labels() == ["bit 0x01"]
    assert fault_names(0x09) == ["bit 0x01 (the simulated supply's watchdog ran out)", "DAC"]


def row_idle_owner_is_fed(tmp, watchdog):
    with simulated_supply() as port:
        with k7340.Supply(port=port, watchdog_ms=300) as psu:
            psu.set_voltage(1000)
            time.sleep(1.0)  # three periods and more without a call
            psu.read_voltage()
            assert StatusFlags.ENABLE in psu.status
        log = port.log()
    feeds = [float(ln.split()[0]) for ln in log.splitlines() if "> 04 F0 1E" in ln]
    assert "watchdog expired" not in log and len(feeds) >= 10
    assert max(b - a for a, b in zip(feeds, feeds[1:])) < 0.3


def row_off_from_another_thread_ends_a_ramp(tmp, watchdog):
    with simulated_supply() as port:
        with k7340.Session(port) as session:
            ramp = threading.Thread(target=session.ramp_to, args=(5000, 1000))
            ramp.start()
            assert wait_for(lambda: "set 1000" in port.log(), 10)
            session.output_off()
            ramp.join(5)
            time.sleep(0.2)
            after = switched(port).index("output off")
            assert not ramp.is_alive() and switched(port)[after:] == ["output off"]


ROWS = [
    ("1 conditioning ends at zero after an outage", row_condition_outage, DEADMAN),
    ("2 conditioning reopens after a hang-up and zeroes", row_condition_hang_up, DEADMAN),
    ("3 a zero that failed is pending and goes out first", row_failed_zero_is_pending, DEADMAN),
    ("4 TERM while the port is lost: zero once it is back", row_term_while_lost, DEADMAN),
    ("5 PyMeasure after an outage: the zero, no ramp", row_pymeasure_outage, DEADMAN),
    ("6 ramp says the output is off after an outage", row_ramp_hold_outage, DEADMAN),
    ("7 a tripped or faulted supply gets no ramp", row_refused_on_trip_bits, ["1000"]),
    ("8 monitor --voltage has the trip action", row_monitor_trip_action, ["1000"]),
    ("9 nothing but clear-faults reads the fault byte", row_no_fault_byte_unasked, ["1000"]),
    ("10 orphans: noticed, not fed, switched off", row_orphan, ["1000"]),
    ("11 condition checks everything before the open", row_condition_bad_input, ["1000"]),
    ("12 conditioning rates are bounded", row_absurd_rate, ["1000"]),
    ("13 a stop during a slow open", row_stop_during_open, ["1000"]),
    ("14 Tango survives a burst of signals", row_tango_signal_burst, ["1000"]),
    ("15 Tango stays MOVING while conditioning", row_moving_while_conditioning, ["1000"]),
    ("16 no slot waits for another's open", row_no_slot_waits, ["1000"]),
    ("17 conditioning ended by a fault exits 1", row_condition_fault_exit, ["1000"]),
    ("18 fault bits are never without a name", row_fault_names, ["1000"]),
    ("19 an idle owner's output stays fed", row_idle_owner_is_fed, ["1000"]),
    (
        "an Off from another thread ends a running ramp",
        row_off_from_another_thread_ends_a_ramp,
        ["1000"],
    ),
]
CASES = [(name, row, w) for name, row, watchdogs in ROWS for w in watchdogs]


@pytest.mark.parametrize(
    "row, watchdog",
    [(row, w) for _, row, w in CASES],
    ids=["%s, watchdog %s" % (name, w) for name, _, w in CASES],
)
def test_one_path_for_everything_that_holds_an_output(tmp_path, row, watchdog):
    row(tmp_path, watchdog)
