"""The schedule tick, in one place: steps at a steady period, never ahead of it. A step that
comes late (a slow exchange, a busy computer) restarts the schedule from now instead of
catching up, so a ramp never outruns its rate and a log never bunches its rows."""

import math
import time


class Stopped(Exception):
    """The stop asked for came true at a tick: what runs ends there (at zero, if it held the
    output on)."""


class Schedule:
    """``wait()`` returns at the next step: period seconds after the last one. A late step
    restarts the schedule from now; with ``keep_grid`` (a log's rows) it goes on at the next
    step of the grid from the start that is still ahead instead, skipping the ones missed.
    ``stop()``, asked at every step, raises Stopped once true; ``sleep`` may wake early on a
    stop (a StopFlag's sleep does)."""

    def __init__(self, period, stop=None, clock=time.monotonic, sleep=time.sleep, keep_grid=False):
        self.period = period
        self.stop = stop
        self.clock = clock
        self.sleep = sleep
        self.keep_grid = keep_grid
        self.due = clock()

    def wait(self):
        self.due += self.period
        now = self.clock()
        if self.due < now:
            if self.keep_grid:
                self.due += self.period * math.ceil((now - self.due) / self.period)
            else:
                self.due = now
        self.until(self.due)

    def until(self, moment):
        """Waits until moment (clock time; at once when it has passed), then asks the stop."""
        now = self.clock()
        if moment > now:
            self.sleep(moment - now)
        if self.stop is not None and self.stop():
            raise Stopped()
