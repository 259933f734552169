"""The supply's status byte and fault byte as IntFlags, with the labels the panel shows."""

import enum


class StatusFlags(enum.IntFlag):
    """Status byte, renewed by every reply the supply sends."""

    OVER_VOLTAGE = 0x01
    OVER_CURRENT = 0x02
    ENABLE = 0x04
    EEPROM_BUSY = 0x08
    FAULT = 0x10  # the fault byte tells which
    OVER_TEMPERATURE = 0x20
    COM_ERROR = 0x40
    RESET = 0x80

    def labels(self):
        return _labels(self, STATUS_LABELS)


class FaultFlags(enum.IntFlag):
    """Fault byte from the fault query. Bits 0, 1, 2 and 4 have no meaning assigned: they are
    kept in the value, have no member name, and label as "bit 0x01"."""

    DAC = 0x08
    ADC_CURRENT = 0x20
    ADC_VOLTAGE = 0x40
    EEPROM_CHECKSUM = 0x80

    def labels(self):
        return _labels(self, FAULT_LABELS)


# Outside the classes: a dict in an enum body would become a member.
STATUS_LABELS = {
    StatusFlags.OVER_VOLTAGE: "OverV",
    StatusFlags.OVER_CURRENT: "OverI",
    StatusFlags.ENABLE: "Enable",
    StatusFlags.EEPROM_BUSY: "EEBusy",
    StatusFlags.FAULT: "Fault",
    StatusFlags.OVER_TEMPERATURE: "OverT",
    StatusFlags.COM_ERROR: "ComErr",
    StatusFlags.RESET: "Reset",
}

FAULT_LABELS = {
    FaultFlags.DAC: "DAC",
    FaultFlags.ADC_CURRENT: "AdcI",
    FaultFlags.ADC_VOLTAGE: "AdcV",
    FaultFlags.EEPROM_CHECKSUM: "EESum",
}


def _labels(value, table):
    """One label per bit set, low bit first; a bit the table does not name is "bit 0x01", so
    a non-zero byte never gives an empty list."""
    # Iterating the class, not the value: iterating a flag value needs Python 3.11.
    named = {int(member): label for member, label in table.items()}
    bits = [1 << i for i in range(8) if int(value) & (1 << i)]
    return [named.get(bit, "bit 0x%02X" % bit) for bit in bits]
