"""Quantities as people write them, in one place: the console tools' arguments and the plans'
values. Volts as 5000, 5000V or 5kV; rates as 100, 100V/s or 0.1kV/s; durations as 30, 30s,
500ms, 10min or 2h; the two limit levels as 100%,80%. Each refusal is a UnitError (a
ValueError) naming what was expected."""

import argparse
import math
import re

_NUMBER = r"\s*([0-9]*\.?[0-9]+(?:[eE][+-]?[0-9]+)?)\s*"
_VOLTS = re.compile(_NUMBER + r"(k?)\s*v?\s*", re.IGNORECASE)
_RATE = re.compile(_NUMBER + r"(?:(k?)\s*v\s*/\s*s)?\s*", re.IGNORECASE)
_SECONDS = re.compile(_NUMBER + r"(ms|s|min|h)?\s*", re.IGNORECASE)
_SECONDS_PER = {None: 1.0, "ms": 0.001, "s": 1.0, "min": 60.0, "h": 3600.0}
_PERCENT = re.compile(_NUMBER + r"%?\s*")


class UnitError(ValueError):
    """A value that is not the quantity asked for, or outside its range."""


class OneLineParser(argparse.ArgumentParser):
    """The command lines of the console tools and the GUI: an argument error is one line and
    exit status 2 (argparse's own adds the usage)."""

    def error(self, message):
        self.exit(2, "%s: error: %s (see %s --help)\n" % (self.prog, message, self.prog))


def _finite_in(value, low, high):
    return math.isfinite(value) and low <= value <= high


def volts(text, low=0.0, high=math.inf):
    """Volts: 5000, 5000V, 5kV, 5 kV; a finite number low..high."""
    match = _VOLTS.fullmatch(str(text))
    value = math.nan
    if match:
        value = float(match.group(1)) * (1000.0 if match.group(2) else 1.0)
    if not _finite_in(value, low, high):
        raise UnitError("must be volts %g..%g (as 5000, 5000V or 5kV), not %r" % (low, high, text))
    return value


def rate(text, high=math.inf):
    """Volts per second: 100, 100V/s, 0.1kV/s; finite, above 0, at most high."""
    match = _RATE.fullmatch(str(text))
    value = math.nan
    if match:
        value = float(match.group(1)) * (1000.0 if match.group(2) else 1.0)
    if not (_finite_in(value, 0.0, high) and value > 0):
        limit = "" if math.isinf(high) else " and at most %g" % high
        raise UnitError(
            "must be volts per second above 0%s (as 100 or 100V/s), not %r" % (limit, text)
        )
    return value


def seconds(text, low=0.0, high=math.inf, above=False):
    """A duration: 30, 30s, 500ms, 10min, 2h; finite, low..high (above: more than low)."""
    match = _SECONDS.fullmatch(str(text))
    value = math.nan
    if match:
        value = float(match.group(1)) * _SECONDS_PER[(match.group(2) or "").lower() or None]
    if not _finite_in(value, low, high) or (above and value <= low):
        bound = "above %g" % low if above else "%g" % low
        raise UnitError(
            "must be seconds %s..%g (as 30, 30s, 10min or 2h), not %r" % (bound, high, text)
        )
    return value


def percent_pair(text):
    """The two limit levels: "100%,80%" or "100,80", whole or not, each 0..100."""
    parts = str(text).split(",")
    values = []
    for part in parts:
        match = _PERCENT.fullmatch(part)
        values.append(float(match.group(1)) if match else math.nan)
    if len(values) != 2 or not all(_finite_in(v, 0.0, 100.0) for v in values):
        raise UnitError(
            "must be two percentages 0..100 as FIRST%%,SECOND%% (100%%,80%%), not %r" % (text,)
        )
    return tuple(values)
