"""Where the console tools' flight recorder writes: the last seconds of readings in memory,
written to a CSV file when the supply trips, faults, drops its output unasked or the link is
lost. The session feeds it every reading and says where each record went. See
k7340.lab.recorder."""

import os

from ..lab.recorder import FlightRecorder


def recorder(folder=None):
    """A recorder writing to folder (default the current one)."""
    return FlightRecorder(folder or os.getcwd())


def next_to(path):
    """A recorder writing next to the file path (a log's CSV)."""
    return FlightRecorder(os.path.dirname(os.path.abspath(path)))
