"""The binding against k7340sim on a pty: errors, warnings, a session, EEPROM, ranges."""

import fcntl
import math
import os
import time
import warnings

import pytest

from binding_support import log_text, setpoint_lines, wait_for
from k7340 import FaultFlags, K7340Error, K7340Warning, StatusFlags, Supply


def last_setpoint(log):
    lines = setpoint_lines(log)
    return lines[-1] if lines else ""


# --- errors ------------------------------------------------------------------------------------


def test_missing_port_raises_minus_10(tmp_path, monkeypatch):
    monkeypatch.setenv("K7340_COM1", str(tmp_path / "no-such-port"))
    with pytest.raises(K7340Error) as info:
        Supply(com_port=0)
    assert (info.value.code, info.value.text) == (-10, "COM port busy or not found")


def test_failed_open_releases_the_port(start_sim):
    sim = start_sim("--silent")
    with pytest.raises(K7340Error) as info:
        Supply(com_port=0)
    assert info.value.code == -4
    # The binding closed the slot: nobody holds the port's lock any more.
    fd = os.open(str(sim.link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    finally:
        os.close(fd)


def test_port_held_by_another_process_is_a_system_error(start_sim):
    sim = start_sim()
    fd = os.open(str(sim.link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(K7340Error) as info:
            Supply(com_port=0)
        assert info.value.code > 0 and info.value.text == "System error"
    finally:
        os.close(fd)


def test_closed_supply_refuses_every_call(start_sim):
    start_sim()
    psu = Supply(com_port=0)
    psu.close()
    psu.close()  # a second close does nothing
    for call in (
        psu.read_voltage,
        lambda: psu.status,
        lambda: psu.eeprom[0],
        lambda: psu.set_voltage(0),
    ):
        with pytest.raises(K7340Error) as info:
            call()
        assert (info.value.code, info.value.text) == (-1, "Device closed")
    # Another Supply that reopened the slot is not driven through the closed one.
    with Supply(com_port=0) as again:
        with pytest.raises(K7340Error):
            psu.read_voltage()
        again.read_voltage()


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.read_meter(4),
        lambda p: p.read_meter(-1),
        lambda p: p.read_raw_meter(3),
        lambda p: p.set_voltage(math.nan),
        lambda p: p.set_ranges(50000, 501),
        lambda p: p.set_ranges(999, 200),
        lambda p: p.eeprom[128],
        lambda p: p.eeprom.__setitem__(-1, 0),
    ],
    ids=[
        "meter 4",
        "meter -1",
        "raw meter 3",
        "NaN volts",
        "irange 501",
        "vrange 999",
        "eeprom[128]",
        "eeprom[-1]=",
    ],
)
def test_illegal_arguments_raise_minus_2(start_sim, call):
    sim = start_sim("--log")
    with Supply(com_port=0) as psu:
        with pytest.raises(K7340Error) as info:
            call(psu)
        assert (info.value.code, info.value.text) == (-2, "Illegal argument value")
        assert psu.ranges == (50000, 200)  # nothing adopted
    assert "output on" not in log_text(sim)


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.set_ranges(2**32 + 50000, 200),  # would arrive as 50000
        lambda p: p.set_watchdog_ms(-1),
        lambda p: p.eeprom.__setitem__(3, 0x100),
        lambda p: p.eeprom.__setitem__(slice(0, 2), b"\x01"),
    ],
)
def test_values_that_do_not_fit_are_refused_before_the_library(start_sim, call):
    start_sim()
    with Supply(com_port=0) as psu:
        with pytest.raises(ValueError):
            call(psu)


# --- open warnings -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "preset, code, text",
    [("blank", -9, "EEPROM checksum error"), ("bad-ranges", -8, "Invalid setpoint/meter ranges")],
)
def test_unusable_eeprom_warns_and_uses_default_ranges(start_sim, preset, code, text):
    start_sim("--eeprom", preset)
    with pytest.warns(K7340Warning) as record:
        psu = Supply(com_port=0)
    with psu:
        assert [(w.message.code, str(w.message)) for w in record] == [(code, text)]
        assert psu.ranges == (60000, 500)
        psu.read_voltage()  # the supply answers


def test_configured_eeprom_opens_quietly_with_its_ranges(start_sim):
    start_sim("--vrange", "40000", "--irange", "300")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with Supply(com_port=0) as psu:
            assert psu.ranges == (40000, 300)


# --- a session ---------------------------------------------------------------------------------


def test_session_set_enable_read_back(start_sim):
    sim = start_sim("--log", "--load-ohms", "100e6")
    with Supply(com_port=0) as psu:
        psu.set_voltage(1000.0)
        assert StatusFlags.ENABLE in psu.status
        assert wait_for(lambda: abs(psu.read_voltage() - 1000.0) < 10.0)
        # 1000 V over 100 MOhm: 10 uA
        assert psu.read_current() == pytest.approx(10.0, abs=0.5)
        assert 0.0 < psu.read_temperature() < 250.0
        assert "output on" in last_setpoint(log_text(sim))

        psu.output_off()
        assert StatusFlags.ENABLE not in psu.status
        assert wait_for(lambda: psu.read_voltage() < 20.0)
    assert "output off" in last_setpoint(log_text(sim))


def test_below_20_volts_the_output_is_off(start_sim):
    start_sim()
    with Supply(com_port=0) as psu:
        for volts, enabled in ((19.999, False), (20.0, True), (0, False), (50000, True)):
            psu.set_voltage(volts)
            assert (StatusFlags.ENABLE in psu.status) == enabled, volts
        psu.output_off()


@pytest.mark.parametrize(
    "status_bits, fault_bits, status, faults",
    [
        ("0x00", "0x00", StatusFlags(0), FaultFlags(0)),
        ("0x21", "0x00", StatusFlags.OVER_VOLTAGE | StatusFlags.OVER_TEMPERATURE, FaultFlags(0)),
        (
            "0x40",
            "0x88",
            StatusFlags.COM_ERROR | StatusFlags.FAULT,
            FaultFlags.DAC | FaultFlags.EEPROM_CHECKSUM,
        ),
        ("0x00", "0x60", StatusFlags.FAULT, FaultFlags.ADC_CURRENT | FaultFlags.ADC_VOLTAGE),
    ],
)
def test_flags_from_the_supply(start_sim, status_bits, fault_bits, status, faults):
    start_sim("--status-bits", status_bits, "--fault-bits", fault_bits)
    with Supply(com_port=0) as psu:
        assert psu.status == status  # before the fault byte is read: a poll reads no more
        acknowledged = psu.clear_faults()
        assert acknowledged == faults and isinstance(acknowledged, FaultFlags)
        assert isinstance(psu.status, StatusFlags)


def test_firmware_version(start_sim):
    start_sim("--fw", "0x0456")
    with Supply(com_port=0) as psu:
        assert psu.firmware_version == 0x0456


def test_raw_meters_keep_their_widths(start_sim):
    start_sim()
    with Supply(com_port=0) as psu:
        for channel, top in ((0, 0x7FFFFF), (1, 0x7FFFFF), (2, 0xFFFFFF)):
            assert 0 <= psu.read_raw_meter(channel) <= top


def test_raw_port_carries_a_firmware_query(start_sim):
    start_sim("--fw", "0x0123")
    with Supply(com_port=0) as psu:
        psu.write_port(b"\x03\xF3\xF6")
        reply = b""
        while len(reply) < 5:
            reply += psu.read_port(5 - len(reply))
        assert reply[2:4] == b"\x01\x23"
        assert sum(reply[:4]) % 256 == reply[4]


# --- EEPROM and ranges -------------------------------------------------------------------------


def test_set_ranges_programs_the_eeprom(start_sim):
    start_sim()
    with Supply(com_port=0) as psu:
        psu.set_ranges(20000, 400)
        assert psu.ranges == (20000, 400)
        assert psu.eeprom[64:68] == bytes([0x4E, 0x20, 0x01, 0x90])
        image = bytes(psu.eeprom)
        assert len(image) == 128
        assert int.from_bytes(image[126:128], "big") == sum(image[:126])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with Supply(com_port=0) as psu:
            assert psu.ranges == (20000, 400)


def test_eeprom_bytes_written_are_read_back_and_break_the_checksum(start_sim):
    start_sim()
    with Supply(com_port=0) as psu:
        old = psu.eeprom[10]
        psu.eeprom[10] = old ^ 0x5A
        psu.eeprom[20:23] = b"\x01\x02\x03"
        assert psu.eeprom[10] == old ^ 0x5A
        assert psu.eeprom[20:23] == b"\x01\x02\x03"
        assert list(psu.eeprom[20:23]) == [psu.eeprom[a] for a in (20, 21, 22)]
    # The writes went around the checksum: the next open sees it stale.
    with pytest.warns(K7340Warning, match="EEPROM checksum error"):
        Supply(com_port=0).close()


# --- reset, watchdog, limits -------------------------------------------------------------------


def test_reset_switches_the_output_off_and_reports_itself_once(start_sim):
    sim = start_sim("--log")
    with Supply(com_port=0) as psu:
        psu.set_voltage(2000.0)
        psu.reset()
        psu.read_voltage()
        assert StatusFlags.RESET in psu.status
        assert StatusFlags.ENABLE not in psu.status
        assert wait_for(lambda: psu.read_voltage() < 20.0)
        assert StatusFlags.RESET not in psu.status
    assert "output off" in last_setpoint(log_text(sim))


def test_watchdog_switches_off_an_idle_output(start_sim):
    start_sim()
    with Supply(com_port=0, watchdog_ms=0) as psu:  # the supply's own watchdog, no heartbeat
        psu.set_watchdog_ms(100)
        psu.set_voltage(1000.0)
        assert StatusFlags.ENABLE in psu.status
        time.sleep(0.5)  # no command for five watchdog periods
        psu.read_voltage()
        assert StatusFlags.ENABLE not in psu.status
        assert StatusFlags.FAULT in psu.status
        # The supply latches its watchdog fault in bit 0, which has no name.
        faults = psu.clear_faults()
        assert int(faults) & 0x01 and faults.labels() == ["bit 0x01"]
        psu.set_watchdog_ms(0)


@pytest.mark.parametrize(
    "limits, flag",
    [((10, 100), StatusFlags.OVER_VOLTAGE), ((100, 1), StatusFlags.OVER_CURRENT)],
)
def test_limits_raise_their_status_bits(start_sim, limits, flag):
    # 10 % of 50000 V and 1 % of 200 uA are both well below 10000 V over 250 MOhm (40 uA).
    start_sim("--load-ohms", "250e6")
    with Supply(com_port=0) as psu:
        psu.set_limits(*limits)
        psu.set_voltage(10000.0)
        assert wait_for(lambda: psu.read_voltage() > 9000.0)
        status = psu.status
        assert flag in status
        assert (StatusFlags.OVER_VOLTAGE | StatusFlags.OVER_CURRENT) & ~flag & status == 0
        psu.set_limits(100, 100)
        psu.read_voltage()
        assert flag not in psu.status
        psu.output_off()
