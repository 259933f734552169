"""The planned plot of a plan: every supply's setpoint against time, as its timeline has it,
with each difference limit shaded as the band it allows one member around the other, and each
condition's back-off range hatched (every value in it must stay in the bands).

matplotlib comes from Debian's python3-matplotlib and is imported only here, when a plot is
drawn; the caller checks that it is there and that the image's folder takes files first.
"""

import os

from . import timeline as lab_timeline

_UNITS = ((120.0, 1.0, "s"), (2 * 3600.0, 60.0, "min"), (float("inf"), 3600.0, "h"))


def _time_unit(total):
    for below, seconds, name in _UNITS:
        if total < below:
            return seconds, name
    return _UNITS[-1][1:]


def curves(planned):
    """(times in seconds, {name: setpoints}) through every step's start, settling and end:
    straight lines between them (a lockstep ramp moves every setpoint along one progress)."""
    times, values = [0.0], {name: [0.0] for name in planned.names}
    for step in planned.steps:
        for when, setpoints in (
            (step.start, step.before),
            (step.settled, step.setpoints),
            (step.end, step.setpoints),
        ):
            times.append(when)
            for name in planned.names:
                values[name].append(setpoints[name])
    return times, values


def draw(plan, planned, png_path):
    """Draws the planned plot of plan (its Timeline planned) into png_path. OSError when the
    file cannot be written; ImportError without matplotlib."""
    import matplotlib

    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as pyplot

    scale, unit = _time_unit(planned.total)
    times, values = curves(planned)
    x = [t / scale for t in times]
    colours = {name: "C%d" % i for i, name in enumerate(planned.names)}
    figure, axes = pyplot.subplots(figsize=(9, 6), dpi=100)
    for a, b, volts in plan.differences:
        low = [max(0.0, v - volts) for v in values[b]]
        high = [v + volts for v in values[b]]
        axes.fill_between(x, low, high, color=colours[a], alpha=0.07, linewidth=0)
        for edge in (low, high):
            axes.plot(x, edge, color=colours[a], linewidth=0.8, linestyle="--", alpha=0.7)
        axes.fill_between(
            [],
            [],
            color=colours[a],
            alpha=0.2,
            linestyle="--",
            label="%s allowed: within %g V of %s" % (a, volts, b),
        )
    for name in planned.names:
        axes.plot(x, values[name], color=colours[name], linewidth=2, label=name)
    top = max([max(v) for v in values.values()] + [1.0])
    starts = [step.start for step in planned.steps[1:]] + [float("inf")]
    for step, source, following in zip(planned.steps, plan.steps, starts):
        crowded = following - step.start < 0.015 * planned.total
        _mark_step(axes, step, source, scale, top, colours, crowded)
    axes.set_xlabel("time from the plan's start (%s)" % unit)
    axes.set_ylabel("setpoint (V)")
    axes.set_ylim(0, top * 1.18)
    axes.set_xlim(0, max(x[-1], 1e-9))
    axes.grid(True, alpha=0.3)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, fontsize="small")
    total = lab_timeline.clock(planned.total)
    axes.set_title(
        "%s: planned setpoints, %s%s"
        % (os.path.basename(plan.path), "at least " if planned.at_least else "", total)
    )
    figure.tight_layout()
    try:
        figure.savefig(png_path)
    finally:
        pyplot.close(figure)


def _mark_step(axes, step, source, scale, top, colours, crowded):
    """A step's start line and number (left of the line when the next one is close); a
    condition's span and back-off range."""
    axes.axvline(step.start / scale, color="grey", linewidth=0.6, linestyle=":")
    label = "%d %s" % (step.index, step.kind)
    axes.annotate(
        label,
        (step.start / scale, top * 1.16),
        fontsize="x-small",
        rotation=90,
        va="top",
        ha="right" if crowded else "left",
        color="dimgrey",
    )
    if step.kind != "condition":
        return
    condition = source.condition
    start = step.before[condition.supply]
    low = min(start, max(0.0, condition.to - condition.backoff))
    high = max(start, condition.to)
    axes.fill_between(
        [step.start / scale, step.end / scale],
        [low, low],
        [high, high],
        facecolor="none",
        edgecolor=colours[condition.supply],
        hatch="//",
        linewidth=0.8,
        label="%s back-off range (step %d, at least)" % (condition.supply, step.index),
    )
