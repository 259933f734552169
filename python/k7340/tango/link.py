"""The device's supply through the safety core (k7340.safety.Session): the poll with its held
fault byte, the lost port and its reopen with the identity check, the dead-man and the zero at
the end are the core's. What is here is only what the Tango device needs to see of them, and
the time bound of its way out. No Tango here."""

import collections
import threading
import time

from .. import safety
from ..safety.session import OTHER_SUPPLY as OTHER
from ..safety.session import UP
from ..binding import K7340ArgumentError, K7340Error, slots
from ..lab import ramp as lab_ramp

Poll = collections.namedtuple("Poll", "reading down blocked pending_off")
Poll.__doc__ = """What the device shows after a poll: the last reading (kept while the link is
down), why the link is down (None while up), what blocks every command (another supply behind
the port, a property the supply refused; None if nothing) and whether an Off waits for the
link."""

NO_POLL = Poll(None, None, None, False)


class Link:
    """One supply of one device, opened at the first poll and reopened by the core."""

    def __init__(self, config, say):
        path = config["PortPath"]
        self.port = path or "COM%d" % (config["ComPort"] + 1)
        self.session = safety.Session(
            path or config["ComPort"],
            say=self._say,
            watchdog_ms=config["WatchdogMs"],
            max_volts=config["MaxVolts"] or None,
        )
        self.last = NO_POLL
        self.identity = None  # (vrange, irange, firmware text) of the supply opened
        self._refused = None  # a property the supply refused at open (WatchdogMs on a slow line)
        self._other = None  # the core's words for another supply behind the port
        self._closing = False
        self._tell = say

    def _say(self, text):
        if self.session.link == OTHER:
            self._other = text
        self._tell(text)

    def poll(self):
        """One poll: the first open (tried again at every poll until it works), the meters and
        the held fault byte, the core's reopen while the link is down."""
        reading, down = self.last.reading, None
        if self._closing:
            return self.last
        try:
            if self.session.supply is None and self._refused is None:
                self.session.open()
                if self._closing:  # the device stopped during the open: nothing was sent
                    self.session.close()
                    return self.last
                psu = self.session.supply
                self.identity = (
                    psu.ranges.vrange,
                    psu.ranges.irange,
                    "%04X" % psu.firmware_version,
                )
            fresh = self.session.poll() if self.session.supply is not None else None
        except K7340ArgumentError as exc:  # refused before anything was switched on
            which = "property WatchdogMs: " if "watchdog" in str(exc) else ""
            fresh, self._refused = None, "Configuration: %s%s" % (which, exc)
        except (K7340Error, OSError) as exc:
            fresh, down = None, "The supply does not answer on %s: %s" % (self.port, exc)
        blocked = self._refused or (self._other if self.session.link == OTHER else None)
        if fresh is not None:
            reading = fresh
        elif down is None and blocked is None and self.session.link != UP:
            down = "The supply does not answer on %s" % self.port
        self.last = Poll(reading, None if blocked else down, blocked, self.pending_off)
        return self.last

    @property
    def pending_off(self):
        psu = self.session.supply
        return psu is not None and bool(psu.guard.pending_off)

    @property
    def volts_limit(self):
        psu = self.session.supply
        if psu is None:
            raise K7340Error(None, "not open yet", "volts_limit", device=self.port)
        return psu.volts_limit

    def set_voltage(self, volts):
        self.session.set_voltage(volts)

    def off(self):
        """The zero setpoint: True when sent, False when the core keeps it for the link's
        return (or nothing was ever opened)."""
        if self.session.supply is None:
            return False
        return self.session.output_off()

    def ramp(self, start, volts, rate, step, progress, stop):
        """Ramps from start at rate (the lab's ramp: lazy, a status check after each step);
        True when volts was reached, False when stop() ended it."""
        return lab_ramp.ramp(self.session.supply, volts, rate, step, progress, start, stop=stop)

    def reset(self):
        self.session.supply.reset()

    def clear_faults(self):
        self.session.clear_faults()

    def close(self, deadline):
        """The core's way out, given until deadline (time.monotonic()): returns None, or the
        note saying the output may still be on. A reopen still under way is left behind."""
        self._closing = True
        result = []
        psu = self.session.supply
        if psu is not None and psu.owns_output and self.session.link != UP:
            result.append(
                "%s: the link is down, so the zero setpoint cannot be sent: the output "
                "may still be on (the supply's watchdog switches it off after %d ms)"
                % (self.port, psu.watchdog_ms)
                if psu.watchdog_ms
                else "%s: the link is down and the dead-man is off (WatchdogMs 0): the "
                "output may still be on" % self.port
            )

        def run():
            try:
                self.session.close()
            except Exception as exc:  # the core's K7340Error says the output may still be on
                result.append(str(exc))

        closer = threading.Thread(target=run, name="k7340-close", daemon=True)
        closer.start()
        closer.join(max(0.0, deadline - time.monotonic()))
        if closer.is_alive():
            _abandon(psu)
            return (
                "%s: the zero setpoint was not sent within the stop bound (a reopen or an "
                "exchange is still under way): the output may still be on" % self.port
            )
        return result[0] if result else None


def _abandon(psu):
    """Lets go of a supply whose reopen (or exchange) outlasted the stop bound, without taking
    its lock, so that the process's exit does not wait for it either; its dead-man then
    switches the output off."""
    if psu is None:
        return
    if hasattr(psu, "abandon"):
        psu.abandon()
    else:  # until the binding has abandon(): what it does, through the calls there are
        psu.forget_in_child()
        slots.release(psu.index, psu)
