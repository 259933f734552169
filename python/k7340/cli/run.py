"""k7340 run PLAN [--check] [--plot FILE.png]: several supplies driven as one system from a
plan file (docs/plans.md).

The plan is read and checked in full first, opening nothing and sending nothing: every error
is one line on standard error with the file, its line where known and the key
("k7340: plan.toml:12: supplies.anode.max: ..."), and any error is exit status 2.
--check stops there: it prints the timeline (each step's number, kind, start and end from the
plan's start and the setpoints at its end; "at least" from a condition on, whose trips add
time) and the total duration, exit 0. --plot FILE.png draws the planned setpoints against
time with the difference limits shaded (python3-matplotlib; the folder is checked before).
Without --check the plan runs, through the session layer's runtime.
"""

from ..binding import K7340ArgumentError, K7340Error, K7340TripError
from ..lab import plan as lab_plan
from ..lab import planplot, timeline
from ..lab.csvlog import CsvError
from ..lab.planerrors import PlanError
from ..session.plan import Plan
from . import common, connect, plot, show


def add_arguments(p):
    p.add_argument("plan", metavar="PLAN", help="the plan file (TOML)")
    p.add_argument(
        "--check",
        action="store_true",
        help="only check the plan and print its timeline: opens nothing, sends nothing",
    )
    p.add_argument("--force", action="store_true", help="start an existing log file anew")
    p.add_argument("--append", action="store_true", help="add rows to an existing log file")
    p.add_argument(
        "--plot",
        metavar="FILE.png",
        help="draw the planned setpoints against time, the difference limits shaded",
    )


def run_command(args):
    try:
        plan = lab_plan.load(args.plan)
        planned = lab_plan.check(plan)
    except PlanError as exc:
        for line in exc.lines():
            common.say(line)
        return common.BAD_INPUT
    if args.plot:
        plot.check(args.plot)
    if args.check:
        common.check_stdout("the timeline")
        for line in timeline.text(planned):
            print(line)
    if args.plot:
        try:
            planplot.draw(plan, planned, args.plot)
        except OSError as exc:
            raise common.BadInput(
                "cannot write the plot %s: %s" % (args.plot, exc.strerror or exc)
            ) from None
        common.say("planned plot in %s" % args.plot)
    if not args.check:
        return run_plan(plan, args)
    return 0


def run_plan(plan, args):
    """Runs the plan through the session layer (k7340.session.Plan): exit status 0 done, 1 a
    supply failed or tripped (the group's trip action ran), 3 a conditioning step gave up after
    its trips, 128 + N a stop signal N (every supply at zero, in the reverse order)."""
    with connect.StopSignals() as stop:
        status = 0
        try:
            Plan(plan).run(common.say, stop, stop.sleep, args.force, args.append)
        except CsvError as exc:
            common.say(str(exc))
            status = common.FAILED
        except K7340ArgumentError:
            raise  # refused before anything was sent: exit 2
        except K7340TripError as exc:
            common.say(("gave up: %s" if exc.gave_up else "%s") % show.failure(exc))
            status = common.GAVE_UP if exc.gave_up else common.FAILED
        except K7340Error as exc:
            common.say(show.failure(exc))
            status = common.FAILED
    return stop.status(status)
