"""How the console tools word what the supply reports and what went wrong: the status and
fault bytes in full (a watchdog run-out by name, bits without a name as numbers, "none" for
no bit at all) and failures naming the device."""

import errno
import sys

from ..binding import FaultFlags, StatusFlags

# Fault bit 0x01 of the simulated supply (and of a supply whose watchdog ran out): no name in
# the panel's table, but the one a user must understand.
WATCHDOG_FAULT = 0x01
WATCHDOG_TEXT = "watchdog expired: the supply switched its output off"
BUSY = {errno.EBUSY, errno.EAGAIN, errno.EWOULDBLOCK}
BUSY_TEXT = "busy: held by another program"
_WINDOWS_ACCESS_DENIED = 5


def _bits(value, flags_type, skip=0):
    named = 0
    words = []
    for label, member in ((label, m) for m in flags_type for label in m.labels()):
        if value & int(member):
            words.append(label)
            named |= int(member)
    for bit in range(8):
        mask = 1 << bit
        if value & mask and not (named | skip) & mask:
            words.append("bit 0x%02X" % mask)
    return words


def status_text(status):
    """The status byte's labels, bits without a label as numbers; "none" when clear."""
    return ",".join(_bits(int(status), StatusFlags)) or "none"


def fault_text(faults):
    """The fault byte in words: the watchdog's run-out by name, the labelled bits, the rest
    as numbers; "none" when clear, never an empty list."""
    value = int(faults)
    words = [WATCHDOG_TEXT] if value & WATCHDOG_FAULT else []
    words += _bits(value, FaultFlags, skip=WATCHDOG_FAULT)
    return ", ".join(words) or "none"


def is_busy(exc):
    code = getattr(exc, "code", None)
    return code in BUSY or (sys.platform == "win32" and code == _WINDOWS_ACCESS_DENIED)


def failure(exc, device=None):
    """One line for a failed call: a busy port says so, and the device is named."""
    where = getattr(exc, "device", None) or device
    if is_busy(exc):
        return "%s: %s (%s)" % (where, BUSY_TEXT, exc.os_text or exc.text)
    text = str(exc)
    if where and not text.startswith(str(where)):
        text = "%s: %s" % (where, text)
    return text
