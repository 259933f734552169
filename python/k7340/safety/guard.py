"""Who may switch the output off, and the owner's way out: the rules a Supply keeps.

Only the session that switched the output on switches it off. Before it does switch it on (and
only after every check that could refuse has passed) it arms the supply's watchdog and starts
the heartbeat; the handlers for the stop signals are in place before the setpoint goes out.

The owner's way out sends the zero setpoint under the slot lock; only once the supply has
acknowledged it is the watchdog disarmed (count 0), then the heartbeat stops. If the zero
fails, the watchdog stays armed and unfed, so the supply switches itself off within the
period, and the way out says that the output may still be on. ``keep_output`` sessions disarm
on a deliberate close and leave the setpoint; every other way out zeroes them too. A read-only
session, a lost port and a port behind which another supply answers are left without a byte.

Every method is called with the Supply's slot lock held; none keeps a reference to the Supply.
"""

from ..binding.errors import K7340Error
from . import deadman, wayout


class Guard:
    def __init__(self, watchdog_ms, keep_output):
        self.watchdog_ms = watchdog_ms
        self.keep_output = keep_output
        self.owner = False  # this session switched the output on
        self.armed = False  # this session armed the supply's watchdog
        self.heartbeat = None
        self.pending_off = False  # an Off asked while the port was lost
        self.slowest_s = 0.0  # the slowest exchange timed at open
        self.stopped = False  # a signal's way out ran: the output goes on no more
        self.way_out_note = None  # why the last way out's zero may not have gone out

    def before_output_on(self, supply):
        """Arms the watchdog (when the dead-man is on) and holds the output for the way out.
        A failure raises before the output goes on; so does a Supply a signal stopped."""
        if self.stopped:
            raise K7340Error(
                None,
                "refused: a stop signal switched the output off",
                "K7340_SetVoltage",
                device=supply.port,
                note="this session switches it on no more",
            )
        if self.watchdog_ms and not self.armed:
            deadman.check_against_line(self.watchdog_ms, self.slowest_s, supply.port)
            supply.library_call("K7340_SetWD", self.watchdog_ms)
            self.armed = True
            self.heartbeat = deadman.Heartbeat(supply, self, self.watchdog_ms).start()
        self.owner = True
        wayout.hold(supply)

    def beat(self, supply, heartbeat):
        """One beat of heartbeat, unless it has been stopped meanwhile. False ends it."""
        if self.heartbeat is not heartbeat or not self.armed or supply.closed or supply.lost:
            return self.heartbeat is heartbeat and not supply.closed
        try:
            supply.library_call("K7340_SetWD", self.watchdog_ms)
            heartbeat.failures = 0
        except K7340Error:
            heartbeat.failures += 1  # the supply's own watchdog takes it from here
        return True

    def change_period(self, supply, watchdog_ms):
        """The owner set a new period (already sent): the heartbeat follows it."""
        self.watchdog_ms = watchdog_ms
        self.stop_heartbeat()
        self.heartbeat = deadman.Heartbeat(supply, self, watchdog_ms).start()

    def switched_off(self, supply):
        """The supply acknowledged a setpoint below the output-on level: disarm, stop feeding,
        let go."""
        if self.armed:
            supply.library_call("K7340_SetWD", 0)
            self.armed = False
        self.stop_heartbeat()
        self.owner = False
        wayout.let_go(supply)

    def way_out(self, supply, deliberate, again=False):
        """The owner's way out (again: once more, after a setpoint that slipped past a signal's
        way out). None when done, else a note saying the output may still be on, also kept as
        way_out_note. Never raises K7340Error."""
        if not (self.owner or again):
            self.drop(supply)
            return None
        self.owner = True
        self.way_out_note = self._way_out(supply, deliberate)
        return self.way_out_note

    def _way_out(self, supply, deliberate):
        try:
            if self.keep_output and deliberate:
                if self.armed:
                    supply.library_call("K7340_SetWD", 0)
                    self.armed = False
                self.drop(supply)
                return None
            supply.library_call("K7340_SetVoltage", 0.0)
            supply.note_setpoint(0.0)
        except K7340Error as exc:
            # Armed and no longer fed: the supply switches itself off within the period.
            self.stop_heartbeat()
            self.owner = False
            wayout.let_go(supply)
            left = (
                "the supply's watchdog switches it off within %d ms" % self.watchdog_ms
                if self.armed
                else "the dead-man is off"
            )
            return "the zero setpoint could not be sent (%s): the output may still be on (%s)" % (
                exc.text,
                left,
            )
        try:
            self.switched_off(supply)
        except K7340Error:
            self.drop(supply)  # the output is off; the watchdog stays armed but harmless
        return None

    def lost_note(self):
        """What closing a lost port (no byte sent) leaves, for an owner; None otherwise."""
        if not self.owner:
            return None
        left = (
            "the supply's watchdog switches it off within %d ms" % self.watchdog_ms
            if self.armed
            else "the dead-man is off"
        )
        return (
            "the port is lost, so no zero setpoint was sent: the output may still be on "
            "(%s)" % left
        )

    def drop(self, supply):
        """Ownership given up without a byte (a lost port, another supply, a fork)."""
        self.stop_heartbeat()
        self.owner = False
        self.armed = False
        wayout.let_go(supply)

    def stop_heartbeat(self):
        heartbeat, self.heartbeat = self.heartbeat, None
        if heartbeat is not None:
            heartbeat.stop()
