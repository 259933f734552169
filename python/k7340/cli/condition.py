"""k7340 condition --to V --rate VPS --dwell S --backoff V --max-trips N [--csv FILE]: bring
the output up to V, backing off after each trip, and say how it ended.

The setpoint climbs at the rate and dwells at the target; on a trip (over-voltage or
over-current while the output is on) it comes down by --backoff at the same rate, waits until
the bit clears (at most --clear-within seconds), reads the faults and climbs again. The
--max-trips-th trip ends the run at zero. Every trip is a line on standard error and a row in
--csv (time, setpoint, volts, microamps, status, faults, record), and the flight recorder
writes the last --record-seconds of readings before it to a file next to the CSV (or in the
current folder). At the target it holds the output, the watchdog fed, until Ctrl-C or a
signal switch it off, as `k7340 ramp` does (--leave-on: exit there, unguarded).
Exit status: 0 at the target (then stopped, or left on), 3 gave up at zero, 1 the supply
failed or tripped while holding, 2 bad input, 128 + N on signal N (the output at zero).
"""

import argparse
import csv
import os

from ..binding import K7340Error, K7340TripError
from ..lab.condition import condition
from ..lab.recorder import FlightRecorder
from . import arguments, common, session, show
from .ramp import hold

GAVE_UP = 3
TRIP_COLUMNS = ("time", "setpoint", "volts", "microamps", "status", "faults", "record")


def add_arguments(p):
    seconds = arguments.positive("seconds")
    p.add_argument(
        "--to",
        type=arguments.volts,
        required=True,
        metavar="V",
        help="the target in volts (5000, 5000V, 5kV)",
    )
    p.add_argument(
        "--rate",
        type=arguments.positive("volts per second"),
        required=True,
        metavar="VPS",
        help="volts per second, up and down",
    )
    p.add_argument(
        "--dwell",
        type=seconds,
        default=10.0,
        metavar="S",
        help="seconds to hold at the target, and after each back-off (default 10)",
    )
    p.add_argument(
        "--backoff",
        type=arguments.positive("volts"),
        required=True,
        metavar="V",
        help="volts to come down after a trip",
    )
    p.add_argument(
        "--max-trips",
        type=trips_number,
        required=True,
        metavar="N",
        help="the N-th trip ends the run at zero",
    )
    p.add_argument("--csv", metavar="FILE", help="one row per trip")
    p.add_argument(
        "--clear-within",
        type=seconds,
        default=10.0,
        metavar="S",
        help="seconds a trip bit may take to clear after the back-off (default 10)",
    )
    p.add_argument(
        "--step",
        type=arguments.step_seconds,
        default=0.05,
        metavar="S",
        help="seconds between setpoints and readings (default 0.05)",
    )
    p.add_argument(
        "--record-seconds",
        type=seconds,
        default=30.0,
        metavar="S",
        help="seconds of readings the flight recorder keeps (default 30)",
    )
    p.add_argument(
        "--leave-on",
        action="store_true",
        help="exit at the target and leave the output on, watchdog off: unguarded",
    )


def trips_number(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(
            "must be a whole number of trips, 1 or more, " "not %r" % text
        )
    return int(text)


def check_folder(path):
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise common.BadInput("cannot write %s: no writable folder %s" % (path, folder))
    return folder


class Trips:
    """The trips as lines on standard error and rows in the CSV file (opened once the supply
    is open: no file is changed before)."""

    def __init__(self, path):
        self.path, self.out, self.writer = path, None, None

    def open(self):
        if self.path:
            try:
                self.out = open(self.path, "w", newline="", encoding="utf-8")
            except OSError as exc:
                raise common.BadInput("cannot write %s: %s" % (self.path, exc.strerror)) from None
            self.writer = csv.writer(self.out)
            self.writer.writerow(TRIP_COLUMNS)
            self.out.flush()

    def __call__(self, trip, progress, count):
        progress.end()
        status = show.status_text(trip.status)
        common.say(
            "trip %d at %.1f V: %.1f V, %.3f uA, status %s, faults %s"
            % (
                count(),
                trip.setpoint,
                trip.volts,
                trip.microamps,
                status,
                show.fault_text(trip.status, trip.faults),
            )
        )
        if self.writer:
            self.writer.writerow(
                (
                    trip.time.isoformat(timespec="milliseconds"),
                    "%.1f" % trip.setpoint,
                    "%.1f" % trip.volts,
                    "%.3f" % trip.microamps,
                    status,
                    "0x%02X" % trip.faults,
                    trip.record,
                )
            )
            self.out.flush()

    def close(self):
        if self.out:
            self.out.close()


def run(args):
    refused = arguments.check_ceiling(args, "to")
    if refused:
        raise common.BadInput(refused)
    folder = check_folder(args.csv) if args.csv else os.getcwd()
    if not os.access(folder, os.W_OK):
        raise common.BadInput("the flight recorder cannot write in %s" % folder)
    with session.StopSignals() as stop:  # a signal zeroes through the safety core
        link = session.Link(args, owner=True)
        status, leave_on = 0, False
        try:
            status, leave_on = _run(args, link, stop, folder)
        finally:
            status = link.close(leave_on=leave_on) or status
    return stop.status(status)


def _run(args, link, stop, folder):
    """(exit status, whether the output is to be left on)."""
    psu = link.supply
    target = psu.checked_volts(args.to, "--to")  # above the range or --max-volts: exit 2
    trips = Trips(args.csv)
    trips.open()
    recorder = FlightRecorder(folder, args.record_seconds)
    progress = common.ProgressLine()
    seen = []

    def show_reading(phase, reading):
        progress.write(
            "%-8s setpoint %8.1f V  output %8.1f V  %9.3f uA  trips %d/%d\x1b[K"
            % (phase, reading.setpoint, reading.volts, reading.microamps, len(seen), args.max_trips)
        )

    def on_trip(trip):
        seen.append(trip)
        trips(trip, progress, lambda: len(seen))

    link.switched_on = True  # its way out zeroes whatever happens
    try:
        result = condition(
            psu,
            target,
            args.rate,
            args.dwell,
            args.backoff,
            args.max_trips,
            step=args.step,
            clear_within=args.clear_within,
            progress=show_reading,
            on_trip=on_trip,
            recorder=recorder,
            report=common.say,
            stop=stop,
        )
    except K7340TripError as exc:
        progress.end()
        common.say("gave up: %s" % exc)
        return GAVE_UP, False
    except K7340Error as exc:
        progress.end()
        common.say("conditioning stopped: %s" % show.failure(exc, psu.port))
        return common.FAILED, False
    finally:
        trips.close()
    progress.end()
    if not result.reached:
        common.say("conditioning interrupted after %d trip%s" % (len(seen), _s(len(seen))))
        return 0, False
    print("reached %.1f V after %d trip%s" % (result.volts, len(seen), _s(len(seen))), flush=True)
    if args.leave_on:
        return 0, True
    return hold(link, target, stop, recorder), False


def _s(count):
    return "" if count == 1 else "s"
