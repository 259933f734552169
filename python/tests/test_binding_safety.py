"""What keeps a script from driving the wrong supply, leaving the output on, or sending
something it did not mean: slots, the way out, argument checks, threads, ports."""

import fcntl
import math
import os
import subprocess
import sys
import threading
import time
import warnings

import pytest

from binding_support import REPO, last_setpoint_shows, log_text, setpoint_lines
from k7340 import K7340Error, K7340Warning, Supply
from k7340.binding import ports as _ports


def port_is_free(path):
    fd = os.open(str(path), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


def quiet_after(sim, action):
    """Runs action and returns whether the supply received nothing meanwhile."""
    time.sleep(0.2)  # the log of what came before is complete
    before = log_text(sim)
    action()
    time.sleep(0.2)  # anything sent would be in the log by now
    return log_text(sim) == before


# --- slots -------------------------------------------------------------------------------------


def test_each_supply_holds_its_own_slot(start_sim):
    first = start_sim("--log")
    second = start_sim("--log", "--vrange", "30000", "--irange", "100", com=2)
    a = Supply(com_port=0)
    b = Supply(com_port=1)
    try:
        assert a.index != b.index
        assert (a.ranges, b.ranges) == ((50000, 200), (30000, 100))
        b.set_voltage(5000)
        assert last_setpoint_shows(second, "output on")
        assert setpoint_lines(log_text(first)) == []
        a.close()
        assert b.ranges == (30000, 100)
        b.read_voltage()
    finally:
        b.close()
        a.close()


def test_an_index_held_by_another_supply_is_refused_before_anything_is_sent(start_sim):
    first = start_sim()
    second = start_sim("--log", com=2)
    with Supply(com_port=0) as a:
        with pytest.raises(
            ValueError, match="index %d is held by the open Supply on %s" % (a.index, first.link)
        ):
            Supply(com_port=1, index=a.index)
        a.read_voltage()
    assert "read EEPROM" not in log_text(second)
    assert port_is_free(second.link)


# --- the way out -------------------------------------------------------------------------------


def test_an_exception_in_the_block_switches_the_output_off(start_sim):
    sim = start_sim("--log")
    with pytest.raises(RuntimeError):
        with Supply(com_port=0) as psu:
            psu.set_voltage(3000)
            raise RuntimeError("script failed")
    assert last_setpoint_shows(sim, "output off")


def test_keep_output_and_read_only_sessions_leave_the_output_as_found(start_sim):
    sim = start_sim("--log")
    with Supply(com_port=0, keep_output=True) as psu:
        psu.set_voltage(3000)
    with Supply(com_port=0) as psu:
        psu.read_voltage()
        psu.clear_faults()
    info = subprocess.run(
        [sys.executable, "-m", "k7340", "info"],
        capture_output=True,
        text=True,
        timeout=30,
        env=dict(os.environ, PYTHONPATH=str(REPO / "python")),
    )
    assert info.returncode == 0, info.stderr
    setpoints = setpoint_lines(log_text(sim))
    assert len(setpoints) == 2 and "output on" in setpoints[-1], setpoints


def test_a_close_that_cannot_zero_the_output_says_so_and_frees_the_port(start_sim):
    sim = start_sim()
    psu = Supply(com_port=0)
    psu.set_voltage(3000)
    sim.control("silent on")
    with pytest.raises(K7340Error, match="output may still be on"):
        psu.close()
    assert psu.closed and port_is_free(sim.link)


def test_a_warning_made_an_error_leaves_no_slot_open(start_sim):
    sim = start_sim("--eeprom", "blank")
    with warnings.catch_warnings():
        warnings.simplefilter("error", K7340Warning)
        with pytest.raises(K7340Warning):
            Supply(com_port=0, index=0)
    assert port_is_free(sim.link)
    with pytest.warns(K7340Warning):
        Supply(com_port=0, index=0).close()


# --- argument checks ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, error, words",
    [
        (70000, ValueError, "volts 70000 is outside 0..50000 V (vrange)"),
        (math.inf, ValueError, "outside 0..50000 V"),
        (math.nan, ValueError, "outside 0..50000 V"),
        (-5, ValueError, "volts -5 is outside"),
        ("1e9", TypeError, "volts must be a number"),
        (b"1", TypeError, "volts must be a number"),
        (True, TypeError, "volts must be a number"),
        (None, TypeError, "volts must be a number"),
    ],
)
def test_set_voltage_refuses_what_is_not_a_setpoint(start_sim, value, error, words):
    sim = start_sim("--log")
    with Supply(com_port=0) as psu:
        with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
            psu.set_voltage(value)
    assert setpoint_lines(log_text(sim)) == []


def test_max_volts_lowers_the_limit(start_sim):
    sim = start_sim("--log")
    with Supply(com_port=0, max_volts=2000) as psu:
        with pytest.raises(ValueError, match="outside 0..2000 V .max_volts."):
            psu.set_voltage(2000.5)
        psu.set_voltage(2000)
    assert last_setpoint_shows(sim, "output off")
    commands = [ln.split("  ", 1)[1] for ln in setpoint_lines(log_text(sim)) if "->" not in ln]
    assert commands == ["set 2000.0 V, output on", "output off"]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: p.eeprom.__setitem__(slice(0, 3), 3), TypeError),
        (lambda p: p.eeprom.__setitem__(slice(0, 3), "abc"), TypeError),
        (lambda p: p.eeprom.__setitem__(slice(0, 3), [1, 2, 256]), ValueError),
        (lambda p: p.write_port(5), TypeError),
        (lambda p: p.write_port([0x03, -1]), ValueError),
        (lambda p: p.set_limits(101, 50), ValueError),
        (lambda p: p.set_watchdog_ms(2560), ValueError),
        (lambda p: p.read_meter(True), TypeError),
        (lambda p: p.read_port(0), ValueError),
    ],
    ids=[
        "slice=int",
        "slice=str",
        "byte 256",
        "write int",
        "write -1",
        "limit 101",
        "watchdog 2560",
        "channel True",
        "read 0",
    ],
)
def test_refused_arguments_send_nothing(start_sim, call, error):
    sim = start_sim("--log")
    with Supply(com_port=0) as psu:
        assert quiet_after(sim, lambda: pytest.raises(error, call, psu))


# --- threads -----------------------------------------------------------------------------------


def test_threads_each_get_their_own_reply(start_sim):
    start_sim()  # 1000 V over the default 250 MOhm load: 4 uA
    with Supply(com_port=0) as psu:
        psu.set_voltage(1000)
        time.sleep(0.2)
        readings = {"volts": [], "microamps": []}
        failures = []

        def read(kind, method):
            try:
                for _ in range(150):
                    readings[kind].append(method())
            except K7340Error as exc:
                failures.append(exc)

        threads = [
            threading.Thread(target=read, args=("volts", psu.read_voltage)),
            threading.Thread(target=read, args=("microamps", psu.read_current)),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert failures == []
    assert all(900 < v < 1100 for v in readings["volts"])
    assert all(3 < i < 5 for i in readings["microamps"])


# --- ports -------------------------------------------------------------------------------------


def test_a_device_path_opens_without_a_mapping_of_its_own(start_sim, monkeypatch):
    sim = start_sim("--fw", "0x0456")
    monkeypatch.delenv("K7340_COM1")
    with Supply(port=str(sim.link)) as psu:
        assert psu.firmware_version == 0x0456 and psu.port == str(sim.link)
        assert not [k for k in os.environ if k.startswith("K7340_COM")]


def test_open_failures_name_the_device_tried(tmp_path, monkeypatch):
    missing = tmp_path / "no-such-adapter"
    monkeypatch.setenv("K7340_COM1", str(missing))
    for arguments in ({"com_port": 0}, {"port": str(missing)}):
        with pytest.raises(K7340Error) as info:
            Supply(**arguments)
        assert info.value.code == -10 and str(info.value).startswith(str(missing) + ": ")
    # Unmapped, COM port 0 is /dev/ttyS0 (not opened here: it may be a console).
    assert _ports.device_name(0, {}) == "/dev/ttyS0"
