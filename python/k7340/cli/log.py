"""k7340 log: one CSV row per interval on a steady schedule, optionally plotted afterwards.

The log only reads: it never sends a setpoint, and closing the supply sends nothing. The CSV
file is checked before the supply is opened and written only once it is open; an existing
file is never cut (--force starts it anew, --append adds to it); rows are written whole. An
output found on that no program holds is said first and logged no faster than every 2.6 s
(--keep-alive: at --interval), so that the log's reads keep no orphaned output alive.
"""

import datetime
import math
import time

from ..binding.flags import StatusFlags
from ..lab.csvlog import CsvError, CsvFile
from ..session import UP
from . import common, connect, plot, record, show

COLUMNS = ("time", "elapsed_s", "volts", "microamps", "temperature", "status", "faults", "error")
# The fault byte is never read by a log (reading it clears the supply's latched faults): the
# column names the Fault bit instead, as older logs' readers expect the column.
FAULT_NOT_READ = "Fault bit set (not read: k7340 clear-faults acknowledges it)"


def timestamp():
    """The local time, ISO 8601 with milliseconds and the UTC offset."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def row_values(reading):
    return (
        "%.1f" % reading.volts,
        "%.3f" % reading.microamps,
        "%.2f" % reading.temperature,
        show.status_text(reading.status, " "),
        FAULT_NOT_READ if reading.status & StatusFlags.FAULT else "",
        "",
    )


def error_values(text):
    return ("", "", "", "", "", text)


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
    out = CsvFile(args.csv, COLUMNS, force=args.force, append=args.append)
    out.check()
    with connect.StopSignals() as stop:
        session = connect.open_session(args, stop, False, record.next_to(args.csv))
        status = 0
        try:
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
    interval = session.poll_interval(args.interval)
    start = time.monotonic()

    def row(reading):
        when, elapsed = timestamp(), time.monotonic() - start
        if reading is None:
            values = error_values(
                session.last_error.text if session.link == UP else session.link_text
            )
        else:
            values = row_values(reading)
        out.write((when, "%.3f" % elapsed) + values)
        progress.show(out.rows, elapsed, values)

    try:
        session.hold(interval, row, count=slots(interval, args.duration), keep_grid=True)
    finally:
        progress.end()
    return 0
