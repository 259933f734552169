"""The console tools' hold on a supply. The policies (the dead-man, the poll with its held
fault byte, the lost-port rule and the reopen, the way out on a signal) are the safety core's;
this module maps the command line onto them and words how a run ended."""

import signal
import warnings

from .. import safety
from ..binding import (
    ERR_CHECKSUM,
    ERR_READ,
    ERR_WRITE,
    OUTPUT_ON_VOLTS,
    K7340Error,
    K7340Warning,
    Supply,
)
from ..lab import ramp as lab_ramp
from ..safety.session import DOWN, OTHER_SUPPLY, UP
from . import common, show

LINE_ERRORS = (ERR_WRITE, ERR_READ, ERR_CHECKSUM)  # the line failed, not a refusal
WHY = {
    UP: "the zero setpoint was not acknowledged",
    DOWN: "the port is lost",
    OTHER_SUPPLY: "another supply answers on that port now",
}


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
        keywords = (
            {"watchdog_ms": args.watchdog, "max_volts": args.max_volts}
            if owner
            else {"watchdog_ms": 0}
        )
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
            return lab_ramp.ramp(
                self.session.supply, target, rate, step, progress, start, stop=stop
            )
        except K7340Error as exc:
            if exc.code in LINE_ERRORS:
                self.session.failed(exc)
            raise

    def poll(self):
        """The core's Reading; None after a failed exchange and while the port does not answer
        (the core reopens it): then error() says why."""
        return self.session.poll()

    def error(self):
        """Why the last poll gave nothing: the failed exchange, or why the link is down."""
        if self.session.link == UP and self.session.last_error is not None:
            return self.session.last_error.text
        return self.session.link_text or "no supply answers on %s" % self.port

    @property
    def up(self):
        return self.session.link == UP

    @property
    def taken(self):
        """Another supply answers on the port: the session gave up the output, untouched."""
        return self.session.link == OTHER_SUPPLY

    def close(self, leave_on=False):
        """The way out (the core's: an owner zeroes, retrying a lost port for a while; a
        reader sends nothing); returns 0, or 1 when the output may still be on (said)."""
        psu = self.session.supply
        owned = self.switched_on or psu.owns_output
        if leave_on:
            psu.keep_output = True  # a deliberate close of a keep_output session disarms only
        try:
            self.session.close()
        except K7340Error as exc:
            common.say(
                "%s: %s" % (self.port, exc.note) if exc.note else show.failure(exc, self.port)
            )
            return common.FAILED
        if leave_on:
            common.say(
                "output left at %.1f V on %s: unguarded now (watchdog off); k7340 ramp "
                "--to 0 switches it off" % (psu.setpoint, self.port)
            )
        elif owned and (psu.way_out_note or psu.setpoint >= OUTPUT_ON_VOLTS):
            common.say(
                "%s: output may still be on: %s%s"
                % (
                    self.port,
                    psu.way_out_note or WHY.get(self.session.link, self.session.link),
                    self._watchdog_note(),
                )
            )
            return common.FAILED
        elif owned:
            common.say("output set to zero on %s" % self.port)
        return 0

    def _watchdog_note(self):
        ms = self.session.supply.watchdog_ms
        return "; the supply's watchdog switches it off within %d ms" % ms if ms else ""
