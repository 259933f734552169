"""The console tools' argument types. Each refusal names the argument (argparse adds it) and
the allowed range; a refused argument is exit status 2 with nothing sent and no file touched."""

import argparse
import math
import re

from ..binding.supply import OUTPUT_ON_VOLTS, VRANGE_BOUNDS
from ..lab import ramp
from ..safety import deadman

# The highest full-scale voltage a supply's EEPROM can hold; the supply's own range, read at
# open, is checked again before anything is sent.
VOLTS_MAX = float(VRANGE_BOUNDS[1])
WATCHDOG_DEFAULT_MS = deadman.DEFAULT_WATCHDOG_MS
STEP_S = ramp.STEP_S

_VOLTS = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][+-]?[0-9]+)?)\s*(k?)\s*v?\s*", re.IGNORECASE)


def _number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def volts(text, low=0.0, high=VOLTS_MAX):
    """Volts as 5000, 5000V or 5kV (5 kV, 5.5kv); a finite number low..high."""
    match = _VOLTS.fullmatch(text)
    value = math.nan
    if match:
        value = _number(match.group(1)) * (1000.0 if match.group(2) else 1.0)
    if not (math.isfinite(value) and low <= value <= high):
        raise argparse.ArgumentTypeError(
            "must be volts %g..%g (as 5000, 5000V or 5kV), not %r" % (low, high, text)
        )
    return value


def max_volts(text):
    """--max-volts: the highest setpoint this run may send, 20 V or more."""
    return volts(text, OUTPUT_ON_VOLTS)


def positive(unit, high=math.inf):
    """A type: a finite number above 0 and at most high."""

    def convert(text):
        value = _number(text)
        if not (math.isfinite(value) and 0 < value <= high):
            limit = "" if math.isinf(high) else " and at most %g" % high
            raise argparse.ArgumentTypeError(
                "must be a number of %s above 0%s, not %r" % (unit, limit, text)
            )
        return value

    return convert


def step_seconds(text):
    """--step: seconds between setpoints, 0.01..10."""
    value = _number(text)
    if not (math.isfinite(value) and STEP_S[0] <= value <= STEP_S[1]):
        raise argparse.ArgumentTypeError("must be seconds %g..%g, not %r" % (STEP_S + (text,)))
    return value


def watchdog_ms(text):
    """--watchdog: 0 (no dead-man: unsafe) or the safety core's range of periods."""
    try:
        return deadman.checked_watchdog_ms(int(text, 10), "MS")
    except (ValueError, TypeError):
        raise argparse.ArgumentTypeError(
            "must be 0 (off, unsafe) or %d..%d milliseconds, not "
            "%r" % (deadman.MIN_WATCHDOG_MS, deadman.MAX_WATCHDOG_MS, text)
        ) from None


class OneLineParser(argparse.ArgumentParser):
    """An argument error is one line and exit status 2 (argparse prints the usage too)."""

    def error(self, message):
        self.exit(2, "%s: error: %s (see %s --help)\n" % (self.prog, message, self.prog))


def check_ceiling(args, *names):
    """Each of names (--voltage, --to) at most --max-volts; a message naming both, or None."""
    ceiling = getattr(args, "max_volts", None)
    for name in names:
        value = getattr(args, name, None)
        if ceiling is not None and value is not None and value > ceiling:
            return "--%s %g V is above --max-volts %g V" % (name, value, ceiling)
    return None
