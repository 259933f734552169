"""k7340 condition --to V --rate VPS --dwell S --backoff V --max-trips N [--csv FILE]: bring
the output up to V, backing off after each trip, and say how it ended.

The setpoint climbs at the rate and dwells at the target; on a trip (over-voltage or
over-current while the output is on) it comes down by --backoff at --backoff-rate (the climb
rate unless given), waits until the bit clears (at most --clear-within seconds) and climbs
again. The --max-trips-th trip, or a bit that does not clear, gives up: the trip action
(--on-trip) brings the output to zero. The Fault bit, over-temperature and an outage (a lost
port, a watchdog gone a period unfed) end the run at once, through the trip action or with the
output presumed off. Every trip is a line on standard error and a row marked in the sample log
of --csv (the readings every --interval, the columns of `k7340 log`; an existing file only with
--force or --append), and the flight recorder writes the last --record-seconds of readings
before it to a file next to the CSV (or in the current folder). At the target it holds the
output, the watchdog fed, until Ctrl-C or a signal switch it off, as `k7340 ramp` does
(--leave-on: exit there, unguarded).
Every argument and the file are checked before the supply is opened.
Exit status: 0 at the target (then stopped, or left on), 3 gave up after trips (the output at
zero), 1 the supply failed, faulted, overheated, tripped while holding or an outage ended the
run, 2 bad input, 128 + N on signal N (the output at zero).
"""

import os

from ..binding import K7340ArgumentError, K7340Error, K7340TripError
from ..lab import condition as lab_condition
from ..lab.csvlog import CsvError
from ..lab.recorder import FlightRecorder
from . import arguments, common, connect, samples, show
from .ramp import hold


def add_arguments(p):
    p.add_argument(
        "--to",
        type=arguments.volts,
        required=True,
        metavar="V",
        help="the target in volts (5000, 5000V, 5kV)",
    )
    p.add_argument(
        "--rate",
        type=arguments.rate,
        required=True,
        metavar="VPS",
        help="volts per second of the climb",
    )
    p.add_argument(
        "--backoff-rate",
        type=arguments.rate,
        metavar="VPS",
        help="volts per second of a back-off (default: --rate)",
    )
    p.add_argument(
        "--dwell",
        type=arguments.seconds,
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
        type=arguments.whole(1, lab_condition.MAX_TRIPS, "trips"),
        required=True,
        metavar="N",
        help="the N-th trip gives up, at zero",
    )
    samples.options(p)
    p.add_argument(
        "--clear-within",
        type=arguments.positive_seconds,
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
        type=arguments.positive_seconds,
        default=30.0,
        metavar="S",
        help="seconds of readings the flight recorder keeps (default 30)",
    )
    p.add_argument(
        "--leave-on",
        action="store_true",
        help="exit at the target and leave the output on, watchdog off: unguarded",
    )


def check_folder(folder):
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise common.BadInput("the flight recorder cannot write in %s" % folder)
    return folder


def run(args):
    arguments.check_owner(args, "to")
    lab_condition.check(
        lambda volts, name: volts,
        args.to,
        args.rate,
        args.dwell,
        args.backoff,
        args.max_trips,
        args.backoff_rate,
        args.clear_within,
        "k7340 condition",
    )
    out = samples.sample_log(args)
    folder = check_folder(os.path.dirname(os.path.abspath(args.csv)) if args.csv else os.getcwd())
    with connect.StopSignals() as stop:
        recorder = FlightRecorder(folder, args.record_seconds)
        session = connect.open_session(args, stop, True, recorder)
        status, leave_on = 0, False
        try:
            status, leave_on = _run(args, session, out, samples.opened(out, session))
        except CsvError as exc:
            common.say(str(exc))
            status = common.FAILED
        finally:
            samples.close(out)
            status = connect.finish(session, status, leave_on=leave_on)
    return stop.status(status)


def _run(args, session, out, feed):
    """(exit status, whether the output is to be left on). out: the sample log (or None), fed
    with every reading, its trips marked in it."""
    psu = session.supply
    target = psu.checked_volts(args.to, "--to")  # above the range or --max-volts: exit 2
    progress = common.ProgressLine()
    seen, last = [], [None]

    def show_reading(phase, reading):
        feed(reading)
        last[0] = reading
        progress.write(
            "%-8s setpoint %8.1f V  output %8.1f V  %9.3f uA  trips %d/%d"
            % (
                phase,
                reading.setpoint or 0.0,
                reading.volts,
                reading.microamps,
                len(seen),
                args.max_trips,
            )
        )

    def on_trip(trip):
        seen.append(trip)
        progress.end()
        status = show.status_text(trip.status)
        common.say(
            "trip %d at %.1f V: %.1f V, %.3f uA, status %s"
            % (len(seen), trip.setpoint, trip.volts, trip.microamps, status)
        )
        if out is not None:
            record = " (record %s)" % trip.record if trip.record else ""
            out.mark(
                "trip %d at %.1f V: %s%s" % (len(seen), trip.setpoint, status, record), last[0]
            )

    try:
        result = session.condition(
            target,
            args.rate,
            args.dwell,
            args.backoff,
            args.max_trips,
            backoff_rate=args.backoff_rate,
            step=args.step,
            clear_within=args.clear_within,
            progress=show_reading,
            trip_seen=on_trip,
        )
    except K7340ArgumentError:
        raise  # refused before anything was sent: exit 2
    except K7340TripError as exc:
        progress.end()
        common.say(
            ("%s" if exc.gave_up else "conditioning stopped: %s") % show.failure(exc, psu.port)
        )
        return (common.GAVE_UP if exc.gave_up else common.FAILED), False
    except K7340Error as exc:
        progress.end()
        common.say("conditioning stopped: %s" % show.failure(exc, psu.port))
        return common.FAILED, False
    progress.end()
    if not result.reached:
        common.say("conditioning interrupted after %d trip%s" % (len(seen), _s(len(seen))))
        return 0, False
    common.say("reached %.1f V after %d trip%s" % (result.volts, len(seen), _s(len(seen))))
    if args.leave_on:
        return 0, True
    return hold(session, target, feed), False


def _s(count):
    return "" if count == 1 else "s"
