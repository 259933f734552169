"""The console tools' argument types and the options they share. Each refusal names the
argument (argparse adds it) and the allowed range; a refused argument is exit status 2 with
nothing sent and no file touched. The quantities are read by k7340.lab.units, the bounds are
the lab's and the safety core's."""

import argparse
import math

from ..binding.device import OUTPUT_ON_VOLTS, VRANGE_BOUNDS
from ..lab import ramp, units
from ..safety import deadman
from ..session import TRIP_ACTIONS
from . import common

# The highest full-scale voltage a supply's EEPROM can hold; the supply's own range, read at
# open, is checked again before anything is sent.
VOLTS_MAX = float(VRANGE_BOUNDS[1])
WATCHDOG_DEFAULT_MS = deadman.DEFAULT_WATCHDOG_MS
STEP_S = ramp.STEP_S
PORT_HELP = "COM port number (0 = COM1) or device (/dev/ttyUSB0, COM7); default 0"


def _type(read, *bounds, **keywords):
    def convert(text):
        try:
            return read(text, *bounds, **keywords)
        except units.UnitError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return convert


volts = _type(units.volts, 0.0, VOLTS_MAX)
max_volts = _type(units.volts, OUTPUT_ON_VOLTS, VOLTS_MAX)  # --max-volts: 20 V or more
rate = _type(units.rate, ramp.MAX_RATE)
seconds = _type(units.seconds, 0.0, ramp.MAX_WAIT_SECONDS)
positive_seconds = _type(units.seconds, 0.0, ramp.MAX_WAIT_SECONDS, above=True)
step_seconds = _type(units.seconds, *STEP_S)
limits = _type(units.percent_pair)


def positive(unit, high=math.inf):
    """A type: a finite number of unit above 0 and at most high."""

    def convert(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not (math.isfinite(value) and 0 < value <= high):
            limit = "" if math.isinf(high) else " and at most %g" % high
            raise argparse.ArgumentTypeError(
                "must be a number of %s above 0%s, not %r" % (unit, limit, text)
            )
        return value

    return convert


def whole(low, high, what):
    """A type: a whole number low..high of what."""

    def convert(text):
        if not text.strip().isdigit() or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError(
                "must be a whole number of %s, %d..%d, not %r" % (what, low, high, text)
            )
        return int(text)

    return convert


def watchdog_ms(text):
    """--watchdog: 0 (no dead-man: unsafe) or the safety core's range of periods."""
    try:
        return deadman.checked_watchdog_ms(int(text, 10), "MS")
    except (ValueError, TypeError):
        raise argparse.ArgumentTypeError(
            "must be 0 (off, unsafe) or %d..%d milliseconds, not "
            "%r" % (deadman.MIN_WATCHDOG_MS, deadman.MAX_WATCHDOG_MS, text)
        ) from None


OneLineParser = units.OneLineParser


def supply_options(parser):
    parser.add_argument("--port", default="0", help=PORT_HELP)
    parser.add_argument(
        "--index",
        type=int,
        choices=range(8),
        metavar="N",
        help="library device slot 0..7 (default: a free one)",
    )


def owner_options(parser, what):
    """The options of a command that switches the output on."""
    parser.add_argument(
        "--max-volts",
        type=max_volts,
        metavar="V",
        help="refuse %s above V (20 V up to the supply's range)" % what,
    )
    parser.add_argument(
        "--watchdog",
        type=watchdog_ms,
        metavar="MS",
        default=WATCHDOG_DEFAULT_MS,
        help="the supply's watchdog period while the output is on, 300..2550 ms (default %d); "
        "0 turns the dead-man off (unsafe)" % WATCHDOG_DEFAULT_MS,
    )
    parser.add_argument(
        "--on-trip",
        choices=TRIP_ACTIONS,
        default=TRIP_ACTIONS[0],
        help="what a trip does: off (the zero setpoint at once, the default) or ramp-down (to "
        "zero at the rate; over-current only: anything else is off)",
    )
    limit_options(parser)


def limit_options(parser):
    parser.add_argument(
        "--limits",
        type=limits,
        metavar="FIRST%,SECOND%",
        help="the supply's two limit levels in percent of full scale, sent before the output "
        "goes on (each to the nearest of the supply's 63 steps; the simulated supply "
        "raises OverV above the first times vrange, OverI above the second times irange)",
    )


def check_owner(args, *names):
    """Refuses (exit 2) each of names (--voltage, --to) above --max-volts, and --on-trip
    ramp-down without a --rate to ramp down at."""
    ceiling = getattr(args, "max_volts", None)
    for name in names:
        value = getattr(args, name, None)
        if ceiling is not None and value is not None and value > ceiling:
            raise common.BadInput("--%s %g V is above --max-volts %g V" % (name, value, ceiling))
    if getattr(args, "on_trip", None) == "ramp-down" and getattr(args, "rate", None) is None:
        raise common.BadInput("--on-trip ramp-down needs --rate, the rate it ramps down at")
