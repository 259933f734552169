"""Lockstep steps: the setpoints of several supplies moved together, tick by tick, so that no
difference limit between two of them is broken on the way, not even for the moment between
two setpoints of one tick going out.

All setpoints of a step move along one progress value u from 0 to 1, at the slowest member's
allowed rate: the step takes T = max |target - start| / rate over its members. Each tick sends
the setpoints of the next value of u, rising ones in the plan's on_order and then falling ones
in the reverse order. While they go out one after another the group passes through states
where some members are at the new value and the others still at the old one. For a limit (a,
b, L) between two members that both move, the one of them sent first (say a, by Da / N per
tick of N) makes the difference d(u) + Da / N for a moment; d moves linearly between d(0) and
d(1), so over all ticks that moment is furthest out at the first or the last tick, and it is
enough that |d(0) + Da / N| <= L and |d(1) + Db / N| <= L (b first: |d(0) - Db / N| and |d(1) -
Da / N|). Where the first one moves the difference outwards from an end, that asks for
per-tick changes within the end's headroom L - |d|; where it moves it inwards, within L + |d|.
A limit whose member holds has no such moment: its states are on the straight line, never
further out than its ends. The number of ticks N is the larger of what T at the tick length
asks and what the limits ask; the limits may ask for ticks shorter than the tick length (same
duration), never shorter than MIN_TICK_S (the step then takes longer than T). An end at its
limit that the first member would push outwards leaves no headroom: PlanError naming the limit.

The runtime also checks what it measures: difference_breaks() gives the limits that measured
voltages break by more than measured_tolerance(limit). The planned setpoints keep every limit
exactly; the tolerance is room for what a measurement adds (see docs/plans.md).
"""

import collections.abc
import dataclasses
import math

from .planerrors import PlanError
from .ramp import STEP_S

DEFAULT_TICK_S = 0.05
MIN_TICK_S = STEP_S[0]
TOLERANCE_FLOOR_V = 50.0
TOLERANCE_SHARE = 0.05


def measured_tolerance(limit):
    """How far a measured difference may pass its limit before the group trips: 5 % of the
    limit, at least 50 V (two meters read one exchange apart while the outputs move and settle
    behind their setpoints)."""
    return max(TOLERANCE_FLOOR_V, TOLERANCE_SHARE * limit)


def difference_breaks(values, differences, tolerance=measured_tolerance):
    """The limits that measured voltages break: a list of (a, b, values[a] - values[b], limit)
    for each (a, b, limit) of differences whose |difference| is above limit + tolerance(limit).
    A member missing from values (or None, NaN: no reading) breaks nothing here."""
    breaks = []
    for a, b, limit in differences:
        first, second = values.get(a), values.get(b)
        if first is None or second is None:
            continue
        difference = first - second
        if abs(difference) > limit + tolerance(limit):
            breaks.append((a, b, difference, limit))
    return breaks


def send_order(starts, targets, on_order):
    """The members that move, in the order each tick sends them: rising ones in on_order,
    then falling ones in the reverse order."""
    moving = [name for name in on_order if name in targets and targets[name] != starts[name]]
    rising = [name for name in moving if targets[name] > starts[name]]
    return rising + [name for name in reversed(moving) if targets[name] < starts[name]]


@dataclasses.dataclass(frozen=True)
class Timing:
    """A lockstep step's length: ``duration`` seconds in ``count`` ticks of ``tick_s`` seconds;
    ``slowest`` is T, the time at the members' rates (``duration`` is longer when the limits
    ask for ticks shorter than MIN_TICK_S)."""

    duration: float
    count: int
    tick_s: float
    slowest: float


def _no_room(a, b, limit, first, end, apart):
    return PlanError(
        [
            (
                None,
                None,
                "%s and %s must stay within %g V of each other: at the step's %s they are %g V "
                "apart, and %s, sent first in each tick (rising setpoints go out in "
                "limits.on_order, falling ones in reverse), would take them further"
                % (a, b, limit, end, apart, first),
            )
        ]
    )


def _ticks_for(a, b, limit, first, difference, change, end):
    """The ticks a limit asks for: |difference + change / N| <= limit, difference within it."""
    if not change:
        return 1
    outwards = difference * change > 0 or difference == 0
    room = limit - abs(difference) if outwards else limit + abs(difference)
    if room <= 0:
        raise _no_room(a, b, limit, first, end, abs(difference))
    return math.ceil(abs(change) / room)


def timing(starts, targets, rates, differences, on_order, tick_s=DEFAULT_TICK_S):
    """The Timing of a step from starts to targets (dicts name -> volts; names absent from
    targets hold) at rates (name -> V/s, for every member that moves), keeping differences
    (a sequence of (a, b, volts)), its setpoints sent in on_order's rule. PlanError when a
    limit is broken at either end or has no headroom for the member sent first; ValueError for
    a tick_s below MIN_TICK_S or a moving member without a rate above 0."""
    if not tick_s >= MIN_TICK_S:
        raise ValueError("tick_s must be at least %g s, not %r" % (MIN_TICK_S, tick_s))
    moves = {name: targets[name] - starts[name] for name in targets}
    slowest = 0.0
    for name, change in moves.items():
        if change:
            if not rates.get(name, 0) > 0:
                raise ValueError("%s moves but has no rate above 0" % name)
            slowest = max(slowest, abs(change) / rates[name])
    count = max(1, math.ceil(slowest / tick_s - 1e-9))
    order = send_order(starts, targets, on_order)
    for a, b, limit in differences:
        before = starts[a] - starts[b]
        after = targets.get(a, starts[a]) - targets.get(b, starts[b])
        if max(abs(before), abs(after)) > limit:
            raise PlanError(
                [
                    (
                        None,
                        None,
                        "%s and %s are more than %g V apart at the step's start or end"
                        % (a, b, limit),
                    )
                ]
            )
        if a not in order or b not in order:
            continue  # one of them holds: every state is on the straight line
        if order.index(a) < order.index(b):
            first, moved, last_moved = a, moves[a], moves[b]
        else:
            first, moved, last_moved = b, -moves[b], -moves[a]
        count = max(
            count,
            _ticks_for(a, b, limit, first, before, moved, "start"),
            _ticks_for(a, b, limit, first, after, last_moved, "end"),
        )
    if not slowest:
        return Timing(0.0, count, 0.0, 0.0)
    tick = max(slowest / count, MIN_TICK_S)
    return Timing(max(slowest, tick * count), count, tick, slowest)


class Ticks(collections.abc.Sequence):
    """The ticks of a step, each computed when asked (a day-long step would not fit in memory
    as a list): item k is (seconds from the step's start, [(name, volts), ...] in send order).
    A member that does not move is sent once, in the last tick, which holds exactly the
    targets."""

    def __init__(self, starts, targets, on_order, step):
        unknown = [name for name in targets if name not in on_order]
        if unknown:
            raise ValueError("%s not in on_order %s" % (", ".join(unknown), tuple(on_order)))
        self._starts = {name: float(starts[name]) for name in targets}
        self._targets = {name: float(targets[name]) for name in targets}
        self._moving = send_order(starts, targets, on_order)
        self._order = self._moving + [
            name for name in on_order if name in targets and name not in self._moving
        ]
        self._step = step

    def __len__(self):
        return self._step.count

    def __getitem__(self, k):
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(len(self)))]
        count = self._step.count
        if k < 0:
            k += count
        if not 0 <= k < count:
            raise IndexError("tick %d of %d" % (k, count))
        if k == count - 1:
            return self._step.duration, [(n, self._targets[n]) for n in self._order]
        u = (k + 1) / count
        values = [
            (n, self._starts[n] + (self._targets[n] - self._starts[n]) * u) for n in self._moving
        ]
        return (k + 1) * self._step.tick_s, values


@dataclasses.dataclass(frozen=True)
class StepTicks:
    """What plan_ticks gives: ``duration`` seconds, ``tick_s`` seconds between ticks, and
    ``ticks`` (a Ticks sequence: len(), indexing, iteration)."""

    duration: float
    tick_s: float
    ticks: Ticks


def plan_ticks(starts, targets, rates, differences, on_order, tick_s=DEFAULT_TICK_S):
    """The ticks of a lockstep step (see the module's text). starts and targets: dicts name ->
    volts (a name absent from targets holds); rates: name -> V/s each moving member may move
    (its own rate capped by the step's); differences: (a, b, volts) limits; on_order: the
    names in the order their outputs go on. Raises PlanError naming a limit without headroom,
    ValueError for arguments that do not fit together."""
    step = timing(starts, targets, rates, differences, on_order, tick_s)
    return StepTicks(step.duration, step.tick_s, Ticks(starts, targets, tuple(on_order), step))
