"""End-to-end runs of the real k7340config against k7340sim over a pseudo-terminal.

Every run compares the whole standard output byte for byte and the exit status. The utility
finds the simulated supply through K7340_COM1 (COM port 0 of the Linux library), which the
`sim` fixture points at the newest simulator.
"""

import errno
import fcntl
import os
import select
import signal
import subprocess
import termios
import time

import pytest

from config_runs import (
    BANNER,
    CANCELED,
    CONFIG,
    CONFIGURING,
    NOT_CALIBRATED,
    RUN_TIMEOUT,
    checksum_ok,
    configured_warning,
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


def commands_sent(supply):
    """The command frames the supply received, one log line each ("... > 05 F1 40 ...")."""
    return [line for line in supply.log().splitlines() if line.split(" ")[1:2] == [">"]]


def eeprom_writes(supply):
    return [line for line in commands_sent(supply) if "write EEPROM" in line]


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
    first = sim("--eeprom-file", eeprom_file, "--vrange", "50000", "--irange", "200",
                "--silent-after-writes", "3")
    out, status = run_config(["0", "20000", "400"], answer=b"y")
    assert out.endswith(b"FAILED!\nERROR: Device read failed\n")
    assert status == 1
    first.stop()
    half = open(eeprom_file, "rb").read()
    assert half[64:68] == bytes([0x4E, 0x20, 0x01, 0xC8])  # 200 = 0x00C8: byte 67 never went

    # The same unit powered again: its checksum no longer matches.
    sim("--eeprom-file", eeprom_file)
    out, status = run_config(["0", "20000", "400"], answer=b"n")
    assert out == (
        BANNER + NOT_CALIBRATED + b"n\n" + CANCELED + b"ERROR: EEPROM checksum error\n"
    )
    assert status == 1


# --- a terminal on standard input ----------------------------------------------------------


def spawn_on_terminal(args):
    """Starts k7340config with a new pty as its controlling terminal (so Ctrl-C signals it).
    Returns (process, master, slave); the caller closes both descriptors."""
    master, slave = os.openpty()

    def make_controlling_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen(
        [CONFIG, *args],
        stdin=slave,
        stdout=slave,
        stderr=slave,
        preexec_fn=make_controlling_terminal,
    )
    return proc, master, slave


def read_until(master, wanted):
    data = b""
    deadline = time.monotonic() + RUN_TIMEOUT
    while not data.endswith(wanted):
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("no %r on the terminal; got %r" % (wanted, data))
        if select.select([master], [], [], left)[0]:
            data += os.read(master, 4096)
    return data


def read_to_end(master, proc):
    proc.wait(timeout=RUN_TIMEOUT)
    data = b""
    while select.select([master], [], [], 0.2)[0]:
        try:
            chunk = os.read(master, 4096)
        except OSError as e:
            if e.errno == errno.EIO:  # nothing holds the slave side any more
                break
            raise
        if not chunk:
            break
        data += chunk
    return data


def terminal_settings(fd):
    attrs = termios.tcgetattr(fd)
    return attrs[:6] + [attrs[6][termios.VMIN], attrs[6][termios.VTIME]]


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def kill_and_close(proc, *fds):
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    for fd in fds:
        os.close(fd)


TERMINAL_KEYS = [
    # bytes the key sends, the echo the utility prints, answer is yes
    (b"y", b"y", True),
    (b"n", b"n", False),
    (b"\r", b"\n", False),  # Enter comes in as a line end (ICRNL); no second Enter awaited
    (b"\x1b[A", b"\x1b", False),  # an arrow key answers with its first code only
]


@pytest.mark.parametrize("key,echo,yes", TERMINAL_KEYS, ids=repr)
def test_terminal_key_read_without_echo_or_enter(sim, key, echo, yes):
    supply = sim("--eeprom", "configured", "--vrange", "30000", "--irange", "300")
    proc, master, slave = spawn_on_terminal(["0", "40000", "250"])
    try:
        before = terminal_settings(slave)
        prompt = crlf(BANNER + configured_warning(30000, 300))
        seen = read_until(master, prompt)
        wait_for_key_mode(slave)  # the prompt is flushed just before the terminal is switched
        os.write(master, key)
        rest = read_to_end(master, proc)
        after = terminal_settings(slave)
    finally:
        kill_and_close(proc, master, slave)
    tail = CONFIGURING + b"OK" if yes else CANCELED
    # The terminal's own echo would put the key in front of the utility's echo.
    assert seen + rest == prompt + crlf(echo + b"\n" + tail)
    assert proc.returncode == 0
    assert after == before
    assert ranges_in(supply.eeprom()) == ((40000, 250) if yes else (30000, 300))


def wait_for_key_mode(slave):
    """Waits until the utility has left canonical mode: it is then waiting for the key."""
    deadline = time.monotonic() + RUN_TIMEOUT
    while termios.tcgetattr(slave)[3] & termios.ICANON:
        assert time.monotonic() < deadline, "terminal never left canonical mode"
        time.sleep(0.01)


# A minimal job-control shell: leads the terminal's session and runs k7340config as its own
# foreground job, so that Ctrl-Z really stops it. Arguments: the descriptor to report each stop
# on, the descriptor to read a line from before the job continues in the foreground, and the
# command line of the job.
JOB_SHELL = r"""
import os, signal, sys
report, resume = os.fdopen(int(sys.argv[1]), "w"), os.fdopen(int(sys.argv[2]))
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    os.execv(sys.argv[3], sys.argv[3:])
os.setpgid(pid, pid)
os.tcsetpgrp(0, pid)
while True:
    _, status = os.waitpid(pid, os.WUNTRACED)
    if not os.WIFSTOPPED(status):
        break
    report.write("stopped\n"); report.flush()
    resume.readline()
    os.tcsetpgrp(0, pid)
    os.kill(pid, signal.SIGCONT)
os.tcsetpgrp(0, os.getpgrp())
sys.exit(os.waitstatus_to_exitcode(status))
"""


def test_terminal_handed_back_while_stopped(sim):
    supply = sim("--eeprom", "blank")
    master, slave = os.openpty()
    report_r, report_w = os.pipe()
    resume_r, resume_w = os.pipe()

    def make_controlling_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    job = [CONFIG, "0", "40000", "250"]
    shell = subprocess.Popen(
        ["/usr/bin/python3", "-c", JOB_SHELL, str(report_w), str(resume_r), *job],
        stdin=slave, stdout=slave, stderr=slave,
        pass_fds=(report_w, resume_r),
        preexec_fn=make_controlling_terminal,
    )
    os.close(report_w)
    os.close(resume_r)
    try:
        before = terminal_settings(slave)
        seen = read_until(master, crlf(NOT_CALIBRATED))
        wait_for_key_mode(slave)
        os.write(master, b"\x1a")  # Ctrl-Z
        assert select.select([report_r], [], [], RUN_TIMEOUT)[0], "the job never stopped"
        assert os.read(report_r, 64) == b"stopped\n"
        stopped = terminal_settings(slave)
        os.write(resume_w, b"fg\n")
        wait_for_key_mode(slave)  # the key is awaited again, without echo
        os.write(master, b"y")
        rest = read_to_end(master, shell)
        after = terminal_settings(slave)
    finally:
        kill_and_close(shell, master, slave, report_r, resume_w)
    assert stopped == before
    assert after == before
    assert seen + rest == crlf(BANNER + NOT_CALIBRATED + b"y\n" + CONFIGURING + b"OK")
    assert shell.returncode == 0
    assert ranges_in(supply.eeprom()) == (40000, 250)


def test_terminal_restored_after_ctrl_c(sim):
    supply = sim("--eeprom", "blank")
    proc, master, slave = spawn_on_terminal(["0", "40000", "250"])
    try:
        before = terminal_settings(slave)
        read_until(master, crlf(NOT_CALIBRATED))
        wait_for_key_mode(slave)
        os.write(master, b"\x03")
        proc.wait(timeout=RUN_TIMEOUT)
        after = terminal_settings(slave)
    finally:
        kill_and_close(proc, master, slave)
    assert proc.returncode == -signal.SIGINT
    assert after == before
    assert eeprom_writes(supply) == []
