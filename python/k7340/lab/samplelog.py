"""The sample log: a supply's readings as CSV rows, one format for every tool that logs (`k7340
log`, and ramp, monitor and condition while they hold the output). A row goes out once per
interval, on a grid from the first one (a slow poll skips rows rather than shifting the ones
after it); an event (a trip) is a row of its own at once, named in the event column. The
file's rules are the CSV writer's (csvlog.py): checked before the supply is opened, written only
once it is open, never an existing file unless asked to, whole rows only.

The fault byte is never read for a row (reading it clears the supply's latched faults): the
faults column names the Fault bit instead."""

import datetime
import math
import time

from ..binding.flags import StatusFlags
from ..safety.status import status_text
from .csvlog import CsvFile

COLUMNS = (
    "time",
    "elapsed_s",
    "volts",
    "microamps",
    "temperature",
    "status",
    "faults",
    "error",
    "event",
)
FAULT_NOT_READ = "Fault bit set (not read: k7340 clear-faults acknowledges it)"


def timestamp():
    """The local time, ISO 8601 with milliseconds and the UTC offset."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def values(reading, error=""):
    """A reading's columns after the elapsed time (a failed poll: only the error)."""
    if reading is None:
        return ("", "", "", "", "", error)
    return (
        "%.1f" % reading.volts,
        "%.3f" % reading.microamps,
        "%.2f" % reading.temperature,
        status_text(reading.status, " "),
        FAULT_NOT_READ if StatusFlags.FAULT & int(reading.status) else "",
        error,
    )


class SampleLog:
    def __init__(self, path, interval, force=False, append=False, clock=time.monotonic):
        self.file = CsvFile(path, COLUMNS, force=force, append=append)
        self.path = path
        self.interval = interval
        self.clock = clock
        self.start = None
        self.due = None
        self.last = None  # the values of the last row written

    @property
    def rows(self):
        return self.file.rows

    def check(self):
        """Before the supply is opened (CsvError, one line)."""
        self.file.check()

    def open(self):
        """Once the supply is open."""
        self.file.open()
        self.start = self.clock()
        self.due = self.start

    def add(self, reading, error=""):
        """A reading (None after a failed poll, with the error): a row when one is due."""
        now = self.clock()
        if now < self.due - self.interval * 0.01:  # a poll a hair early still counts
            return False
        self.due += self.interval * max(1, math.floor((now - self.due) / self.interval) + 1)
        self._write(now, values(reading, error), "")
        return True

    def mark(self, event, reading=None):
        """A row at once for an event, with the reading that showed it."""
        self._write(self.clock(), values(reading), event)

    def _write(self, now, row, event):
        self.last = row
        self.file.write((timestamp(), "%.3f" % (now - self.start)) + row + (event,))

    def close(self):
        self.file.close()


class GroupLog:
    """A group's sample log: per sample the time, then V, uA and status of each member, and an
    event column; one row per interval (the grid from the first), an event a row at once. The
    file's rules are the CSV writer's, as for SampleLog."""

    def __init__(self, path, interval, names, force=False, append=False, clock=time.monotonic):
        columns = ["time", "elapsed_s"]
        for name in names:
            columns += ["%s_volts" % name, "%s_microamps" % name, "%s_status" % name]
        self.file = CsvFile(path, columns + ["event"], force=force, append=append)
        self.names, self.interval, self.clock = list(names), interval, clock
        self.start = self.due = None

    @property
    def rows(self):
        return self.file.rows

    def check(self):
        self.file.check()

    def open(self):
        self.file.open()
        self.start = self.due = self.clock()

    def add(self, readings, event=""):
        """readings: name -> Reading (None: that member's poll failed). A row when one is due,
        or at once with an event."""
        now = self.clock()
        if not event and now < self.due - self.interval * 0.01:
            return False
        if not event:
            self.due += self.interval * max(1, math.floor((now - self.due) / self.interval) + 1)
        row = [timestamp(), "%.3f" % (now - self.start)]
        for name in self.names:
            reading = readings.get(name)
            if name not in readings:  # an event before the first sample
                row += ["", "", ""]
            elif reading is None:
                row += ["", "", "no reading"]
            else:
                row += [
                    "%.1f" % reading.volts,
                    "%.3f" % reading.microamps,
                    status_text(reading.status, " "),
                ]
        self.file.write(row + [event])
        return True

    def close(self):
        self.file.close()
