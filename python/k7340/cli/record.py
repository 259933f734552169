"""The flight recorder of the console tools that poll (monitor, log): the last seconds of
readings in memory, written to a CSV file (and said where) when the supply trips, faults, drops
its output unasked or the link is lost. See k7340.lab.recorder."""

import os

from ..lab.recorder import FlightRecorder
from . import common


def recorder(folder=None):
    """A recorder writing to folder (default the current one)."""
    return FlightRecorder(folder or os.getcwd())


def next_to(path):
    """A recorder writing next to the file path (a log's CSV)."""
    return FlightRecorder(os.path.dirname(os.path.abspath(path)))


def note(flight, link, reading):
    """After one poll of link (a session.Link): feeds the recorder, says where a record went."""
    line = flight.poll(
        reading,
        link.supply.setpoint if link.switched_on else None,
        None if link.up else link.error(),
    )
    if line:
        common.say(line)
