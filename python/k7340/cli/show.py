"""How the console tools word what went wrong: failures naming the device, a busy port said as
such. What the status and fault bytes say comes from the safety core (k7340.safety.status)."""


from ..binding.errors import BUSY_TEXT
from ..safety.status import fault_names, status_text  # noqa: F401 (the tools' words)


def fault_text(faults):
    """The fault byte in the safety core's words; "none" when no bit is set."""
    return ", ".join(fault_names(faults)) or "none"


def failure(exc, device=None):
    """One line for a failed call: a busy port says so, and the device is named."""
    where = getattr(exc, "device", None) or device
    if getattr(exc, "busy", False):
        return "%s: %s (%s)" % (where, BUSY_TEXT, exc.os_text or exc.text)
    text = str(exc)
    if where and not text.startswith(str(where)):
        text = "%s: %s" % (where, text)
    return text
