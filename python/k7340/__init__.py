"""Python binding of the k7340 device library for the 7340 high-voltage power supply.

    import k7340

    with k7340.Supply(com_port=0) as psu:
        psu.set_voltage(1000.0)          # at or above 20 V the output is on
        print(psu.read_voltage(), psu.status)
        psu.set_voltage(0)               # closing does not switch the output off

The binding is a thin layer over the library's nineteen calls: every non-zero code becomes a
K7340Error carrying the code and the library's text. See docs/using-python.md.
"""

from .errors import (
    ERR_ARGUMENT,
    ERR_CHECKSUM,
    ERR_CLOSED,
    ERR_COMMAND,
    ERR_EEPROM_CHECKSUM,
    ERR_NO_PORT,
    ERR_RANGES,
    ERR_READ,
    ERR_REPLY,
    ERR_WRITE,
    OK,
    K7340Error,
    K7340Warning,
    LibraryLoadError,
)
from .flags import FAULT_LABELS, STATUS_LABELS, FaultFlags, StatusFlags
from .supply import (
    EEPROM_SIZE,
    MAX_DEVICES,
    METER_CURRENT,
    METER_TEMPERATURE,
    METER_TEN_BIT,
    METER_VOLTAGE,
    Eeprom,
    Ranges,
    Supply,
    api_version,
    error_text,
)

__all__ = [
    "Supply", "Eeprom", "Ranges", "StatusFlags", "FaultFlags", "STATUS_LABELS",
    "FAULT_LABELS", "K7340Error", "K7340Warning", "LibraryLoadError", "api_version",
    "error_text", "MAX_DEVICES", "EEPROM_SIZE", "METER_VOLTAGE", "METER_CURRENT",
    "METER_TEMPERATURE", "METER_TEN_BIT", "OK", "ERR_CLOSED", "ERR_ARGUMENT", "ERR_WRITE",
    "ERR_READ", "ERR_CHECKSUM", "ERR_COMMAND", "ERR_REPLY", "ERR_RANGES",
    "ERR_EEPROM_CHECKSUM", "ERR_NO_PORT",
]
