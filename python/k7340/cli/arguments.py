"""The console tools' argument types. Each refusal names the argument (argparse adds it) and
the allowed range; a refused argument is exit status 2 with nothing sent and no file touched."""

import argparse
import math
import re

# The highest full-scale voltage a supply's EEPROM can hold; the supply's own range, read at
# open, is checked again before anything is sent.
VOLTS_MAX = 60000.0
# Below this setpoint the supply's output is off.
OUTPUT_ON_VOLTS = 20.0
# The supply's watchdog counts in 10 ms units up to 2550 ms. A period shorter than 300 ms
# leaves too little room for the heartbeat over a slow adapter.
WATCHDOG_MS = (300, 2550)
WATCHDOG_DEFAULT_MS = 1000
STEP_S = (0.01, 10.0)
RAMP_MAX_S = 24 * 3600.0

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
            "must be volts %g..%g (as 5000, 5000V or 5kV), not %r" % (low, high, text))
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
            raise argparse.ArgumentTypeError("must be a number of %s above 0%s, not %r"
                                             % (unit, limit, text))
        return value

    return convert


def step_seconds(text):
    """--step: seconds between setpoints, 0.01..10."""
    value = _number(text)
    if not (math.isfinite(value) and STEP_S[0] <= value <= STEP_S[1]):
        raise argparse.ArgumentTypeError("must be seconds %g..%g, not %r" % (STEP_S + (text,)))
    return value


def watchdog_ms(text):
    """--watchdog: 0 (no dead-man: unsafe) or 300..2550 ms."""
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if value != 0 and not WATCHDOG_MS[0] <= value <= WATCHDOG_MS[1]:
        raise argparse.ArgumentTypeError("must be 0 (off, unsafe) or %d..%d milliseconds, not "
                                         "%r" % (WATCHDOG_MS + (text,)))
    return value


def ramp_seconds(start, target, rate):
    """How long a ramp takes at rate; the caller refuses more than RAMP_MAX_S."""
    return abs(target - start) / rate


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
