"""A console tool's session: opened from --port and the owner options, with the stop signals
handled for the whole process; and the one place that words how a tool's hold on the output
ended. The rules themselves are the session layer's (k7340.session)."""

import signal
import warnings

from .. import safety
from ..binding import K7340Error, K7340Warning
from ..session import CLOSE_WAIT_S, Session
from . import common, show

DEADMAN_OFF = (
    "--watchdog 0: the dead-man is off, so if this program is killed or the cable is pulled "
    "the output stays on"
)


class StopSignals:
    """The core's signal handling for a program that owns its process: INT, TERM, HUP and QUIT
    are taken whatever was inherited; a signal zeroes every supply held on, then only sets the
    flag. True once a signal arrived; callable as a session's stop()."""

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


def warned(caught):
    for w in caught:
        common.say("warning: %s; default ranges in force" % w.message)


def reader(args):
    """A device that only reads (info, off, clear-faults): nothing is set by opening it."""
    from ..binding import Device

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", K7340Warning)
        device = Device(index=args.index, **_where(args))
    warned(caught)
    return device


def _where(args):
    from ..binding import ports

    return ports.keywords(args.port)


def open_session(args, stop, owner, recorder=None):
    """A Session from --port and --index; an owner's with --watchdog, --max-volts, --on-trip
    and --rate, a reader's with --keep-alive. A stop during the open ends the tool there
    (common.Stopped): nothing was sent."""
    keywords = dict(
        index=args.index, say=common.say, stop=stop, sleep=stop.sleep, recorder=recorder
    )
    if owner:
        keywords.update(
            watchdog_ms=args.watchdog,
            max_volts=args.max_volts,
            on_trip=args.on_trip,
            rate=getattr(args, "rate", None),
            limits=args.limits,
        )
        if not args.watchdog:
            common.say(DEADMAN_OFF)
    else:
        keywords.update(reader=True, keep_alive=getattr(args, "keep_alive", False))
    session = Session(args.port, **keywords)
    try:
        session.open()
    except K7340Error as exc:
        if stop:
            raise common.Stopped(
                "stopped while %s opened (%s): nothing was sent" % (session.port, exc.text),
                stop.status(0),
            ) from None
        raise
    warned(session.warnings)
    if owner and session.limits is not None:
        common.say(
            "limit levels %.1f %%, %.1f %% of full scale (the nearest of the supply's "
            "63 steps)" % session.limits
        )
    return session


def finish(session, status, leave_on=False):
    """The way out of a console tool (the session's: an owner zeroes, a zero owed is tried
    again on a port that comes back, a reader sends nothing) and the words for how it ended.
    Returns status, or 1 when the output may still be on."""
    psu = session.supply
    if psu is None:
        return status
    if leave_on:
        psu.keep_output = True  # a deliberate close of a keep_output session disarms only
    wait = CLOSE_WAIT_S
    if psu.pending_off and not psu.watchdog_ms and not session.stop():
        wait = None  # no dead-man: only the software's zero switches the output off
        common.say(
            "%s: the output may still be on and the dead-man is off: waiting for the "
            "supply to answer to send the zero setpoint (Ctrl-C gives up)" % psu.port
        )
    try:
        session.close(wait)
    except K7340Error as exc:
        common.say("%s: %s" % (psu.port, exc.note) if exc.note else show.failure(exc, psu.port))
        return common.FAILED
    if leave_on:
        common.say(
            "output left at %.1f V on %s: unguarded now (watchdog off); k7340 off "
            "switches it off" % (psu.setpoint, psu.port)
        )
    elif psu.ownership.ever_owned:
        common.say("output set to zero on %s" % psu.port)
    return status
