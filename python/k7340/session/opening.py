"""Opening a supply that a stop can interrupt. The library's open runs for seconds on a slow
line (it reads the EEPROM), and a signal's handler runs only between Python's steps: so the open
runs in a thread of its own while the caller's thread watches the stop. A stopped open is left to
finish in its thread and is closed then; nothing has been sent to the supply but reads."""

import threading

from ..binding.errors import K7340Error
from ..safety.device import SafeDevice

OPEN_STEP_S = 0.05  # how often a stoppable open looks at its stop


def open_stoppable(where, keywords, stopped, port):
    """A SafeDevice(**where, **keywords); K7340Error once stopped() comes true first."""
    box = {}

    def run():
        try:
            box["supply"] = SafeDevice(**where, **keywords)
        except BaseException as exc:
            box["error"] = exc

    opener = threading.Thread(target=run, name="k7340-open", daemon=True)
    opener.start()
    while opener.is_alive():
        opener.join(OPEN_STEP_S)
        if opener.is_alive() and stopped():
            threading.Thread(target=_close_when_open, args=(opener, box), daemon=True).start()
            raise K7340Error(
                None, "stopped while the port opened", "open", device=port, note="nothing was sent"
            )
    if "error" in box:
        raise box["error"]
    return box["supply"]


def _close_when_open(opener, box):
    opener.join()
    supply = box.get("supply")
    if supply is not None:
        supply.close()
