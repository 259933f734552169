"""A plan through time: every supply's setpoint after each step, when each step starts and
ends, and the timeline as text (what `k7340 run PLAN --check` prints).

Every setpoint starts at 0 V. A ramp takes its lockstep duration (k7340.lab.lockstep); a hold
its seconds; a condition at least its climb from its start at its rate plus its dwell (each
trip adds a back-off, a wait and another dwell and climb), so a condition's end, and every
time after it, is a lower bound.
"""

import dataclasses
from . import lockstep


@dataclasses.dataclass(frozen=True)
class TimelineStep:
    """One step in time: ``start`` and ``end`` in seconds from the plan's start; ``settled``
    when the setpoints reach ``setpoints`` (their values at its end; ``before``: at its start);
    ``at_least``: the times are lower bounds (a condition here or before)."""

    index: int
    kind: str
    start: float
    settled: float
    end: float
    before: dict
    setpoints: dict
    at_least: bool


@dataclasses.dataclass(frozen=True)
class Timeline:
    """Every step's TimelineStep, the plan's ``total`` seconds (at least, when ``at_least``)
    and the supplies' ``names`` in the plan's order."""

    steps: tuple
    total: float
    at_least: bool
    names: tuple = ()


def walk(plan):
    """(step, setpoints before it, setpoints after it) for every step, dicts name -> volts
    from 0 V for all. A value the plan left in error is None (unknown) from there on, until a
    later step sets it; a step of unknown kind leaves every value unknown."""
    setpoints = {name: 0.0 for name in plan.names}
    for step in plan.steps:
        after = dict(setpoints)
        if step.kind == "ramp":
            after.update(step.targets)
        elif step.kind == "condition":
            if step.condition is not None:
                after[step.condition.supply] = step.condition.to
        elif step.kind != "hold":
            after = dict.fromkeys(setpoints)
        yield step, setpoints, after
        setpoints = after


def ramp_timing(plan, step, before):
    """A ramp step's lockstep Timing from before (PlanError: a limit without headroom)."""
    return lockstep.timing(
        before, step.targets, plan.ramp_rates(step), plan.differences, plan.on_order
    )


def climb_seconds(condition, start):
    """A condition's climb from start to its target at its rate."""
    return abs(condition.to - start) / condition.rate


def build(plan):
    """The Timeline of a plan whose every value is known (a loaded one)."""
    now, at_least, steps = 0.0, False, []
    for step, before, after in walk(plan):
        start = now
        if step.kind == "ramp":
            settled = now = start + ramp_timing(plan, step, before).duration
        elif step.kind == "hold":
            settled, now = start, start + step.seconds
        else:
            condition = step.condition
            settled = start + climb_seconds(condition, before[condition.supply])
            now = settled + condition.dwell
            at_least = True
        steps.append(
            TimelineStep(step.index, step.kind, start, settled, now, before, after, at_least)
        )
    return Timeline(tuple(steps), now, at_least, plan.names)


def clock(seconds):
    """Seconds as h:mm:ss.s."""
    tenths = int(round(seconds * 10))
    hours, rest = divmod(tenths, 36000)
    minutes, rest = divmod(rest, 600)
    return "%d:%02d:%04.1f" % (hours, minutes, rest / 10.0)


def _time(seconds, at_least):
    return ("at least " if at_least else "") + clock(seconds)


def text(timeline):
    """The timeline as lines: a heading, one line per step (its number, kind, start and end
    from the plan's start, the setpoints at its end), then the total duration."""
    lines = ["step  kind       %18s  %18s  setpoints at its end" % ("start", "end")]
    was_bound = False
    for step in timeline.steps:
        setpoints = ", ".join("%s %g V" % (name, step.setpoints[name]) for name in timeline.names)
        lines.append(
            "%4d  %-9s  %18s  %18s  %s"
            % (
                step.index,
                step.kind,
                _time(step.start, was_bound),
                _time(step.end, step.at_least),
                setpoints,
            )
        )
        was_bound = step.at_least
    seconds = "%.1f s" % timeline.total
    lines.append(
        "total %s (%s%s)"
        % (
            _time(timeline.total, timeline.at_least),
            seconds,
            "; each trip of a condition adds to it" if timeline.at_least else "",
        )
    )
    return lines
