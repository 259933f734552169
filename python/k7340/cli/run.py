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

import sys

from ..lab import plan as lab_plan
from ..lab import planplot, timeline
from ..lab.planerrors import PlanError
from . import common, plot

RUNTIME = "k7340.session.plan"


def add_arguments(p):
    p.add_argument("plan", metavar="PLAN", help="the plan file (TOML)")
    p.add_argument(
        "--check",
        action="store_true",
        help="only check the plan and print its timeline: opens nothing, sends nothing",
    )
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
    """Runs the plan through the session layer's runtime, imported only here."""
    try:
        from ..session.plan import run_plan as run
    except ModuleNotFoundError as exc:
        if exc.name != RUNTIME:
            raise
        print("k7340 run: running a plan needs the runtime", file=sys.stderr)
        return common.FAILED
    return run(plan, args)
