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


class _IntervalLog:
    """What both logs share: the CSV file, and a row once per interval on a grid from the
    first (a poll a hair early still counts; a slow one skips rows, never shifts them)."""

    def __init__(self, path, columns, interval, force, append, clock):
        self.file = CsvFile(path, columns, force=force, append=append)
        self.path = path
        self.interval = interval
        self.clock = clock
        self.start = self.due = None

    @property
    def rows(self):
        return self.file.rows

    def check(self):
        """Before the supply is opened (CsvError, one line)."""
        self.file.check()

    def open(self):
        """Once the supply is open."""
        self.file.open()
        self.start = self.due = self.clock()

    def _due(self, now):
        if now < self.due - self.interval * 0.01:
            return False
        self.due += self.interval * max(1, math.floor((now - self.due) / self.interval) + 1)
        return True

    def _write(self, now, row, event):
        self.file.write([timestamp(), "%.3f" % (now - self.start)] + list(row) + [event])

    def close(self):
        self.file.close()


class SampleLog(_IntervalLog):
    def __init__(self, path, interval, force=False, append=False, clock=time.monotonic):
        super().__init__(path, COLUMNS, interval, force, append, clock)
        self.last = None  # the values of the last row written

    def add(self, reading, error=""):
        """A reading (None after a failed poll, with the error): a row when one is due."""
        now = self.clock()
        if not self._due(now):
            return False
        self.last = values(reading, error)
        self._write(now, self.last, "")
        return True

    def mark(self, event, reading=None):
        """A row at once for an event, with the reading that showed it."""
        self.last = values(reading)
        self._write(self.clock(), self.last, event)


class GroupLog(_IntervalLog):
    """A group's sample log: per sample the time, then V, uA and status of each member, and an
    event column; one row per interval (the grid from the first), an event a row at once. The
    file's rules are the CSV writer's, as for SampleLog."""

    def __init__(self, path, interval, names, force=False, append=False, clock=time.monotonic):
        columns = ["time", "elapsed_s"]
        for name in names:
            columns += ["%s_volts" % name, "%s_microamps" % name, "%s_status" % name]
        super().__init__(path, columns + ["event"], interval, force, append, clock)
        self.names = list(names)

    def add(self, readings, event=""):
        """readings: name -> Reading (None: that member's poll failed). A row when one is due,
        or at once with an event."""
        now = self.clock()
        if not event and not self._due(now):
            return False
        row = []
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
        self._write(now, row, event)
        return True
