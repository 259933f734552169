"""Running the built k7340config in tests: where it is, its fixed texts, and reading the EEPROM."""

import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("K7340_BUILD_DIR", os.path.join(ROOT, "build", "linux"))
if not os.path.isabs(BUILD):
    BUILD = os.path.join(ROOT, BUILD)
CONFIG = os.path.join(BUILD, "bin", "k7340config")

requires_config = pytest.mark.skipif(
    not os.access(CONFIG, os.X_OK), reason="k7340config is not built in " + BUILD
)

# A ceiling that only catches a hang: an open is 128 exchanges, a configuration six writes of
# 100 ms, and a silent supply costs 100 ms per exchange.
RUN_TIMEOUT = 60

BANNER = b"Vantrel MODEL 7340 CONFIGURATION UTILITY\n"
NOT_CALIBRATED = b"WARNING: unit is not calibrated\nproceed anyway (Y/N)? "
CANCELED = b"configuration canceled\n"
CONFIGURING = b"configuring unit ... \n"


def configured_warning(vrange, irange):
    return (
        b"WARNING: unit is already configured (vrange=%d, irange=%d)\n" % (vrange, irange)
        + b"overwrite existing configuration (Y/N)? "
    )


def run_config(args, answer=b"", env=None):
    """Runs k7340config with a pipe holding `answer` as its standard input."""
    result = subprocess.run(
        [CONFIG, *args],
        input=answer,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        timeout=RUN_TIMEOUT,
    )
    assert result.returncode >= 0, "k7340config died of a signal"
    assert result.stderr == b""
    return result.stdout, result.returncode


def ranges_in(eeprom):
    return (eeprom[64] << 8 | eeprom[65], eeprom[66] << 8 | eeprom[67])


def checksum_ok(eeprom):
    return (eeprom[126] << 8 | eeprom[127]) == sum(eeprom[:126])


def commands_sent(supply):
    """The command frames the supply received, one log line each ("... > 05 F1 40 ...")."""
    return [line for line in supply.log().splitlines() if line.split(" ")[1:2] == [">"]]


def eeprom_writes(supply):
    return [line for line in commands_sent(supply) if "write EEPROM" in line]
