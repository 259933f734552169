"""k7340 log: one CSV row per interval on a steady schedule, optionally plotted afterwards.

The log only reads: it never sends a setpoint, and closing the supply sends nothing. The file
is the sample log (k7340.lab.samplelog, the format ramp, monitor and condition write with
--csv too): checked before the supply is opened and written only once it is open; an existing
file is never cut (--force starts it anew, --append adds to it); rows are written whole. An
output found on that no program holds is said first and logged no faster than every 2.6 s
(--keep-alive: at --interval), so that the log's reads keep no orphaned output alive.
"""

import math

from ..lab.csvlog import CsvError
from . import common, connect, plot, record, samples


class Progress(common.ProgressLine):
    """A progress line on standard error when it is a terminal."""

    def __init__(self, args):
        super().__init__()
        self.total = " / %g s" % args.duration if args.duration else ""

    def show(self, rows, elapsed, values):
        volts, microamps, _, status, _, error = values
        now = error or "%s V  %s uA  %s" % (volts, microamps, status)
        self.write("%6d rows  %8.1f s%s  %s" % (rows, elapsed, self.total, now))


def slots(interval, duration):
    """How many rows a duration holds: one at the start and one per interval after it."""
    if duration is None:
        return None
    return max(1, math.ceil(duration / interval - 1e-9))


def log(args):
    if args.plot:
        plot.check(args.plot)
    out = samples.sample_log(args)
    with connect.StopSignals() as stop:
        session = connect.open_session(args, stop, False, record.next_to(args.csv))
        status = 0
        try:
            out.interval = session.poll_interval(args.interval)
            out.open()  # only now that the supply is open
            status = _rows(args, session, out)
        except CsvError as exc:
            common.say(str(exc))
            status = common.FAILED
        finally:
            out.close()
            connect.finish(session, 0)
    common.say("%d rows in %s" % (out.rows, args.csv))
    if args.plot and status == 0:  # a log ended by Ctrl-C is drawn too
        plot.draw(args.csv, args.plot)
        common.say("plot in %s" % args.plot)
    return stop.status(status)


def _rows(args, session, out):
    progress = Progress(args)
    feed = samples.feeder(session, out)

    def row(reading):
        if feed(reading):
            progress.show(out.rows, out.clock() - out.start, out.last)

    try:
        session.hold(out.interval, row, count=slots(out.interval, args.duration), keep_grid=True)
    finally:
        progress.end()
    return 0
