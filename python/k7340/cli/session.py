"""The console tools' hold on a supply. The policies (the dead-man, the poll with its held
fault byte, the lost-port rule and the reopen, the way out on a signal) are the safety core's;
this module maps the command line onto them and words how a run ended."""

import collections
import signal
import time
import warnings

from .. import safety
from ..binding import (ERR_CHECKSUM, ERR_READ, ERR_WRITE, OUTPUT_ON_VOLTS, K7340Error,
                       K7340Warning, Supply)
from ..lab import ramp as lab_ramp
from . import common, show

# A reading, or the text of the exchange that failed in its place.
Polled = collections.namedtuple("Polled", "volts microamps temperature status faults error")
# The way out of a lost port waits this long for the core to bring it back (a replugged
# adapter or a terminal server's hang-up is back within a few hundred milliseconds).
WAY_OUT_WAIT_S = 2.0
WAY_OUT_TRY_S = 0.1
LINE_ERRORS = (ERR_WRITE, ERR_READ, ERR_CHECKSUM)  # the line failed, not a refusal


def _port(args):
    return int(args.port) if args.port.isdigit() else args.port


def _warned(caught):
    for w in caught:
        common.say("warning: %s; default ranges in force" % w.message)


def reader(args):
    """A Supply that only reads (info): nothing is set, so closing sends nothing."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", K7340Warning)
        psu = Supply(index=args.index, watchdog_ms=0, **common.port_arguments(args.port))
    _warned(caught)
    return psu


class StopSignals:
    """The core's signal handling for a program that owns its process: INT, TERM, HUP and QUIT
    are taken whatever was inherited; a signal zeroes every supply held on, then only sets the
    flag. True once a signal arrived; callable for the ramp's stop()."""

    def __enter__(self):
        self._handling = safety.handle_signals(raise_interrupt=False)
        self.flag = self._handling.__enter__()
        return self

    def __exit__(self, *exc):
        # The tool owns its process: once its way out is done, a signal (a storm's tail) must
        # not end it in the middle of its report, nor kill it while Python shuts down (which
        # puts back the default action of every signal it handles, but not of ignored ones).
        # Ignoring them first leaves no moment without a handler.
        for signum in safety.wayout.stop_signals():
            signal.signal(signum, signal.SIG_IGN)
        return self._handling.__exit__(*exc)

    def __bool__(self):
        return bool(self.flag)

    def __call__(self):
        return bool(self.flag)

    def sleep(self, seconds):
        if seconds > 0:
            self.flag.sleep(seconds)

    def status(self, status):
        """A failure's status (1: the output may still be on, a trip, a lost file) first; else
        128 + the first signal's number once one arrived (130 for Ctrl-C); else 0."""
        received = self.flag.received
        return status or (common.SIGNALLED + int(received[0]) if received else 0)


class Link:
    """A safety-core Session opened from --port and --index. owner: the command switches the
    output on (with --watchdog and --max-volts); otherwise it only reads (no dead-man, and
    closing sends nothing)."""

    def __init__(self, args, owner=False):
        self.args = args
        keywords = {"watchdog_ms": args.watchdog, "max_volts": args.max_volts} if owner \
            else {"watchdog_ms": 0}
        self.session = safety.Session(_port(args), index=args.index, say=common.say, **keywords)
        self.session.open()
        _warned(self.session.warnings)
        self.switched_on = False

    @property
    def supply(self):
        return self.session.supply

    @property
    def port(self):
        return self.session.port

    def set_voltage(self, volts):
        self.switched_on = self.switched_on or volts >= OUTPUT_ON_VOLTS
        self.session.set_voltage(volts)

    def ramp(self, target, rate, step, progress, start, stop):
        """The lab ramp on this link's supply; a step that fails on the line counts towards
        the core's lost-port rule. True when the target was sent, False when stopped."""
        self.switched_on = self.switched_on or max(start, target) >= OUTPUT_ON_VOLTS
        try:
            return lab_ramp.ramp(self.session.supply, target, rate, step, progress, start,
                                 stop=stop)
        except K7340Error as exc:
            if exc.code in LINE_ERRORS:
                self.session.failed(exc)
            raise

    def poll(self):
        """A Polled reading; None while the port does not answer (the core reopens it)."""
        reading = self.session.poll()
        return None if reading is None else Polled(*reading, None)

    def close(self, leave_on=False):
        """The way out; returns 0, or 1 when the output may still be on (said)."""
        psu = self.session.supply
        owned = self.switched_on or psu.owns_output or psu.setpoint >= OUTPUT_ON_VOLTS
        if leave_on:
            psu.keep_output = True  # a deliberate close of a keep_output session disarms only
        elif owned and self.session.link != "up":
            self.session.output_off()  # kept: sent first once the same supply answers again
            deadline = time.monotonic() + WAY_OUT_WAIT_S
            while self.session.link == "down" and time.monotonic() < deadline:
                time.sleep(WAY_OUT_TRY_S)
                self.session.reconnect(now=True)
        status = 0
        try:
            self.session.close()
        except K7340Error as exc:
            common.say(show.failure(exc, self.port))
            status = common.FAILED
        if leave_on and status == 0:
            common.say("output left at %.1f V on %s: unguarded now (watchdog off); k7340 ramp "
                       "--to 0 switches it off" % (psu.setpoint, self.port))
        elif owned and psu.setpoint >= OUTPUT_ON_VOLTS:
            common.say("output may still be on: the zero setpoint could not be sent to %s (the "
                       "link is %s)%s" % (self.port, self.session.link, self._watchdog_note()))
            return common.FAILED
        elif owned and status == 0:
            common.say("output set to zero")
        return status

    def _watchdog_note(self):
        ms = self.session.supply.watchdog_ms
        return "; the supply's watchdog switches it off within %d ms" % ms if ms else ""
