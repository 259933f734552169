"""python -m k7340 (the console script k7340): small tools built on the binding and the
safety core.

    monitor   poll every 50 ms and print the readings (--voltage switches the output on)
    log       one CSV row per interval, optionally plotted; only reads
    plot      draw a saved log
    ramp      move the output to a voltage at a rate and hold it there, guarded
    ports     list the serial ports, --probe for supplies
    info      library version, firmware, ranges, output and flags; only reads
    condition bring the output up to a voltage, backing off after trips
    gui       the PyMeasure window: queue ramp runs, watch them plot live, abort
"""

import argparse
import os
import sys

from . import arguments, common, condition
from .info import info
from .log import log
from .monitor import POLL_SECONDS, monitor
from .plot import plot_command
from .ports import ports
from .ramp import ramp_command

PORT_HELP = "COM port number (0 = COM1) or device (/dev/ttyUSB0, COM7); default 0"

SAFETY = (
    """\
Safety: only a command that switches the output on (monitor --voltage, ramp, condition)
switches it off; log, info, ports and a monitor without --voltage only read and leave the
output as found. Before switching the output on, a command arms the supply's watchdog
(--watchdog MS, default %d) and keeps feeding it: if the program is killed (SIGKILL),
crashes, or the cable or PC dies, the supply switches its output off within MS. Ctrl-C,
SIGTERM, SIGHUP and SIGQUIT (and a closed pipe under monitor) send the zero setpoint first,
then exit (130 for Ctrl-C, 128 + the signal for the others); a port lost on the way is
reopened to send it, and when the zero cannot be sent the command says the output may still
be on.
A program that hangs but lives keeps the watchdog fed, and any program talking to the
supply restarts its watchdog. --watchdog 0 turns the dead-man off: unsafe. ramp --leave-on
ends with the output on and no watchdog: unguarded.

Exit status: 0 done, 1 the supply or the library failed, 2 bad input (nothing was sent,
no file changed), 3 condition gave up at zero, 130 Ctrl-C, 128 + N another signal N."""
    % arguments.WATCHDOG_DEFAULT_MS
)


def _supply_options(parser):
    parser.add_argument("--port", default="0", help=PORT_HELP)
    parser.add_argument(
        "--index",
        type=int,
        choices=range(8),
        metavar="N",
        help="library device slot 0..7 (default: a free one)",
    )


def _owner_options(parser, what):
    parser.add_argument(
        "--max-volts",
        type=arguments.max_volts,
        metavar="V",
        help="refuse %s above V (20 V up to the supply's range)" % what,
    )
    parser.add_argument(
        "--watchdog",
        type=arguments.watchdog_ms,
        metavar="MS",
        default=arguments.WATCHDOG_DEFAULT_MS,
        help="the supply's watchdog period while the output is on, 300..2550 "
        "ms (default %d); 0 turns the dead-man off (unsafe)" % arguments.WATCHDOG_DEFAULT_MS,
    )


def _add(sub, name, help_text, run):
    p = sub.add_parser(
        name,
        help=help_text,
        description=help_text,
        epilog=SAFETY,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.set_defaults(run=run)
    return p


def parser():
    name = "k7340" if os.path.basename(sys.argv[0]) == "k7340" else "python -m k7340"
    top = arguments.OneLineParser(
        prog=name,
        description=__doc__.split("\n\n")[0],
        epilog=SAFETY,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=common.version_text())
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    volts = arguments.volts

    p = _add(
        sub,
        "monitor",
        "poll every %d ms and print the readings until Ctrl-C" % (POLL_SECONDS * 1000),
        monitor,
    )
    _supply_options(p)
    p.add_argument(
        "--voltage",
        type=volts,
        metavar="V",
        help="switch the output on at V first (5000, 5000V, 5kV); this monitor then "
        "owns it and every way out switches it off. Without it, only reads",
    )
    _owner_options(p, "--voltage")
    p.add_argument("--lines", action="store_true", help="one line per poll on a terminal")

    p = _add(sub, "log", "log the readings to CSV, one row per interval; only reads", log)
    _supply_options(p)
    p.add_argument(
        "--interval",
        type=arguments.positive("seconds"),
        default=1.0,
        metavar="S",
        help="seconds between rows (default 1)",
    )
    p.add_argument(
        "--duration",
        type=arguments.positive("seconds"),
        metavar="S",
        help="seconds to log (default: until Ctrl-C)",
    )
    p.add_argument("--csv", required=True, metavar="FILE", help="the CSV file to write")
    p.add_argument("--force", action="store_true", help="start an existing CSV file anew")
    p.add_argument("--append", action="store_true", help="add rows to an existing CSV file")
    p.add_argument("--plot", metavar="FILE.png", help="draw volts and microamperes afterwards")

    p = _add(sub, "plot", "draw a saved log: volts and microamperes against time", plot_command)
    p.add_argument("csv", metavar="FILE.csv")
    p.add_argument("png", metavar="FILE.png")

    p = _add(
        sub,
        "ramp",
        "ramp the output to a voltage at a rate, then hold it there, "
        "watchdog fed, until Ctrl-C or a signal switch it off",
        ramp_command,
    )
    _supply_options(p)
    p.add_argument(
        "--to",
        type=volts,
        required=True,
        metavar="V",
        help="the target in volts (5000, 5000V, 5kV)",
    )
    p.add_argument(
        "--rate",
        type=arguments.positive("volts per second"),
        required=True,
        metavar="VPS",
        help="volts per second",
    )
    p.add_argument(
        "--step",
        type=arguments.step_seconds,
        default=0.05,
        metavar="S",
        help="seconds between setpoints, %g..%g (default 0.05)" % arguments.STEP_S,
    )
    _owner_options(p, "--to")
    p.add_argument(
        "--leave-on",
        action="store_true",
        help="exit at the target and leave the output on, watchdog off: unguarded",
    )

    p = _add(sub, "ports", "list the serial ports; --probe asks each for a supply", ports)
    p.add_argument(
        "--probe",
        action="store_true",
        help="open each port and show the firmware and ranges of a supply on it",
    )

    p = _add(
        sub,
        "info",
        "print the library version, firmware, ranges, output and status; " "only reads",
        info,
    )
    _supply_options(p)
    p.add_argument(
        "--faults",
        action="store_true",
        help="also read the fault byte (the supply clears latched faults then)",
    )

    p = _add(
        sub,
        "condition",
        "bring the output up to a voltage, backing off after trips; "
        "exit 0 at the target, 3 gave up at zero",
        condition.run,
    )
    _supply_options(p)
    condition.add_arguments(p)
    _owner_options(p, "--to")
    sub.add_parser(
        "gui",
        help="the PyMeasure window: queue ramp runs, watch voltage and "
        "current plot live, abort (k7340 gui --help)",
    )
    return top


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["gui"]:  # its own options, and PyMeasure loaded only here
        try:
            from ..pymeasure.gui import main as gui
        except ImportError as exc:
            common.say(
                "k7340 gui needs Debian's python3-pymeasure, python3-pyqtgraph and "
                "python3-pyqt5 (%s)" % exc
            )
            return common.FAILED
        return gui(argv[1:])
    common.own_process()
    args = parser().parse_args(argv)
    return common.run(args.run, args)
