"""What the supply's status and fault bytes mean to the safety rules, in one place: the trip
bits, the alarm bits, the "output is on" test, the fault names and the one Reading of a poll.

A poll reads the status byte only. The fault byte is read when the user acknowledges the faults
(``clear_faults``): the library's fault query always sends its follow-up command, which on the
simulated supply clears the latched faults, so a poll that read it would hide a latch that
nobody saw. Until then a fault is named by its status bit (Fault) and the way to acknowledge it.
"""

import collections

from ..binding.device import OUTPUT_ON_VOLTS
from ..binding.flags import FaultFlags, StatusFlags

# Bits that end whatever holds the output on (the trip action), unless conditioning backs off.
TRIP_BITS = (
    StatusFlags.OVER_VOLTAGE
    | StatusFlags.OVER_CURRENT
    | StatusFlags.OVER_TEMPERATURE
    | StatusFlags.FAULT
)
# Conditioning's own answer to these is to back off and retry.
BACKOFF_BITS = StatusFlags.OVER_VOLTAGE | StatusFlags.OVER_CURRENT
# The only bits after which the trip action may ramp down rather than switch off at once.
RAMP_DOWN_BITS = StatusFlags.OVER_CURRENT
# The trip actions every owner chooses from: the zero setpoint at once, or a ramp to zero (after
# over-current alone: see RAMP_DOWN_BITS).
TRIP_ACTIONS = ("off", "ramp-down")
# What a front end shows as an alarm (Tango's ALARM) while no fault is latched.
ALARM_BITS = StatusFlags.OVER_VOLTAGE | StatusFlags.OVER_CURRENT | StatusFlags.OVER_TEMPERATURE

ACKNOWLEDGE = "acknowledge with clear-faults (it reads the fault byte, which clears the latch)"

# The fault byte's bits in words. Bits 0x01, 0x02, 0x04 and 0x10 have no meaning in the supply's
# own table; our simulated supply latches 0x01 when its watchdog runs out, and says so here.
FAULT_NOTES = {0x01: "the simulated supply's watchdog ran out"}

Reading = collections.namedtuple("Reading", "volts microamps temperature status setpoint")
Reading.__doc__ = """One poll: volts, microamperes, temperature, the StatusFlags of its replies,
and the setpoint the session last sent (None when it sends none)."""


def output_is_on(status, setpoint=None):
    """The supply reports its output on, or the setpoint sent says it is."""
    return StatusFlags.ENABLE in StatusFlags(int(status)) or (setpoint or 0.0) >= OUTPUT_ON_VOLTS


def trip_bits(status):
    """The trip bits set in status (StatusFlags; empty when none)."""
    return StatusFlags(int(status) & int(TRIP_BITS))


def status_text(status, separator=", "):
    """The status byte's labels; "none" when clear."""
    return separator.join(StatusFlags(int(status)).labels()) or "none"


def fault_names(faults):
    """The fault byte in words, never empty for a non-zero byte: the label of each bit, and for
    a bit without a meaning in the supply's table what our simulated supply means by it."""
    words = []
    for label, bit in zip(FaultFlags(int(faults)).labels(), _bits(int(faults))):
        note = FAULT_NOTES.get(bit)
        words.append("%s (%s)" % (label, note) if note else label)
    return words


def _bits(value):
    return [1 << i for i in range(8) if value & (1 << i)]


def refusal(status):
    """Why nothing may be switched on or ramped: the trip bits the supply reports, named, and
    how a latched fault is acknowledged; None when there are none."""
    bits = trip_bits(status)
    if not bits:
        return None
    how = "; %s" % ACKNOWLEDGE if StatusFlags.FAULT in bits else ""
    return "the supply reports %s%s" % (status_text(bits), how)
