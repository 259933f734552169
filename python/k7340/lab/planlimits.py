"""A plan's difference limits through its steps, and the length of its moves.

Every supply's setpoint starts at 0 V and is what the steps make it (k7340.lab.timeline.walk).
Checked for each step:
- a ramp: its end keeps every difference limit; its setpoints can move in lockstep (every limit
  a moving supply is in has headroom, k7340.lab.lockstep); it takes at most MAX_RAMP_SECONDS;
- a condition: its whole back-off range keeps every limit while the others hold. The
  conditioned supply's setpoint ranges from min(its start, max(0, to - backoff)) to max(its
  start, to): every value in that range must keep every limit; its climb takes at most
  MAX_RAMP_SECONDS.
A value the plan left in error is unknown: the limits it is in are not checked until a later
step sets it again (no error follows from another one).
"""

from . import lockstep, ramp, timeline
from .planerrors import PlanError


def _known(values, *names):
    return all(values.get(name) is not None for name in names)


def _limit_text(a, b, volts):
    return "the limit of %g V between %s and %s" % (volts, a, b)


def check(plan, problems):
    """Adds each step that breaks a limit or moves too long to problems (planerrors.Problems)."""
    for step, before, after in timeline.walk(plan):
        path = ("step", step.index - 1)
        if step.kind == "ramp":
            _ramp(plan, step, before, after, problems, path + ("ramp",))
        elif step.kind == "condition" and step.condition is not None:
            _condition(plan, step.condition, before, problems, path + ("condition",))


def _ramp(plan, step, before, after, problems, path):
    broken = False
    for a, b, volts in plan.differences:
        inherited = _known(before, a, b) and abs(before[a] - before[b]) > volts
        if inherited and a not in step.targets and b not in step.targets:
            broken = True  # said at the step that broke it
        elif _known(after, a, b) and abs(after[a] - after[b]) > volts:
            problems.add(
                path,
                "at its end %s is at %g V and %s at %g V: %g V apart, above %s"
                % (a, after[a], b, after[b], abs(after[a] - after[b]), _limit_text(a, b, volts)),
            )
            broken = True
        broken = broken or inherited
    rates = plan.ramp_rates(step)
    if broken or not _known(before, *step.targets) or not _known(step.targets, *step.targets):
        return
    if None in rates.values():
        return
    differences = [d for d in plan.differences if _known(before, d.a, d.b)]
    try:
        step_timing = lockstep.timing(before, step.targets, rates, differences, plan.on_order)
    except PlanError as exc:
        for _, _, message in exc.errors:
            problems.add(path, message)
        return
    if step_timing.duration > ramp.MAX_RAMP_SECONDS:
        problems.add(
            path,
            "takes %.1f hours (its slowest supply at its rate%s): a ramp takes %g hours at most"
            % (
                step_timing.duration / 3600.0,
                ", in ticks its limits' headroom allows"
                * (step_timing.duration > step_timing.slowest),
                ramp.MAX_RAMP_SECONDS / 3600.0,
            ),
        )


def _condition(plan, condition, before, problems, path):
    name = condition.supply
    start = before.get(name)
    if start is None or condition.to is None:
        return
    if condition.rate is not None:
        seconds = timeline.climb_seconds(condition, start)
        if seconds > ramp.MAX_RAMP_SECONDS:
            problems.add(
                path,
                "its climb from %g V to %g V at %g V/s takes %.1f hours: %g hours at most"
                % (
                    start,
                    condition.to,
                    condition.rate,
                    seconds / 3600.0,
                    ramp.MAX_RAMP_SECONDS / 3600,
                ),
            )
    if condition.backoff is None:
        return
    low = min(start, max(0.0, condition.to - condition.backoff))
    high = max(start, condition.to)
    for a, b, volts in plan.differences:
        if name not in (a, b):
            continue
        other = b if name == a else a
        if before.get(other) is None:
            continue
        held = before[other]
        if abs(start - held) > volts:
            continue  # said at the step that broke it
        worst = max(abs(low - held), abs(high - held))
        if worst > volts:
            problems.add(
                path,
                "%s ranges over %g..%g V with its back-offs while %s holds %g V: up to %g V "
                "apart, above %s" % (name, low, high, other, held, worst, _limit_text(a, b, volts)),
            )
