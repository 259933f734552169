"""Run plans: several supplies driven as one system, described in a TOML file (docs/plans.md).

    plan = load("plan.toml")       # PlanError lists every error, each with its key and line
    timeline = check(plan)         # when each step starts and ends, and its setpoints

Nothing here opens a port or sends a byte: a plan is read, checked and planned in full before
the runtime (k7340.session) opens anything. The data model is k7340.lab.planmodel's (its
names are this module's too); k7340.lab.planreader checks every key and value, while
k7340.lab.planlimits checks the difference limits through the steps; k7340.lab.lockstep
plans the ticks of a ramp and k7340.lab.timeline makes the timeline.
"""

import os

try:
    import tomllib
except ImportError:  # Python before 3.11
    tomllib = None

from . import planlimits, timeline
from .planerrors import PlanError, Problems
from .planmodel import (  # noqa: F401 (the data model is the plan's)
    PLAN_WATCHDOG_MS,
    Condition,
    Difference,
    Member,
    Plan,
    Step,
)
from .planreader import TRIP_ACTIONS, Reader  # noqa: F401 (TRIP_ACTIONS: the plan's)


def load(path):
    """The plan in the file at path, checked in full; PlanError lists every error found."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        text = data.decode("utf-8")
    except OSError as exc:
        raise PlanError([(None, None, "cannot read it: %s" % (exc.strerror or exc))], path)
    except UnicodeDecodeError:
        raise PlanError([(None, None, "not UTF-8 text, as TOML must be")], path) from None
    return loads(text, path)


def loads(text, path="plan.toml"):
    """The plan in text, as load() reads it; path names it in errors and is the folder a
    relative log.csv is in."""
    problems = Problems(text)
    if tomllib is None:
        raise PlanError([(None, None, "reading plans needs Python 3.11 or later (tomllib)")], path)
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        problems.syntax(exc)
        raise PlanError(problems.found, path) from None
    plan = Reader(problems, os.path.abspath(path)).plan(data)
    planlimits.check(plan, problems)
    if problems:
        raise PlanError(problems.found, path)
    return plan


def check(plan):
    """The Timeline of a plan (k7340.lab.timeline), after checking its difference limits
    through the steps (a Plan made in code has not been through load's checks)."""
    problems = Problems()
    planlimits.check(plan, problems)
    if problems:
        raise PlanError(problems.found, plan.path)
    return timeline.build(plan)
