"""The binding, the package's lowest layer: one open slot of the k7340 library as a Device
(ctypes calls, argument checks, errors, flags, slots, ports, EEPROM), with no policy. It imports
nothing else of the package; the safety core and k7340.Supply build on it."""

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
    K7340OutageError,
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
from .device import OUTPUT_ON_VOLTS, Device

__all__ = [
    "Device",
    "Eeprom",
    "Ranges",
    "StatusFlags",
    "FaultFlags",
    "STATUS_LABELS",
    "FAULT_LABELS",
    "K7340Error",
    "K7340IdentityError",
    "K7340OutageError",
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
