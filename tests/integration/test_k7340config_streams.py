"""k7340config started with standard streams closed: the port never becomes one of them.

The simulated supply leaves junk on the line after every reply, so a question whose key were
read from the port would get a key, and a prompt written to the port would reach the supply.
"""

import os
import subprocess

import pytest

from config_runs import (
    BANNER,
    CANCELED,
    CONFIG,
    RUN_TIMEOUT,
    configured_warning,
    requires_config,
)

pytestmark = requires_config

CASES = [
    # closed descriptors, what standard output shows (nothing when it is closed)
    ((0,), BANNER + configured_warning(50000, 200) + b"\n" + CANCELED),
    ((1,), b""),
    ((0, 1, 2), b""),
]


@pytest.mark.parametrize("closed,expected", CASES, ids=repr)
def test_closed_standard_streams_answer_no_and_keep_off_the_line(sim, closed, expected):
    supply = sim("--noise", "8", "--noise-delay-ms", "0")
    before = supply.eeprom()
    result = subprocess.run(
        [CONFIG, "0", "30000", "300"],
        input=b"",
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: [os.close(fd) for fd in closed],
        timeout=RUN_TIMEOUT,
    )
    assert result.stdout == expected
    assert result.returncode == 0
    received = supply.log().splitlines()
    assert [line for line in received if "junk byte" in line] == []
    assert not any("write EEPROM" in line for line in received)
    assert supply.eeprom() == before
