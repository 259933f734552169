"""End-to-end runs of the real k7340config against k7340sim over a pseudo-terminal.

Every run compares the whole standard output byte for byte and the exit status. The utility
finds the simulated supply through K7340_COM1 (COM port 0 of the Linux library), which the
`sim` fixture points at the newest simulator.
"""

import fcntl
import os

import pytest

from config_runs import (
    BANNER,
    CANCELED,
    CONFIGURING,
    NOT_CALIBRATED,
    checksum_ok,
    commands_sent,
    configured_warning,
    eeprom_writes,
    ranges_in,
    requires_config,
    run_config,
)

pytestmark = requires_config

USAGE = (
    b"Usage: k7340config <comport> <vrange> <irange>\n"
    b" comport - COM port designator: 0=COM1, 1=COM2, etc.\n"
    b' vrange  - maximum "output voltage swing" from data sheet (2000 to 60000)\n'
    b' irange  - "I Limit" from data sheet (50 to 20000)\n'
    b"Examples:\n"
    b' "k7340config 0 50000 500"  - COM1, 50 kV, 500 uA\n'
    b' "k7340config 1 20000 1000" - COM2, 20 kV, 1 mA\n'
)
WRONG_COUNT = b"ERROR: wrong number of arguments\n"
VRANGE_MSG = b"ERROR: vrange must fall within 2000:60000\n"
IRANGE_MSG = b"ERROR: irange must fall within 50:20000\n"
CANT_OPEN = b"Can't open the power supply\n"


def echo_of(key):
    # End of input has no key to echo; the answer is no and the line still ends.
    return key[:1] + b"\n"


# --- the command line: nothing reaches the supply ------------------------------------------

COMMAND_LINE_CASES = [
    ([], WRONG_COUNT + USAGE),
    (["0", "50000"], WRONG_COUNT + USAGE),
    (["0", "50000", "500", "1"], WRONG_COUNT + USAGE),
    (["0", "1999", "500"], VRANGE_MSG + USAGE),
    (["0", "60001", "500"], VRANGE_MSG + USAGE),
    (["0", "50000", "49"], IRANGE_MSG + USAGE),
    (["0", "50000", "20001"], IRANGE_MSG + USAGE),
    (["0", "100", "5"], VRANGE_MSG + USAGE),
    (["0", "0x10", "500"], VRANGE_MSG + USAGE),
    (["0", "V50000", "500"], VRANGE_MSG + USAGE),
    (["0", "50000", "uA"], IRANGE_MSG + USAGE),
    (["0", "4294997296", "500"], VRANGE_MSG + USAGE),  # 2^32 + 30000 must not wrap into range
    (["0", "50000", "-4294966796"], IRANGE_MSG + USAGE),  # -(2^32) + 500 likewise
    (["COM1", "50000", "500"], USAGE),
    (["", "50000", "500"], USAGE),
    (["COM1", "100", "500"], VRANGE_MSG + USAGE),
]


@pytest.mark.parametrize("args,expected", COMMAND_LINE_CASES, ids=repr)
def test_command_line_errors_print_usage_and_send_nothing(sim, args, expected):
    # A unit with out-of-bounds ranges would be written at once if the utility opened it.
    supply = sim("--eeprom", "bad-ranges")
    before = supply.eeprom()
    out, status = run_config(args, answer=b"y")
    assert out == BANNER + expected
    assert status == 1
    assert commands_sent(supply) == []
    assert supply.eeprom() == before


# --- stored ranges out of bounds: configured at once --------------------------------------

DIRECT_CASES = [
    # arguments, ranges the EEPROM then holds
    (["0", "2000", "50"], (2000, 50)),
    (["0", "60000", "500"], (60000, 500)),
    (["0x10", "50000V", "+500"], (50000, 500)),
    ([" 0", " 20000", " 123"], (20000, 123)),
]


@pytest.mark.parametrize("args,ranges", DIRECT_CASES, ids=repr)
def test_out_of_bounds_eeprom_is_configured_without_question(sim, args, ranges):
    supply = sim("--eeprom", "bad-ranges")
    # Standard input is at its end: a question would be answered no and show in the output.
    out, status = run_config(args)
    assert out == BANNER + CONFIGURING + b"OK"
    assert status == 0
    eeprom = supply.eeprom()
    assert ranges_in(eeprom) == ranges
    assert checksum_ok(eeprom)
    assert len(eeprom_writes(supply)) == 6


@pytest.mark.parametrize("irange", ["1000", "20000", "501"])
def test_irange_beyond_the_supply_is_refused_and_nothing_written(sim, irange):
    supply = sim("--eeprom", "bad-ranges")
    before = supply.eeprom()
    out, status = run_config(["0", "20000", irange])
    assert out == BANNER + CONFIGURING + b"FAILED!\nERROR: Illegal argument value\n"
    assert status == 1
    assert eeprom_writes(supply) == []
    assert supply.eeprom() == before


# --- a configured unit ------------------------------------------------------------------------

# Keys that mean no; the byte after the first must never be read as a second answer.
NO_KEYS = [b"n", b"N", b"\n", b"\x1b", b"x", b" ", b"ny", b""]


@pytest.mark.parametrize("key", NO_KEYS, ids=repr)
def test_configured_unit_declined_changes_nothing(sim, key):
    supply = sim("--eeprom", "configured", "--vrange", "30000", "--irange", "300")
    before = supply.eeprom()
    out, status = run_config(["0", "50000", "500"], answer=key)
    assert out == BANNER + configured_warning(30000, 300) + echo_of(key) + CANCELED
    assert status == 0
    assert eeprom_writes(supply) == []
    assert supply.eeprom() == before


@pytest.mark.parametrize("key", [b"y", b"Y"])
def test_configured_unit_overwritten_on_yes(sim, key):
    supply = sim("--eeprom", "configured", "--vrange", "30000", "--irange", "300")
    out, status = run_config(["0", "40000", "250"], answer=key)
    assert out == BANNER + configured_warning(30000, 300) + echo_of(key) + CONFIGURING + b"OK"
    assert status == 0
    assert ranges_in(supply.eeprom()) == (40000, 250)


def test_configured_unit_with_the_same_ranges_is_still_asked(sim):
    sim("--eeprom", "configured", "--vrange", "50000", "--irange", "500")
    out, status = run_config(["0", "50000", "500"], answer=b"Y")
    assert out == BANNER + configured_warning(50000, 500) + b"Y\n" + CONFIGURING + b"OK"
    assert status == 0


# --- a blank (not calibrated) unit ---------------------------------------------------------


@pytest.mark.parametrize("key", [b"\n", b"n", b"\x1b", b""], ids=repr)
def test_blank_unit_declined_reports_checksum_error(sim, key):
    supply = sim("--eeprom", "blank")
    before = supply.eeprom()
    out, status = run_config(["0", "50000", "500"], answer=key)
    assert out == (
        BANNER + NOT_CALIBRATED + echo_of(key) + CANCELED + b"ERROR: EEPROM checksum error\n"
    )
    assert status == 1
    assert eeprom_writes(supply) == []
    assert supply.eeprom() == before


@pytest.mark.parametrize("key", [b"Y", b"y"])
def test_blank_unit_configured_then_found_configured(sim, key):
    supply = sim("--eeprom", "blank")
    out, status = run_config(["0", "20000", "400"], answer=key)
    assert out == BANNER + NOT_CALIBRATED + echo_of(key) + CONFIGURING + b"OK"
    assert status == 0
    eeprom = supply.eeprom()
    assert eeprom[64:68] == bytes([0x4E, 0x20, 0x01, 0x90])
    assert checksum_ok(eeprom)

    out, status = run_config(["0", "50000", "500"], answer=b"n")
    assert out == BANNER + configured_warning(20000, 400) + b"n\n" + CANCELED
    assert status == 0


# --- supplies that cannot be reached or stop answering -------------------------------------


def test_com_port_that_does_not_exist(tmp_path):
    env = dict(os.environ)
    for name in [n for n in env if n.startswith("K7340_COM")]:
        del env[name]
    env["K7340_COM4"] = str(tmp_path / "no-such-port")
    out, status = run_config(["3", "50000", "500"], env=env)
    assert out == BANNER + CANT_OPEN + b"ERROR: COM port busy or not found\n"
    assert status == 1


def test_port_held_by_another_program(sim):
    supply = sim("--eeprom", "configured")
    # Hold the port as the library itself does: an exclusive lock on the device.
    fd = os.open(str(supply.link), os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        out, status = run_config(["0", "50000", "500"])
    finally:
        os.close(fd)
    assert out == BANNER + CANT_OPEN + b"ERROR: System error\n"
    assert status == 1


def test_supply_silent_from_the_start(sim):
    sim("--silent")
    out, status = run_config(["0", "50000", "500"], answer=b"y")
    assert out == BANNER + CANT_OPEN + b"ERROR: Device read failed\n"
    assert status == 1


@pytest.mark.parametrize("answered", [1, 3, 5])
def test_supply_silent_during_the_writes(sim, answered):
    supply = sim("--eeprom", "bad-ranges", "--silent-after-writes", str(answered))
    out, status = run_config(["0", "20000", "400"])
    assert out == BANNER + CONFIGURING + b"FAILED!\nERROR: Device read failed\n"
    assert status == 1
    # The library stops at the first unanswered write.
    assert len(eeprom_writes(supply)) == answered + 1


def test_unit_left_half_written_is_found_not_calibrated(sim, tmp_path):
    eeprom_file = str(tmp_path / "unit.bin")
    first = sim(
        "--eeprom-file",
        eeprom_file,
        "--vrange",
        "50000",
        "--irange",
        "200",
        "--silent-after-writes",
        "3",
    )
    out, status = run_config(["0", "20000", "400"], answer=b"y")
    assert out.endswith(b"FAILED!\nERROR: Device read failed\n")
    assert status == 1
    first.stop()
    half = open(eeprom_file, "rb").read()
    assert half[64:68] == bytes([0x4E, 0x20, 0x01, 0xC8])  # 200 = 0x00C8: byte 67 never went

    # The same unit powered again: its checksum no longer matches.
    sim("--eeprom-file", eeprom_file)
    out, status = run_config(["0", "20000", "400"], answer=b"n")
    assert out == (BANNER + NOT_CALIBRATED + b"n\n" + CANCELED + b"ERROR: EEPROM checksum error\n")
    assert status == 1
