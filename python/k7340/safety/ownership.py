"""Who may switch the output off, and how: the rules a supply's owner keeps.

Only the session that switched the output on switches it off. Before it does switch it on (and
only after every check that could refuse has passed) it arms the supply's watchdog and starts
the heartbeat; the handlers for the stop signals are in place before the setpoint goes out.

The switch-off sequence (``switch_off``, the one place it is written) sends the zero setpoint
under the slot lock; only once the supply has acknowledged it is the watchdog disarmed (count
0), then the heartbeat stops. If the zero fails, it stays pending (``pending_off``) and goes out
first once the same supply answers again; meanwhile the watchdog stays armed and unfed, so the
supply switches itself off within the period, and the words say that the output may still be
on. ``keep_output`` sessions disarm on a deliberate close and leave the setpoint; every other
way out zeroes them too. A read-only session and a port behind which another supply answers are
left without a byte.

After an outage (a lost link, or a gap in feeding as long as the period: see
deadman.starved) the output is presumed off (``outage`` says why): the heartbeat stops, the zero
goes out (or stays pending), and whatever operation ran ends; only a new request switches the
output on again.

Every method is called with the supply's slot lock held; none keeps a reference to the supply.
"""

import time

from ..binding.errors import K7340Error
from . import deadman, wayout
from .heartbeat import Heartbeat


class Ownership:
    def __init__(self, watchdog_ms, keep_output):
        self.watchdog_ms = watchdog_ms
        self.keep_output = keep_output
        self.owner = False  # this session switched the output on (or adopted it)
        self.ever_owned = False  # it did so at least once
        self.armed = False  # this session armed the supply's watchdog
        self.heartbeat = None
        self.pending_off = False  # a zero setpoint owed: it failed, or the port was lost
        self.slowest_s = 0.0  # the slowest exchange timed at open
        self.stopped = False  # a signal's way out ran: the output goes on no more
        self.way_out_note = None  # why the last way out's zero may not have gone out
        self.fed_at = 0.0  # time.monotonic() at the start of the last acknowledged feed
        self.outage = None  # why the output is presumed off, until a new request

    # --- switching on -------------------------------------------------------------------------

    def before_output_on(self, supply):
        """Arms the watchdog (when the dead-man is on) and holds the output for the way out.
        A failure raises before the output goes on; so does a supply a signal stopped or one
        whose zero is still owed. A new request: any outage is over."""
        if self.stopped:
            raise K7340Error(
                None,
                "refused: a stop signal switched the output off",
                "K7340_SetVoltage",
                device=supply.port,
                note="this session switches it on no more",
            )
        if self.pending_off:
            raise K7340Error(
                None,
                "refused: a zero setpoint is still owed to the supply",
                "K7340_SetVoltage",
                device=supply.port,
                note="it goes out first once the same supply answers",
            )
        if self.watchdog_ms and not self.armed:
            deadman.check_against_line(self.watchdog_ms, self.slowest_s, supply.port)
            self.feed(supply)
            self.armed = True
            self.heartbeat = Heartbeat(supply, self, self.watchdog_ms).start()
        elif self.armed and self.starving():
            self.feed(supply)  # a request after a quiet spell: fed before the setpoint
        self.outage = None
        self.owner = self.ever_owned = True
        wayout.hold(supply)

    def feed(self, supply):
        """One watchdog command with the period; its start time counts as the feed."""
        began = time.monotonic()
        supply.library_call("K7340_SetWD", self.watchdog_ms)
        self.fed_at = began

    def starving(self, now=None):
        """The outage rule's clock says the supply may have gone a period unfed."""
        now = time.monotonic() if now is None else now
        return self.armed and deadman.starved(self.fed_at, now, self.watchdog_ms, self.slowest_s)

    def beat(self, supply, heartbeat):
        """One beat of heartbeat, unless it has been stopped meanwhile. False ends it. A beat
        that comes after a gap (the process was stopped, the interpreter starved) feeds no more:
        the output is presumed off and zeroed."""
        if self.heartbeat is not heartbeat or not self.armed or supply.closed or supply.lost:
            return self.heartbeat is heartbeat and not supply.closed
        if self.owner and self.starving():
            self.presume_off(supply, self.starved_text())
            return False
        try:
            self.feed(supply)
            heartbeat.failures = 0
        except K7340Error:
            heartbeat.failures += 1  # the supply's own watchdog takes it from here
        return True

    def starved_text(self):
        return (
            "the supply's watchdog (%d ms) went unfed for a whole period (a stopped process or "
            "a busy computer), so it may have switched the output off" % self.watchdog_ms
        )

    def change_period(self, supply, watchdog_ms):
        """The owner set a new period (already sent): the heartbeat follows it."""
        self.watchdog_ms = watchdog_ms
        self.fed_at = time.monotonic()
        self.stop_heartbeat()
        self.heartbeat = Heartbeat(supply, self, watchdog_ms).start()

    def adopt(self, supply):
        """An output found on that no program holds becomes this session's: armed and fed from
        now on, and switched off by its way out."""
        self.before_output_on(supply)

    # --- switching off ------------------------------------------------------------------------

    def switch_off(self, supply, volts=0.0):
        """The switch-off sequence: the zero setpoint (or volts below the output-on level); once
        acknowledged, the watchdog disarmed,
        the heartbeat stopped, ownership given up. Returns None, or the K7340Error of a zero
        that failed, whose note says the output may still be on: the zero then stays pending
        (sent first once the same supply answers) and the watchdog armed and unfed. Never
        raises K7340Error."""
        try:
            supply.send_setpoint(volts)
        except K7340Error as exc:
            self.pending_off = True
            self.stop_heartbeat()
            exc.note = self.may_still_be_on("the zero setpoint could not be sent (%s)" % exc.text)
            return exc
        self.pending_off = False
        self.way_out_note = None
        try:
            self.switched_off(supply)
        except K7340Error:
            self.drop(supply)  # the output is off; the watchdog stays armed but harmless
        return None

    def switched_off(self, supply):
        """The supply acknowledged a setpoint below the output-on level: disarm, stop feeding,
        let go."""
        if self.armed:
            supply.library_call("K7340_SetWD", 0)
            self.armed = False
        self.stop_heartbeat()
        self.owner = False
        wayout.let_go(supply)

    def presume_off(self, supply, why):
        """An outage: the output is presumed off from now on (why says how it came). The
        heartbeat stops; the zero goes out now, or stays pending while the port is lost."""
        self.outage = why
        self.stop_heartbeat()
        if not self.owner:
            return
        if supply.lost:
            self.pending_off = True
            return
        self.switch_off(supply)

    def way_out(self, supply, deliberate, again=False):
        """The owner's way out (again: once more, after a setpoint that slipped past a signal's
        way out). None when done, else a note saying the output may still be on, also kept as
        way_out_note. Never raises K7340Error."""
        if not (self.owner or again or self.pending_off):
            self.drop(supply)
            return None
        self.owner = True
        if self.keep_output and deliberate and not self.pending_off:
            try:
                if self.armed:
                    supply.library_call("K7340_SetWD", 0)
                    self.armed = False
            except K7340Error as exc:
                self.stop_heartbeat()
                self.way_out_note = self.may_still_be_on("the disarm failed (%s)" % exc.text)
                return self.way_out_note
            self.drop(supply)
            return None
        if supply.lost:
            self.pending_off = True
            self.stop_heartbeat()
            self.way_out_note = self.lost_note()
            return self.way_out_note
        failed = self.switch_off(supply)
        self.way_out_note = failed.note if failed is not None else None
        return self.way_out_note

    def may_still_be_on(self, why):
        """The words of an Off that did not go out: why, and what is left to switch it off."""
        left = (
            "the supply's watchdog switches it off within %d ms" % self.watchdog_ms
            if self.armed
            else "the dead-man is off"
        )
        return "%s: the output may still be on (%s)" % (why, left)

    def lost_note(self):
        """What a lost port leaves, for an owner; None otherwise."""
        if not (self.owner or self.pending_off):
            return None
        return self.may_still_be_on("the zero setpoint could not be sent (the port is lost)")

    def drop(self, supply):
        """Ownership given up without a byte (another supply behind the port, a fork, a
        deliberate keep_output close)."""
        self.stop_heartbeat()
        self.owner = False
        self.armed = False
        self.pending_off = False
        wayout.let_go(supply)

    def stop_heartbeat(self):
        heartbeat, self.heartbeat = self.heartbeat, None
        if heartbeat is not None:
            heartbeat.stop()
