"""python -m k7340 monitor | info: small console tools built on the binding.

monitor polls the supply every 50 ms and prints voltage, current, temperature, status and
faults on one line until Ctrl-C, which sets the output to zero before leaving.
"""

import argparse
import signal
import sys
import time
import warnings

from . import K7340Error, K7340Warning, LibraryLoadError, Supply, api_version

POLL_SECONDS = 0.05


def port_arguments(port):
    """--port N (0 = COM1) or --port DEVICE (/dev/ttyUSB0, COM7) as Supply's keywords."""
    if port.isdigit():
        return {"com_port": int(port)}
    return {"port": port}


def _open(args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", K7340Warning)
        psu = Supply(index=args.index, **port_arguments(args.port))
    for w in caught:
        print("k7340: warning: %s; default ranges in force" % w.message, file=sys.stderr)
    return psu


def _flag_text(flags):
    return ",".join(flags.labels()) or "-"


def poll_line(psu):
    """One monitor line; an exchange that fails shows its text in place of the readings."""
    try:
        volts = psu.read_voltage()
        microamps = psu.read_current()
        temperature = psu.read_temperature()
        faults = psu.faults
    except K7340Error as exc:
        return "error: %s  status %s" % (exc.text, _flag_text(psu.status))
    return "%9.0f V %9.3f uA  T %6.2f  status %-24s faults %s" % (
        volts, microamps, temperature, _flag_text(psu.status), _flag_text(faults))


def monitor(args):
    stop = []

    def on_signal(signum, frame):
        stop.append(signum)

    # A flag instead of KeyboardInterrupt: the signal then never lands inside a library call.
    signal.signal(signal.SIGINT, on_signal)
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, on_signal)

    psu = _open(args)
    try:
        if args.voltage is not None:
            psu.set_voltage(args.voltage)
        end = "\r" if sys.stdout.isatty() and not args.lines else "\n"
        due = time.monotonic()
        width = 0
        while not stop:
            line = poll_line(psu)
            if end == "\r":
                line = line.ljust(width)  # wipe what a longer line left behind
                width = len(line)
            print(line, end=end, flush=True)
            due += POLL_SECONDS
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                due = time.monotonic()  # a slow supply: do not try to catch up
        if end == "\r":
            print()
    finally:
        try:
            psu.set_voltage(0.0)
            print("output set to zero", file=sys.stderr)
        finally:
            psu.close()
    return 0


def info(args):
    print("library %s" % api_version())
    with _open(args) as psu:
        print("firmware %04X" % psu.firmware_version)
        vrange, irange = psu.ranges
        print("ranges %d V, %d uA" % (vrange, irange))
        print("status %s" % _flag_text(psu.status))
        print("faults %s" % _flag_text(psu.faults))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m k7340", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    for name, helptext in (
        ("monitor", "poll every 50 ms and print the readings until Ctrl-C"),
        ("info", "print the library version, firmware, ranges and flags"),
    ):
        p = sub.add_parser(name, help=helptext)
        p.add_argument("--port", default="0",
                       help="COM port number (0 = COM1) or device (/dev/ttyUSB0, COM7)")
        p.add_argument("--index", type=int, help="library device slot 0..7 (default: a free one)")
        if name == "monitor":
            p.add_argument("--voltage", type=float, help="setpoint in volts to apply first")
            p.add_argument("--lines", action="store_true", help="one line per poll on a terminal")
    args = parser.parse_args(argv)
    try:
        return monitor(args) if args.command == "monitor" else info(args)
    except (K7340Error, LibraryLoadError, ValueError, TypeError) as exc:
        print("k7340: %s" % exc, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
