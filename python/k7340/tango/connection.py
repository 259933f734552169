"""The device's supply through the package's session layer (k7340.session.Session): the poll,
the lost link and its reopen with the identity check, the dead-man, the trip action and the zero
at the end are the session's. What is here is only what the Tango device needs to see of them,
and the time bound of its way out. No Tango here."""

import collections
import threading
import time

from ..binding import K7340ArgumentError, K7340Error, ports
from ..session import OTHER_SUPPLY, Session

Poll = collections.namedtuple("Poll", "reading down blocked pending_off")
Poll.__doc__ = """What the device shows after a poll: the last reading (kept while the link is
down), why the link is down (None while up), what blocks every command (another supply behind
the port, a property the supply refused; None if nothing) and whether an Off waits for the
link."""

NO_POLL = Poll(None, None, None, False)


class Connection:
    """One supply of one device, opened at the first poll and reopened by the session."""

    def __init__(self, config, say):
        path = config["PortPath"]
        port = path or config["ComPort"]
        self.port = ports.label(port)
        self.session = Session(
            port,
            say=self._say,
            watchdog_ms=config["WatchdogMs"],
            max_volts=config["MaxVolts"] or None,
            on_trip=config["OnTrip"],
            rate=config["RampRate"],
        )
        self.last = NO_POLL
        self.identity = None  # (vrange, irange, firmware text) of the supply opened
        self.events = []  # trips and outages the poll acted on, for the device's log
        self._refused = None  # a property the supply refused at open (WatchdogMs on a slow line)
        self._other = None  # the session's words for another supply behind the port
        self._closing = False
        self._tell = say

    def _say(self, text):
        if self.session.link == OTHER_SUPPLY:
            self._other = text
        self._tell(text)

    def poll(self):
        """One poll: the first open (tried again at every poll until it works), the meters and
        the status, the session's reopen while the link is down."""
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
        event = self.session.take_event() if self.session.supply is not None else None
        if event is not None:
            self.events.append(event)
        blocked = self._refused or (self._other if self.session.link == OTHER_SUPPLY else None)
        if fresh is not None:
            reading = fresh
        elif down is None and blocked is None and self.session.link != "up":
            down = "The supply does not answer on %s" % self.port
        self.last = Poll(reading, None if blocked else down, blocked, self.pending_off)
        return self.last

    @property
    def pending_off(self):
        return self.session.pending_off

    @property
    def running(self):
        """An operation (a ramp, a conditioning run) holds the output."""
        return self.session.operation is not None

    @property
    def volts_limit(self):
        psu = self.session.supply
        if psu is None:
            raise K7340Error(None, "not open yet", "volts_limit", device=self.port)
        return psu.volts_limit

    def close(self, deadline):
        """The session's way out, given until deadline (time.monotonic()): returns None, or the
        note saying the output may still be on. A reopen still under way is left behind."""
        self._closing = True
        result = []
        psu = self.session.supply

        def run():
            try:
                self.session.close(max(0.0, deadline - time.monotonic()))
            except Exception as exc:  # the session's K7340Error says the output may be on
                result.append(str(exc))

        closer = threading.Thread(target=run, name="k7340-close", daemon=True)
        closer.start()
        closer.join(max(0.0, deadline - time.monotonic()))
        if closer.is_alive():
            self.session.abandon.set()
            if psu is not None:
                psu.abandon()  # its dead-man then switches an output left on off
            return (
                "%s: the zero setpoint was not sent within the stop bound (a reopen or an "
                "exchange is still under way): the output may still be on" % self.port
            )
        return result[0] if result else None
