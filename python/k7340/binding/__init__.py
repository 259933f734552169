"""The binding: one open slot of the k7340 library as a Supply, with its errors, flags and
EEPROM. It depends on nothing else of the package (Supply.ramp_to fetches the lab's ramp when
it is called)."""

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
    K7340ArgumentError,
    K7340Error,
    K7340IdentityError,
    K7340TripError,
    K7340Warning,
    LibraryLoadError,
)
from .flags import FAULT_LABELS, STATUS_LABELS, FaultFlags, StatusFlags
from .eeprom import EEPROM_SIZE, Eeprom
from .calls import (
    METER_CURRENT,
    METER_TEMPERATURE,
    METER_TEN_BIT,
    METER_VOLTAGE,
    Ranges,
    api_version,
    error_text,
)
from .slots import MAX_DEVICES
from .supply import OUTPUT_ON_VOLTS, Supply

__all__ = [
    "Supply",
    "Eeprom",
    "Ranges",
    "StatusFlags",
    "FaultFlags",
    "STATUS_LABELS",
    "FAULT_LABELS",
    "K7340Error",
    "K7340IdentityError",
    "K7340TripError",
    "K7340ArgumentError",
    "K7340Warning",
    "LibraryLoadError",
    "api_version",
    "error_text",
    "MAX_DEVICES",
    "EEPROM_SIZE",
    "METER_VOLTAGE",
    "METER_CURRENT",
    "METER_TEMPERATURE",
    "METER_TEN_BIT",
    "OUTPUT_ON_VOLTS",
    "OK",
    "ERR_CLOSED",
    "ERR_ARGUMENT",
    "ERR_WRITE",
    "ERR_READ",
    "ERR_CHECKSUM",
    "ERR_COMMAND",
    "ERR_REPLY",
    "ERR_RANGES",
    "ERR_EEPROM_CHECKSUM",
    "ERR_NO_PORT",
]
