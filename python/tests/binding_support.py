"""Helpers shared by the binding's test modules (a unique name: conftest.py is not importable
reliably when several test folders run in one pytest session)."""

import os
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
if str(REPO / "python") not in sys.path:
    sys.path.insert(0, str(REPO / "python"))


def build_dir():
    return Path(os.environ.get("K7340_BUILD_DIR", REPO / "build" / "linux"))


def log_text(sim):
    """The simulator's decoded traffic log so far (the shared helper always starts it with
    --log)."""
    return Path(sim.log_path).read_text(errors="replace")


def setpoint_lines(log):
    """The log's setpoint commands and replies, oldest first."""
    return [ln for ln in log.splitlines() if "output off" in ln or "output on" in ln]


def last_setpoint_shows(sim, words):
    """Whether the log's last setpoint line comes to hold words. The simulator writes its log
    just after it answers, so a caller that got the reply may look a moment too early."""
    return wait_for(lambda: words in (setpoint_lines(log_text(sim)) or [""])[-1])


def wait_for(predicate, seconds=5.0):
    """Polls until predicate() is true; the bound only catches a hang."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.02)
