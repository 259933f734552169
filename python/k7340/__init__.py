"""Python binding of the k7340 device library for the 7340 high-voltage power supply.

    import k7340

    with k7340.Supply(com_port=0) as psu:     # or Supply(port="/dev/ttyUSB0"), port="COM7"
        psu.set_voltage(1000.0)              # at or above 20 V the output is on
        print(psu.read_voltage(), psu.status)
    # leaving the block (an exception too) set the output to zero before closing

The binding is a layer over the library's nineteen calls: every non-zero code becomes a
K7340Error carrying the code and the library's text. It guards what it sends: each Supply holds
a library slot of its own (index=None takes a free one), set_voltage refuses anything but a
real number from 0 to max_volts or the supply's vrange, every argument is checked before the
first byte goes out (TypeError or a ValueError naming the argument and its range), and one lock
serialises the calls of all threads. A Supply that switched the output on switches it off
again when it is closed, unless it was made with keep_output=True.

For lab scripts: Supply.ramp_to(volts, rate) ramps with a status check after every step
(K7340TripError on over-voltage, over-current, over-temperature or a fault), k7340.testing
runs a simulated supply for tests, and `python -m k7340` (the console script k7340) has
monitor, log, plot, ramp, ports and info. See docs/using-python.md.
"""

from .binding.errors import (
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
from .binding.flags import FAULT_LABELS, STATUS_LABELS, FaultFlags, StatusFlags
from .binding.eeprom import EEPROM_SIZE, Eeprom
from .binding.supply import (
    MAX_DEVICES,
    METER_CURRENT,
    METER_TEMPERATURE,
    METER_TEN_BIT,
    METER_VOLTAGE,
    OUTPUT_ON_VOLTS,
    Ranges,
    Supply,
    api_version,
    error_text,
)

__version__ = "2.0.0"

__all__ = [
    "Supply", "Eeprom", "Ranges", "StatusFlags", "FaultFlags", "STATUS_LABELS",
    "FAULT_LABELS", "K7340Error", "K7340IdentityError", "K7340TripError", "K7340ArgumentError", "K7340Warning", "LibraryLoadError",
    "api_version", "error_text", "MAX_DEVICES", "EEPROM_SIZE", "METER_VOLTAGE",
    "METER_CURRENT", "METER_TEMPERATURE", "METER_TEN_BIT", "OUTPUT_ON_VOLTS", "OK",
    "ERR_CLOSED", "ERR_ARGUMENT", "ERR_WRITE", "ERR_READ", "ERR_CHECKSUM", "ERR_COMMAND",
    "ERR_REPLY", "ERR_RANGES", "ERR_EEPROM_CHECKSUM", "ERR_NO_PORT",
]
