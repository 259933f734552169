"""The fault byte in words, and the poll that reads it only when the Fault bit appears.

Reading the fault byte sends the fault follow-up command, which clears the supply's latched
faults: a poll that read it every time would clear a watchdog run-out before anyone saw it. So
a poll reads the status byte; only when its Fault bit appears does it read the fault byte,
once, and holds it until the faults are cleared on purpose (clear_faults, `--faults`) or a new
session begins.
"""

import collections

from ..binding.flags import FAULT_LABELS, StatusFlags

# The supply latches this bit when its watchdog ran out and it switched its output off.
WATCHDOG_EXPIRED = 0x01
WATCHDOG_TEXT = "watchdog expired: the supply switched its output off"

Reading = collections.namedtuple("Reading", "volts microamps temperature status faults")
Reading.__doc__ = (
    "One poll: volts, microamperes, temperature, the StatusFlags of the last "
    "reply, and the held FaultFlags (None when the Fault bit never appeared)."
)


def describe_faults(status, faults):
    """The faults in words: never an empty list while the Fault bit is set. Bit 0x01 is the
    watchdog run-out; bits without a name show as "bit 0x02"."""
    texts = []
    value = 0 if faults is None else int(faults)
    if value & WATCHDOG_EXPIRED:
        texts.append(WATCHDOG_TEXT)
    for bit in range(8):
        mask = 1 << bit
        if not value & mask or mask == WATCHDOG_EXPIRED:
            continue
        label = next((text for member, text in FAULT_LABELS.items() if int(member) == mask), None)
        texts.append(label if label else "bit 0x%02X" % mask)
    if not texts and StatusFlags.FAULT & int(status or 0):
        texts.append(
            "fault bit set, fault byte %s" % ("not read" if faults is None else "0x%02X" % value)
        )
    return texts


class HeldFaults:
    """The fault byte as a poll holds it: read once when the Fault bit appears."""

    def __init__(self):
        self.faults = None

    def update(self, supply, status):
        """After a poll's status: reads the fault byte if the Fault bit is new. Returns the
        held faults (None if none)."""
        if StatusFlags.FAULT in status and self.faults is None:
            self.faults = supply.faults
        return self.faults

    def clear(self, supply):
        """Reads (and so clears) the fault byte; forgets the held one. Returns what was read."""
        self.faults = None
        return supply.faults
