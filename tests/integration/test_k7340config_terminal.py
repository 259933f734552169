"""k7340config with a terminal on its standard input: one key read without echo or Enter, the
terminal handed back while the program is stopped, and restored after Ctrl-C.
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
    configured_warning,
    eeprom_writes,
    ranges_in,
    requires_config,
)

pytestmark = requires_config


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
        stdin=slave,
        stdout=slave,
        stderr=slave,
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
