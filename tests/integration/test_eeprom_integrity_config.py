"""k7340config on a supply whose range programming was cut off after each of the six EEPROM
writes, then power-cycled: the run that was cut off reports the failure, the next run finds the
unit not calibrated and leaves it alone on no, programs it on yes, and the run after that finds
it configured with the new ranges.
"""

import signal
import subprocess
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
    eeprom_writes,
    ranges_in,
    requires_config,
    run_config,
)

pytestmark = requires_config

READ_FAILED = b"FAILED!\nERROR: Device read failed\n"
CHECKSUM_ERROR = b"ERROR: EEPROM checksum error\n"

OLD = (50000, 200)  # the simulator's configured EEPROM
NEW = (20000, 400)  # every byte differs from OLD's
NEW_ARGS = ["0", "20000", "400"]
WRITE_ADDRESSES = [64, 65, 66, 67, 126, 127]  # the six writes, in order


def run_config_silencing_at_prompt(supply, args):
    """Answers yes, but only after the supply has fallen silent: the open is answered, the
    first EEPROM write is not."""
    process = subprocess.Popen(
        [CONFIG, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    out = b""
    deadline = time.monotonic() + RUN_TIMEOUT
    while not out.endswith(b"(Y/N)? ") and time.monotonic() < deadline:
        byte = process.stdout.read(1)
        if not byte:
            break
        out += byte
    supply.control("silent on")
    rest, err = process.communicate(b"y", timeout=RUN_TIMEOUT)
    assert process.returncode >= 0, "k7340config died of a signal"
    assert err == b""
    return out + rest


def power_cycle(sim, supply, tmp_path):
    """Stops the supply and starts a new one with the EEPROM it held; returns the new one and
    the file that now holds its EEPROM."""
    saved = tmp_path / "eeprom-after-cut.bin"
    saved.write_bytes(supply.eeprom())
    supply.stop()
    return sim("--eeprom-file", str(saved)), saved


@pytest.mark.parametrize("answered", range(6))
def test_cut_off_programming_then_config_runs(sim, tmp_path, answered):
    if answered == 0:
        supply = sim()
        before = supply.eeprom()
        out = run_config_silencing_at_prompt(supply, NEW_ARGS)
    else:
        supply = sim("--silent-after-writes", str(answered))
        before = supply.eeprom()
        out, _ = run_config(NEW_ARGS, b"y")
    assert out == BANNER + configured_warning(*OLD) + b"y\n" + CONFIGURING + READ_FAILED

    # Exactly the answered writes reached the EEPROM; the rest is as it was.
    cut = supply.eeprom()
    assert ranges_in(before) == OLD
    for i, address in enumerate(WRITE_ADDRESSES):
        expected_changed = i < answered
        assert (cut[address] != before[address]) == expected_changed, address

    supply, saved = power_cycle(sim, supply, tmp_path)
    if answered == 0:
        # Nothing was written: the old configuration still checks out.
        first_question = configured_warning(*OLD)
        declined_error = b""
    else:
        first_question = NOT_CALIBRATED
        declined_error = CHECKSUM_ERROR

    out, _ = run_config(NEW_ARGS, b"n")
    assert out == BANNER + first_question + b"n\n" + CANCELED + declined_error
    assert saved.read_bytes() == cut, "declining writes nothing"

    out, _ = run_config(NEW_ARGS, b"y")
    assert out == BANNER + first_question + b"y\n" + CONFIGURING + b"OK"
    repaired = saved.read_bytes()
    assert ranges_in(repaired) == NEW
    assert checksum_ok(repaired)
    assert repaired[:64] == before[:64] and repaired[68:126] == before[68:126]

    out, _ = run_config(NEW_ARGS, b"n")
    assert out == BANNER + configured_warning(*NEW) + b"n\n" + CANCELED


# Every asynchronous signal whose default action ends the process.
HELD = "INT TERM HUP QUIT USR1 USR2 ALRM PIPE PROF VTALRM XCPU XFSZ POLL PWR RTMIN RTMAX"
HELD_SIGNALS = [getattr(signal, "SIG" + name) for name in HELD.split()]


@pytest.mark.parametrize("signo", HELD_SIGNALS, ids=lambda s: s.name)
def test_an_interrupt_during_programming_waits_for_the_six_writes(sim, signo):
    supply = sim()
    process = subprocess.Popen(
        [CONFIG, *NEW_ARGS], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    process.stdin.write(b"y")
    process.stdin.close()
    out = b""
    while not out.endswith(CONFIGURING) and len(out) < 4096:
        out += process.stdout.read(1) or b"?"
    time.sleep(0.15)
    process.send_signal(signo)
    assert process.wait(timeout=RUN_TIMEOUT) == 1
    rest, err = process.stdout.read(), process.stderr.read()
    assert out + rest == BANNER + configured_warning(*OLD) + b"y\n" + CONFIGURING + (
        b"OK\nINTERRUPTED: stopped once the programming had ended\n"
    )
    assert err == b""
    assert len(eeprom_writes(supply)) == 6
    assert ranges_in(supply.eeprom()) == NEW and checksum_ok(supply.eeprom())
