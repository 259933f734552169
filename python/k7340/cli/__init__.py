"""python -m k7340 (the console script k7340): small tools on the package's session layer.

    monitor      poll every 50 ms and print the readings (--voltage switches the output on)
    log          one CSV row per interval, optionally plotted; only reads
    plot         draw a saved log
    ramp         move the output to a voltage at a rate and hold it there, guarded
    condition    bring the output up to a voltage, backing off after trips
    run          drive several supplies as one system from a plan file (--check: check it)
    off          switch off a supply that no program holds
    clear-faults acknowledge the supply's latched faults
    ports        list the serial ports, --probe for supplies
    info         library version, firmware, ranges, output and flags; only reads
    gui          the PyMeasure window: queue ramp runs, watch them plot live, abort
"""

import argparse
import os
import sys

from . import arguments, common, condition, off, run, samples
from .info import info
from .log import log
from .monitor import POLL_SECONDS, monitor
from .plot import plot_command
from .ports import ports
from .ramp import ramp_command

SAFETY = (
    """\
Safety: only a command that switches the output on (monitor --voltage, ramp, condition, run)
switches it off; log, info, ports and a monitor without --voltage only read and leave the
output as found. Before switching the output on, a command arms the supply's watchdog
(--watchdog MS, default %d) and keeps feeding it: if the program is killed (SIGKILL),
crashes, or the cable or PC dies, the supply switches its output off within MS. Ctrl-C,
SIGTERM, SIGHUP and SIGQUIT (and a closed pipe under monitor) send the zero setpoint first,
then exit (130 for Ctrl-C, 128 + the signal for the others); a port lost on the way is
reopened to send it, and when the zero cannot be sent the command says the output may still
be on. A supply that reports a trip or fault bit gets no new output: latched faults are
cleared only by clear-faults (or info --faults).
Outages: a lost port, or a watchdog gone a whole period unfed (a stopped process), end what
runs: the output is presumed off, the zero setpoint goes out (or once the same supply answers
again), and the command exits 1. A trip (over-voltage, over-current, over-temperature, the
Fault bit) is the trip action: --on-trip off (default) zeroes at once; ramp-down ramps to zero
at --rate after over-current alone.
Orphans: a read-only command that finds the output on (no program holds the port: it is
exclusive) says so and polls no faster than every 2.6 s, so that it feeds no watchdog, unless
--keep-alive; off switches such an output off; an owning command adopts it and says so.
--watchdog 0 turns the dead-man off: unsafe. ramp --leave-on ends with the output on and no
watchdog: unguarded.

Exit status: 0 done, 1 the supply or the library failed (a trip, an outage), 2 bad input
(nothing was sent, no file changed), 3 condition gave up after trips (at zero), 130 Ctrl-C,
128 + N another signal N."""
    % arguments.WATCHDOG_DEFAULT_MS
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


def _reader_options(p):
    arguments.supply_options(p)
    p.add_argument(
        "--keep-alive",
        action="store_true",
        help="poll an output that no program holds at the usual pace (its "
        "watchdog then stays fed by these reads)",
    )


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
    _reader_options(p)
    p.add_argument(
        "--voltage",
        type=volts,
        metavar="V",
        help="switch the output on at V first (5000, 5000V, 5kV); this monitor then "
        "owns it and every way out switches it off. Without it, only reads",
    )
    arguments.owner_options(p, "--voltage")
    p.add_argument(
        "--rate",
        type=arguments.rate,
        metavar="VPS",
        help="volts per second of a trip's ramp-down (--on-trip ramp-down)",
    )
    p.add_argument("--lines", action="store_true", help="one line per poll on a terminal")
    samples.options(p)

    p = _add(sub, "log", "log the readings to CSV, one row per interval; only reads", log)
    _reader_options(p)
    samples.options(p, required=True)
    p.add_argument(
        "--duration",
        type=arguments.positive_seconds,
        metavar="S",
        help="seconds to log (default: until Ctrl-C)",
    )
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
    arguments.supply_options(p)
    p.add_argument(
        "--to",
        type=volts,
        required=True,
        metavar="V",
        help="the target in volts (5000, 5000V, 5kV); 0 ramps down and exits",
    )
    p.add_argument(
        "--rate",
        type=arguments.rate,
        required=True,
        metavar="VPS",
        help="volts per second (100, 100V/s)",
    )
    p.add_argument(
        "--step",
        type=arguments.step_seconds,
        default=0.05,
        metavar="S",
        help="seconds between setpoints, %g..%g (default 0.05)" % arguments.STEP_S,
    )
    arguments.owner_options(p, "--to")
    p.add_argument(
        "--leave-on",
        action="store_true",
        help="exit at the target and leave the output on, watchdog off: unguarded",
    )
    samples.options(p)

    p = _add(
        sub,
        "condition",
        "bring the output up to a voltage, backing off after trips; "
        "exit 0 at the target, 3 gave up at zero",
        condition.run,
    )
    arguments.supply_options(p)
    condition.add_arguments(p)
    arguments.owner_options(p, "--to")

    p = _add(
        sub,
        "run",
        "drive several supplies as one system from a plan file; --check reads and checks "
        "it, prints its timeline and opens nothing",
        run.run_command,
    )
    run.add_arguments(p)

    p = _add(
        sub,
        "off",
        "switch off a supply that no program holds: the zero setpoint, then "
        "its watchdog disarmed (a port another program holds is refused)",
        off.off,
    )
    arguments.supply_options(p)

    p = _add(
        sub,
        "clear-faults",
        "acknowledge the supply's faults: read the fault byte (the "
        "supply then clears its latched faults) and print it; exit 1 if the Fault bit "
        "stays set",
        off.clear_faults,
    )
    arguments.supply_options(p)

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
    arguments.supply_options(p)
    p.add_argument(
        "--faults",
        action="store_true",
        help="also acknowledge the faults: read the fault byte (the supply clears "
        "its latched faults then)",
    )
    sub.add_parser(
        "gui",
        help="the PyMeasure window: queue ramp runs, watch voltage, current and the status "
        "bits live, abort, Off now (k7340 gui --help)",
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
