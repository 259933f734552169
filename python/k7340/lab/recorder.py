"""The flight recorder: the last seconds of readings in memory, written to a CSV file when the
supply trips, faults, drops its output unasked (a watchdog run-out) or the link is lost.

    recorder = FlightRecorder(directory=".", seconds=30)
    for each poll (a k7340.safety Reading, or None and the text of a lost link):
        line = recorder.poll(reading, lost)
        if line: print(line)                  # "flight record ... in <file>"

The file has the columns of `k7340 log` (time, volts, microamps, status) plus the setpoint and
an event column, so `k7340 plot` draws it. Its last row is the event's record: the reading that
showed it (or only the time, for a lost link) and what happened. A state that lasts (a trip bit
that stays set) writes one file when it appears, not one per poll. A file is written whole or
not at all: it appears under its name only once its last row is on disk. The fault byte is
never read for a record (that would clear the supply's latch): a fault shows as its status bit.
"""

import collections
import csv
import datetime
import os
import re
import threading
import time

import tempfile

from ..binding import OUTPUT_ON_VOLTS
from ..binding.flags import StatusFlags
from ..safety.status import BACKOFF_BITS, output_is_on, status_text

COLUMNS = ("time", "elapsed_s", "setpoint", "volts", "microamps", "status", "event")
DEFAULT_SECONDS = 30.0
MAX_SAMPLES = 100000  # a bound on memory whatever the poll rate

Sample = collections.namedtuple("Sample", "when moment setpoint volts microamps status")
Sample.__doc__ = """One poll: wall-clock time (aware datetime), monotonic seconds, the setpoint
the session last sent (None when it sends none), volts, microamperes and the status byte."""


def events_of(sample):
    """The conditions a reading shows, as {key: text}: a trip (over-voltage or over-current
    while the output is on), over-temperature, the Fault bit, an output that is off although the
    setpoint says on (the supply's watchdog ran out, or the supply switched it off)."""
    status = StatusFlags(sample.status)
    found = {}
    if status & BACKOFF_BITS and output_is_on(status, sample.setpoint):
        found["trip"] = "trip: " + status_text(status & BACKOFF_BITS, " ")
    if StatusFlags.OVER_TEMPERATURE in status:
        found["over-temperature"] = "over-temperature"
    if StatusFlags.FAULT in status:
        found["fault"] = "fault bit set (clear-faults acknowledges it)"
    if (sample.setpoint or 0.0) >= OUTPUT_ON_VOLTS and StatusFlags.ENABLE not in status:
        found["output-dropped"] = (
            "output off unasked at setpoint %.1f V (watchdog run-out?)" % sample.setpoint
        )
    return found


def _now():
    return datetime.datetime.now().astimezone()


class FlightRecorder:
    """Keeps ``seconds`` of samples; ``write`` puts them in a CSV file in ``directory``,
    named ``<name>-record-<date>-<time>-<event>.csv``."""

    def __init__(
        self, directory=None, seconds=DEFAULT_SECONDS, name="k7340", clock=time.monotonic, now=_now
    ):
        if not seconds > 0:
            raise ValueError("seconds must be above 0, not %r" % (seconds,))
        self.directory = os.path.abspath(directory or os.getcwd())
        self.seconds = float(seconds)
        self.name = name
        self.files = []  # the files written, oldest first
        self.last_file = None  # the file of the last write, None if it failed
        self._clock, self._now = clock, now
        self._samples = collections.deque(maxlen=MAX_SAMPLES)
        self._active = set()
        self._lost = False
        self._lock = threading.Lock()
        self._start = clock()

    def __len__(self):
        return len(self._samples)

    def samples(self):
        with self._lock:
            return list(self._samples)

    def add(self, setpoint, volts, microamps, status, skip=()):
        """Keeps one reading; returns the text of an event it starts (else None), leaving out
        events whose key is in skip (a caller that writes those itself). The caller writes the
        record: ``recorder.write(event)``."""
        sample = Sample(self._now(), self._clock(), setpoint, volts, microamps, int(status))
        found = events_of(sample)
        with self._lock:
            self._samples.append(sample)
            while sample.moment - self._samples[0].moment > self.seconds:
                self._samples.popleft()
            fresh = [t for key, t in found.items() if key not in self._active and key not in skip]
            self._active = set(found)
        return "; ".join(fresh) or None

    def poll(self, reading, lost=None, skip=()):
        """A session's poll: ``reading`` a k7340.safety Reading (None when the poll got none),
        ``lost`` the text of a link that is down (None while up), ``skip`` as add's. Returns the
        line to say when a record was written, else None."""
        if lost:
            if self._lost:
                return None
            self._lost = True
            return self.write("lost link: %s" % lost, last=False)
        self._lost = False
        if reading is None:
            return None
        event = self.add(reading.setpoint, reading.volts, reading.microamps, reading.status, skip)
        return self.write(event) if event else None

    def write(self, event, last=True):
        """Writes the samples and the event's record: with ``last`` the newest sample is the
        reading that showed the event (after ``add`` returned it); without (a lost link) the
        record holds only the time. Returns one line saying where the file is, or why it
        could not be written; never raises for the file."""
        with self._lock:
            rows = list(self._samples)
        record = rows.pop() if last and rows else None
        when = record.when if record is not None else self._now()
        path = self._path(when, event)
        try:
            os.makedirs(self.directory, exist_ok=True)
            self._write_whole(path, rows, record, when, event)
        except OSError as exc:
            self.last_file = None
            return "could not write the flight record (%s) in %s: %s" % (
                event,
                self.directory,
                exc.strerror or exc,
            )
        self.files.append(path)
        self.last_file = path
        return "flight record of the last %g s (%s) in %s" % (self.seconds, event, path)

    def _write_whole(self, path, rows, record, when, event):
        """Writes a temporary file beside path and gives it path's name only once it is whole
        (a full disk leaves no file at all, never one without its event row)."""
        fd, part = tempfile.mkstemp(prefix=".record-", suffix=".part", dir=self.directory)
        try:
            with os.fdopen(fd, "w", newline="", encoding="utf-8") as out:
                writer = csv.writer(out)
                writer.writerow(COLUMNS)
                for sample in rows:
                    writer.writerow(self._row(sample, ""))
                if record is not None:
                    writer.writerow(self._row(record, event))
                else:
                    elapsed = "%.3f" % (self._clock() - self._start)
                    stamp = when.isoformat(timespec="milliseconds")
                    writer.writerow((stamp, elapsed, "", "", "", "", event))
                out.flush()
                os.fsync(out.fileno())
            os.link(part, path)  # never over a file that appeared meanwhile
        finally:
            os.unlink(part)

    def _row(self, s, event):
        setpoint = "" if s.setpoint is None else "%.1f" % s.setpoint
        return (
            s.when.isoformat(timespec="milliseconds"),
            "%.3f" % (s.moment - self._start),
            setpoint,
            "%.1f" % s.volts,
            "%.3f" % s.microamps,
            " ".join(StatusFlags(s.status).labels()),
            event,
        )

    def _path(self, when, event):
        slug = re.sub(r"[^a-z0-9]+", "-", event.lower()).strip("-")[:40] or "event"
        stem = "%s-record-%s-%s" % (self.name, when.strftime("%Y%m%d-%H%M%S"), slug)
        path, n = os.path.join(self.directory, stem + ".csv"), 1
        while os.path.exists(path) or path in self.files:
            n += 1
            path = os.path.join(self.directory, "%s-%d.csv" % (stem, n))
        return path
