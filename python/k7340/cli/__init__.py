"""python -m k7340 (the console script k7340): small tools built on the binding.

    monitor   poll every 50 ms and print the readings; every way out zeroes the output
    log       one CSV row per interval, optionally plotted
    plot      draw a saved log
    ramp      move the output to a voltage at a rate, and leave it there
    ports     list the serial ports, --probe for supplies
    info      library version, firmware, ranges and flags
    condition bring the output up to a voltage, backing off after trips
    gui       the PyMeasure window: queue ramp runs, watch them plot live, abort

Exit status: 0 done, 1 the supply or the library failed, 2 bad input (nothing was sent),
130 a ramp interrupted.
"""

import os
import sys

from .. import api_version
from . import common
from . import condition
from .log import log
from .monitor import POLL_SECONDS, monitor
from .plot import plot_command
from .ports import ports
from .ramp import INTERRUPTED, ramp_command

PORT_HELP = "COM port number (0 = COM1) or device (/dev/ttyUSB0, COM7); default 0"


def info(args):
    print("library %s" % api_version())
    with common.open_supply(args) as psu:
        print("firmware %04X" % psu.firmware_version)
        vrange, irange = psu.ranges
        print("ranges %d V, %d uA" % (vrange, irange))
        print("status %s" % common.flag_text(psu.status))
        print("faults %s" % common.flag_text(psu.faults))
    return 0


def _supply_options(parser):
    parser.add_argument("--port", default="0", help=PORT_HELP)
    parser.add_argument("--index", type=int, choices=range(8), metavar="N",
                        help="library device slot 0..7 (default: a free one)")


def parser():
    name = "k7340" if os.path.basename(sys.argv[0]) == "k7340" else "python -m k7340"
    top = common.OneLineParser(prog=name, description=__doc__.split("\n")[0])
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    seconds = common.positive_number("seconds")

    p = sub.add_parser("monitor", help="poll every %d ms and print the readings until Ctrl-C"
                       % (POLL_SECONDS * 1000))
    _supply_options(p)
    p.add_argument("--voltage", type=common.volts_number, help="setpoint in volts to apply first")
    p.add_argument("--watchdog", type=int, metavar="MS",
                   help="arm the supply's watchdog (100..2550 ms): a monitor that dies leaves "
                        "the output to it")
    p.add_argument("--lines", action="store_true", help="one line per poll on a terminal")
    p.set_defaults(run=monitor)

    p = sub.add_parser("log", help="log the readings to CSV, one row per interval")
    _supply_options(p)
    p.add_argument("--interval", type=seconds, default=1.0, metavar="S",
                   help="seconds between rows (default 1)")
    p.add_argument("--duration", type=seconds, metavar="S", help="seconds to log (default: "
                   "until Ctrl-C)")
    p.add_argument("--csv", required=True, metavar="FILE", help="the CSV file to write")
    p.add_argument("--plot", metavar="FILE.png", help="draw volts and microamperes afterwards")
    p.set_defaults(run=log)

    p = sub.add_parser("plot", help="draw a saved log: volts and microamperes against time")
    p.add_argument("csv", metavar="FILE.csv")
    p.add_argument("png", metavar="FILE.png")
    p.set_defaults(run=plot_command)

    p = sub.add_parser("ramp", help="ramp the output to a voltage at a rate and leave it there")
    _supply_options(p)
    p.add_argument("--to", type=common.volts_number, required=True, metavar="V",
                   help="the final setpoint in volts")
    p.add_argument("--rate", type=common.positive_number("volts per second"), required=True,
                   metavar="VPS", help="volts per second")
    p.add_argument("--step", type=seconds, default=0.05, metavar="S",
                   help="seconds between setpoints (default 0.05)")
    p.set_defaults(run=ramp_command)

    p = sub.add_parser("ports", help="list the serial ports; --probe asks each for a supply")
    p.add_argument("--probe", action="store_true",
                   help="open each port and show the firmware and ranges of a supply on it")
    p.set_defaults(run=ports)

    p = sub.add_parser("info", help="print the library version, firmware, ranges and flags")
    _supply_options(p)
    p.set_defaults(run=info)

    p = sub.add_parser("condition", help="bring the output up to a voltage, backing off after "
                       "trips; exit 0 at the target, 3 gave up at zero")
    _supply_options(p)
    condition.add_arguments(p)
    p.set_defaults(run=condition.run)
    sub.add_parser("gui", help="the PyMeasure window: queue ramp runs, watch voltage and "
                   "current plot live, abort (k7340 gui --help)")
    return top


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["gui"]:  # its own options, and PyMeasure loaded only here
        from ..pymeasure.gui import main as gui
        return gui(argv[1:])
    args = parser().parse_args(argv)
    try:
        return common.run(args.run, args)
    except KeyboardInterrupt:  # before a command's own handling began; nothing switched on
        common.say("interrupted")
        return INTERRUPTED
