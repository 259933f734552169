"""The supply's 128-byte EEPROM as a sequence of bytes, one exchange per byte."""

import ctypes
import weakref

from . import checks

EEPROM_SIZE = 128


class Eeprom:
    """``psu.eeprom[64]``, ``psu.eeprom[64:68]``, ``psu.eeprom[10] = 0x5A``,
    ``psu.eeprom[20:23] = b"\\x01\\x02\\x03"``, ``bytes(psu.eeprom)``.

    Writes go to the supply only, and are refused while the output is on; the library's copy
    read at open (from which set_ranges computes the checksum) is not changed. Addresses are
    0..127; a negative address does not count from the end. A slice takes bytes-like data or
    an iterable of whole numbers 0..255 of the slice's length: every value is checked before
    the first byte is written.
    """

    def __init__(self, supply):
        # Weakly: a Supply dropped without close() must not be kept alive by its own EEPROM.
        self._supply = weakref.proxy(supply)

    def __len__(self):
        return EEPROM_SIZE

    def __getitem__(self, address):
        if isinstance(address, slice):
            return bytes(self._read(a) for a in range(*address.indices(EEPROM_SIZE)))
        return self._read(address)

    def __setitem__(self, address, value):
        if isinstance(address, slice):
            addresses = range(*address.indices(EEPROM_SIZE))
            values = checks.byte_values("value", value)
            if len(values) != len(addresses):
                raise ValueError(
                    "value has %d bytes for the slice's %d addresses"
                    % (len(values), len(addresses))
                )
            for a, v in zip(addresses, values):
                self._write(a, v)
            return
        self._write(address, value)

    def __iter__(self):
        return (self._read(a) for a in range(EEPROM_SIZE))

    def __bytes__(self):
        return self[:]

    def _read(self, address):
        address = checks.integer("address", address, 0, EEPROM_SIZE - 1, "K7340_GetEEPROM")
        value = ctypes.c_ubyte()
        self._supply.library_call("K7340_GetEEPROM", address, ctypes.byref(value))
        return value.value

    def _write(self, address, value):
        address = checks.integer("address", address, 0, EEPROM_SIZE - 1, "K7340_SetEEPROM")
        # The library would keep the low 8 bits; a byte store must not wrap silently.
        value = checks.integer("EEPROM byte", value, 0, 255, "K7340_SetEEPROM")
        with self._supply.lock:
            self._supply.check_eeprom_write("K7340_SetEEPROM")
            self._supply.library_call("K7340_SetEEPROM", address, value)
