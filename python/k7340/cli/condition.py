"""k7340 condition --to V --rate VPS --dwell S --backoff V --max-trips N [--csv FILE]: bring
the output up to V, backing off after each trip, and say how it ended.

The setpoint climbs at the rate and dwells at the target; on a trip (over-voltage or
over-current while the output is on) it comes down by --backoff at the same rate, waits until
the bit clears (at most --clear-within seconds), reads the faults and climbs again. The
--max-trips-th trip ends the run at zero. Every trip is a line on standard error and a row in
--csv (time, setpoint, volts, microamps, status, faults), and the flight recorder writes the
last --record-seconds of readings before it to a file next to the CSV (or in the current
folder). Exit status: 0 at the target (the output stays there, the watchdog off, as `k7340
ramp` leaves it), 3 gave up at zero, 1 the supply failed, 2 bad input, 130 interrupted (zero).
"""

import argparse
import csv
import os

from .. import K7340Error, K7340TripError, StatusFlags
from ..lab.condition import condition
from ..lab.recorder import FlightRecorder
from ..safety import handle_signals
from . import common

GAVE_UP = 3
INTERRUPTED = 130
TRIP_COLUMNS = ("time", "setpoint", "volts", "microamps", "status", "faults", "record")


def add_arguments(p):
    seconds = common.positive_number("seconds")
    p.add_argument("--to", type=common.volts_number, required=True, metavar="V",
                   help="the target setpoint in volts")
    p.add_argument("--rate", type=common.positive_number("volts per second"), required=True,
                   metavar="VPS", help="volts per second, up and down")
    p.add_argument("--dwell", type=common.volts_number, default=10.0, metavar="S",
                   help="seconds to hold at the target, and after each back-off (default 10)")
    p.add_argument("--backoff", type=common.positive_number("volts"), required=True,
                   metavar="V", help="volts to come down after a trip")
    p.add_argument("--max-trips", type=trips_number, required=True, metavar="N",
                   help="the N-th trip ends the run at zero")
    p.add_argument("--csv", metavar="FILE", help="one row per trip")
    p.add_argument("--clear-within", type=seconds, default=10.0, metavar="S",
                   help="seconds a trip bit may take to clear after the back-off (default 10)")
    p.add_argument("--step", type=seconds, default=0.05, metavar="S",
                   help="seconds between setpoints and readings (default 0.05)")
    p.add_argument("--record-seconds", type=seconds, default=30.0, metavar="S",
                   help="seconds of readings the flight recorder keeps (default 30)")


def trips_number(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("must be a whole number of trips, 1 or more, "
                                                "not %r" % text)
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
        status = common.flag_text(StatusFlags(trip.status))
        common.say("trip %d at %.1f V: %.1f V, %.3f uA, status %s, faults 0x%02X"
                   % (count(), trip.setpoint, trip.volts, trip.microamps, status, trip.faults))
        if self.writer:
            self.writer.writerow((trip.time.isoformat(timespec="milliseconds"),
                                  "%.1f" % trip.setpoint, "%.1f" % trip.volts,
                                  "%.3f" % trip.microamps, status, "0x%02X" % trip.faults,
                                  trip.record))
            self.out.flush()

    def close(self):
        if self.out:
            self.out.close()


def run(args):
    folder = check_folder(args.csv) if args.csv else os.getcwd()
    if not os.access(folder, os.W_OK):
        raise common.BadInput("the flight recorder cannot write in %s" % folder)
    # A stop signal zeroes the output through the safety core, then raises KeyboardInterrupt.
    with handle_signals():
        return _run(args, folder)


def _run(args, folder):
    trips = Trips(args.csv)
    # keep_output: a run that reaches its target leaves the output there; every other end
    # sends the zero itself.
    with common.open_supply(args, keep_output=True) as psu:
        trips.open()
        recorder = FlightRecorder(folder, args.record_seconds)
        progress = common.ProgressLine()
        seen, last = [], [0.0]

        def show(phase, reading):
            last[0] = reading.setpoint
            progress.write("%-8s setpoint %8.1f V  output %8.1f V  %9.3f uA  trips %d/%d\x1b[K"
                           % (phase, reading.setpoint, reading.volts, reading.microamps,
                              len(seen), args.max_trips))

        def on_trip(trip):
            seen.append(trip)
            trips(trip, progress, lambda: len(seen))

        try:
            result = condition(psu, args.to, args.rate, args.dwell, args.backoff,
                               args.max_trips, step=args.step, clear_within=args.clear_within,
                               progress=show, on_trip=on_trip, recorder=recorder,
                               report=common.say)
        except K7340TripError as exc:
            progress.end()
            common.say("gave up: %s" % exc)
            return GAVE_UP
        except KeyboardInterrupt:
            progress.end()
            common.say("interrupted at %.1f V; output switched off" % last[0])
            return INTERRUPTED
        except K7340Error:
            progress.end()
            raise
        finally:
            trips.close()
        progress.end()
        # Closing with keep_output disarms the dead-man: nobody feeds it once this ends.
    print("reached %.1f V after %d trip%s" % (result.volts, len(result.trips),
                                              "" if len(result.trips) == 1 else "s"))
    return 0
