"""How the console tools word what the supply reports and what went wrong: the status and
fault bytes ("none" for no bit at all, never an empty list) and failures naming the device."""

import errno
import sys

from ..binding import StatusFlags
from ..safety import describe_faults

BUSY = {errno.EBUSY, errno.EAGAIN, errno.EWOULDBLOCK}
BUSY_TEXT = "busy: held by another program"
_WINDOWS_ACCESS_DENIED = 5


def status_text(status, separator=","):
    """The status byte's labels; "none" when clear."""
    return separator.join(StatusFlags(int(status)).labels()) or "none"


def fault_text(status, faults):
    """The faults in the safety core's words (the watchdog's run-out by name, bits without a
    name as numbers); "none" when there are none, never an empty list."""
    return ", ".join(describe_faults(status, faults)) or "none"


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
