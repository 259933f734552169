"""k7340 log: one CSV row per interval on a steady schedule, optionally plotted afterwards.

The log only reads: it never sends a setpoint, and closing the supply sends nothing. The CSV
file is checked before the supply is opened and written only once it is open; an existing
file is never cut (--force starts it anew, --append adds to it); rows are written whole.
"""

import datetime
import math
import time

from . import common, plot, record, session, show
from .csvfile import CsvError, CsvFile

COLUMNS = ("time", "elapsed_s", "volts", "microamps", "temperature", "status", "faults", "error")


def timestamp():
    """The local time, ISO 8601 with milliseconds and the UTC offset."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def row_values(reading):
    return (
        "%.1f" % reading.volts,
        "%.3f" % reading.microamps,
        "%.2f" % reading.temperature,
        show.status_text(reading.status, " "),
        show.fault_text(reading.status, reading.faults),
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
    with session.StopSignals() as stop:
        link = session.Link(args, owner=False)
        status = 0
        try:
            out.open()  # only now that the supply is open
            status = _rows(args, link, out, stop)
        except CsvError as exc:
            common.say(str(exc))
            status = common.FAILED
        finally:
            out.close()
            link.close()
    common.say("%d rows in %s" % (out.rows, args.csv))
    if args.plot and status == 0:  # a log ended by Ctrl-C is drawn too
        plot.draw(args.csv, args.plot)
        common.say("plot in %s" % args.plot)
    return stop.status(status)


def _rows(args, link, out, stop):
    progress = Progress(args)
    total = slots(args.interval, args.duration)
    start = time.monotonic()
    slot = 0
    flight = record.next_to(args.csv)  # the flight recorder writes next to the log
    try:
        while not stop and (total is None or slot < total):
            stop.sleep(start + slot * args.interval - time.monotonic())
            if stop:
                break
            when, elapsed = timestamp(), time.monotonic() - start
            reading = link.poll()
            record.note(flight, link, reading)
            if reading is None:
                values = error_values(link.error())
            else:
                values = row_values(reading)
            out.write((when, "%.3f" % elapsed) + values)
            progress.show(out.rows, elapsed, values)
            # The next slot on the schedule that is still ahead: a slow row skips slots
            # rather than shifting the ones after it.
            slot = max(slot + 1, math.floor((time.monotonic() - start) / args.interval) + 1)
    finally:
        progress.end()
    return 0
