"""k7340sim's command line: refusals that say what is allowed, and a link it must not take."""

import os
import subprocess
import time

import pytest

from k7340.testing import simulator_path


def run_sim(*args):
    return subprocess.run(
        [str(simulator_path()), *args],
        capture_output=True,
        text=True,
        timeout=10,
        stdin=subprocess.DEVNULL,
    )


@pytest.mark.parametrize(
    "option, value, allowed",
    [
        ("--vrange", "100000", "a whole number 0..65535 (decimal or 0x hex)"),
        ("--eeprom", "full", "configured, blank or bad-ranges"),
        ("--load-ohms", "-5", "a number above 0"),
    ],
)
def test_a_bad_value_names_what_is_allowed(tmp_path, option, value, allowed):
    proc = run_sim("--link", str(tmp_path / "com1"), option, value)
    assert proc.returncode != 0
    assert proc.stderr == "k7340sim: %s needs a valid value: %s (see --help)\n" % (option, allowed)


def test_a_link_a_running_simulator_serves_is_refused(sim):
    first = sim()
    target = os.readlink(first.link)
    proc = run_sim("--link", str(first.link))
    assert proc.returncode == 1
    assert proc.stderr == (
        "k7340sim: %s is served by a running simulator: stop it or give "
        "another --link\n" % first.link
    )
    assert os.readlink(first.link) == target  # the first one is still reachable


def test_a_stale_link_is_taken_over(tmp_path):
    link = tmp_path / "com1"
    os.symlink("/dev/pts/999999", link)  # a pty that is gone
    second = subprocess.Popen(
        [str(simulator_path()), "--link", str(link)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 10
        while os.readlink(link) == "/dev/pts/999999" and time.monotonic() < deadline:
            time.sleep(0.02)
        assert os.readlink(link).startswith("/dev/pts/") and second.poll() is None
    finally:
        second.terminate()
        second.wait()


@pytest.mark.parametrize("size", [100, 129])
def test_an_eeprom_file_of_another_size_is_refused_and_kept(tmp_path, size):
    stored = tmp_path / "unit.bin"
    image = bytes((7 * i + 3) % 256 for i in range(size))
    stored.write_bytes(image)
    proc = run_sim("--link", str(tmp_path / "com1"), "--eeprom-file", str(stored))
    assert proc.returncode == 1
    assert proc.stderr == (
        "k7340sim: %s holds %d bytes where an EEPROM holds 128; refused (the "
        "file is left as it is)\n" % (stored, size)
    )
    assert stored.read_bytes() == image
    assert not os.path.lexists(tmp_path / "com1")


@pytest.mark.parametrize(
    "make",
    [lambda d: "/dev/full", lambda d: str(d), lambda d: os.mkfifo(d / "fifo") or str(d / "fifo")],
    ids=["character device", "directory", "fifo"],
)
def test_an_eeprom_file_that_is_not_a_regular_file_is_refused(tmp_path, make):
    path = make(tmp_path)
    proc = run_sim("--link", str(tmp_path / "com1"), "--eeprom-file", path)
    assert proc.returncode == 1
    assert proc.stderr == "k7340sim: %s is not a regular file; refused\n" % path
    assert not os.path.lexists(tmp_path / "com1")


def test_a_start_that_fails_after_the_fifo_exists_leaves_no_file(tmp_path):
    control = tmp_path / "control"
    link = tmp_path / "missing" / "com1"  # no such folder: the link cannot be made
    proc = run_sim("--link", str(link), "--control", str(control))
    assert proc.returncode == 1
    assert proc.stderr.startswith("k7340sim: cannot create link %s: " % link)
    assert not os.path.lexists(control)
