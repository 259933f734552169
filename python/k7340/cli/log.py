"""k7340 log: one CSV row per interval on a steady schedule, optionally plotted afterwards.

The log only reads: it never sends a setpoint, and closing the supply sends nothing.
"""

import csv
import datetime
import math
import time

from .. import K7340Error
from . import common, plot

COLUMNS = ("time", "elapsed_s", "volts", "microamps", "temperature", "status", "faults", "error")


def timestamp():
    """The local time, ISO 8601 with milliseconds and the UTC offset."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def reading(connection):
    """(volts, microamps, temperature, status, faults, error) of one row. The flags come
    from this row's replies; a failed exchange gives its text and empty readings."""
    if not connection.reopen():
        return ("", "", "", "", "", "no supply answers on %s" % connection.port)
    psu = connection.psu
    try:
        volts = psu.read_voltage()
        microamps = psu.read_current()
        temperature = psu.read_temperature()
        faults = psu.faults
    except K7340Error as exc:
        connection.failed(exc)
        return ("", "", "", "", "", exc.text)
    connection.succeeded()
    return ("%.1f" % volts, "%.3f" % microamps, "%.2f" % temperature,
            " ".join(psu.status.labels()), " ".join(faults.labels()), "")


def open_csv(path):
    """The CSV file, opened before the supply is: an unwritable path is bad input."""
    try:
        return open(path, "w", newline="", encoding="utf-8")
    except OSError as exc:
        raise common.BadInput("cannot write the CSV file %s: %s" % (path, exc.strerror)) from None


class Progress(common.ProgressLine):
    """A progress line on standard error when it is a terminal."""

    def __init__(self, args):
        super().__init__()
        self.total = " / %g s" % args.duration if args.duration else ""

    def show(self, rows, elapsed, values):
        volts, microamps, _, status, _, error = values
        now = error or "%s V  %s uA  %s" % (volts, microamps, status or "-")
        self.write("%6d rows  %8.1f s%s  %s\x1b[K" % (rows, elapsed, self.total, now))


def slots(interval, duration):
    """How many rows a duration holds: one at the start and one per interval after it."""
    if duration is None:
        return None
    return max(1, math.ceil(duration / interval - 1e-9))


def log(args):
    if args.plot:
        plot.check(args.plot)
    out = open_csv(args.csv)
    rows = 0
    with out, common.StopSignals() as stop:
        writer = csv.writer(out)
        writer.writerow(COLUMNS)
        out.flush()
        connection = common.Connection(args)
        connection.open()
        progress = Progress(args)
        total = slots(args.interval, args.duration)
        start = time.monotonic()
        slot = 0
        try:
            while not stop and (total is None or slot < total):
                stop.sleep(start + slot * args.interval - time.monotonic())
                if stop:
                    break
                when, elapsed = timestamp(), time.monotonic() - start
                values = reading(connection)
                writer.writerow((when, "%.3f" % elapsed) + values)
                out.flush()
                rows += 1
                progress.show(rows, elapsed, values)
                # The next slot on the schedule that is still ahead: a slow row skips slots
                # rather than shifting the ones after it.
                slot = max(slot + 1, math.floor((time.monotonic() - start) / args.interval) + 1)
        finally:
            progress.end()
            if connection.psu is not None:
                connection.psu.close()
    common.say("%d rows in %s" % (rows, args.csv))
    if args.plot:
        plot.draw(args.csv, args.plot)
        common.say("plot in %s" % args.plot)
    return 0
