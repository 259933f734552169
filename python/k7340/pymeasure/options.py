"""k7340 gui's command line. The inputs take units as the console tools do (k7340.lab.units:
2kV, 500V/s, 10min, 100%,80%) within the procedure's own bounds; a refusal is one line and exit
status 2, before a window opens or anything is sent.

(The console tools' argument types live in k7340.cli, which starts `k7340 gui`: these read the
same units, with k7340.lab.units, against the procedure's bounds.)
"""

import argparse

from ..binding.device import OUTPUT_ON_VOLTS
from ..lab import units
from .procedure import RampProcedure

INPUTS = ["port", "voltage", "rate", "hold", "period", "max_volts", "limits"]
READERS = {  # name: how it is read, its metavar, how it may be written
    "voltage": (units.volts, "V", "2000, 2000V or 2kV"),
    "rate": (units.rate, "VPS", "500 or 500V/s"),
    "hold": (units.seconds, "S", "30, 30s, 10min or 2h"),
    "period": (units.seconds, "S", "0.2, 0.2s or 200ms"),
    "max_volts": (units.volts, "V", "2000, 2000V or 2kV; default: the supply's range"),
}
LOWEST = {"max_volts": OUTPUT_ON_VOLTS}  # else the procedure's minimum


def bounds(name):
    parameter = getattr(RampProcedure, name)
    return LOWEST.get(name, parameter.minimum), parameter.maximum, parameter.units


def quantity(name):
    """The type of the input name: its unit as k7340.lab.units reads it, within the bounds of
    the procedure's parameter."""
    read, _, forms = READERS[name]
    low, high, unit = bounds(name)

    def convert(text):
        try:
            value = read(text)
        except units.UnitError:
            value = None
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(
                "must be %g..%g %s (as %s), not %r" % (low, high, unit, forms.split(";")[0], text)
            )
        return value

    return convert


def limits(text):
    """--limits: two percentages (100%,80%), checked here, handed on as written."""
    try:
        units.percent_pair(text)
    except units.UnitError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text.strip()


def parser(description):
    p = units.OneLineParser(prog="k7340 gui", description=description)
    p.add_argument("--port", default="0", help="COM port number (0 = COM1) or device")
    p.add_argument("--directory", default=".", help="where the runs' CSV files go")
    for name, (_, metavar, forms) in READERS.items():
        p.add_argument(
            "--" + name.replace("_", "-"),
            type=quantity(name),
            metavar=metavar,
            help="the %s input, %g..%g %s (%s)"
            % ((name.replace("_", " "),) + bounds(name) + (forms,)),
        )
    p.add_argument(
        "--limits",
        type=limits,
        metavar="FIRST%,SECOND%",
        help="the supply's two limit levels, sent before the output goes on (100%%,80%%)",
    )
    p.add_argument("--queue", action="store_true", help="queue one run at the start")
    p.add_argument(
        "--exit-when-done",
        action="store_true",
        help="close the window when no run is left; exit status 1 if a run failed",
    )
    p.add_argument("--screenshot", metavar="FILE.png", help="save the window before closing")
    return p


def parse(argv, description):
    """The arguments, and the inputs they give as the procedure's values. A --voltage above
    --max-volts is refused here (exit 2)."""
    p = parser(description)
    args = p.parse_args(argv)
    if args.max_volts is not None and (args.voltage or 0) > args.max_volts:
        p.error("--voltage %g V is above --max-volts %g V" % (args.voltage, args.max_volts))
    return args, {n: getattr(args, n) for n in INPUTS if getattr(args, n) is not None}
