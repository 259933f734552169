"""The data model of a run plan (k7340.lab.plan reads one): frozen dataclasses the runtime
drives its supplies from. Volts, V/s and seconds are floats; a value left out is None."""

import dataclasses
from typing import NamedTuple, Optional, Tuple

from ..binding.device import VRANGE_BOUNDS

PLAN_WATCHDOG_MS = 1000  # every member's dead-man period unless the plan gives one
VOLTS_MAX = float(VRANGE_BOUNDS[1])  # no supply's range goes higher


@dataclasses.dataclass(frozen=True)
class Member:
    """One supply of the plan: its name, port (as written), ``max`` (volts or None: refused
    above it, as --max-volts), ``rate`` (its own limit in V/s, or None), ``limits`` (the two
    limit levels in percent, or None) and the line of its table."""

    name: str
    port: object
    max: Optional[float]
    rate: Optional[float]
    limits: Optional[Tuple[float, float]]
    line: Optional[int]

    @property
    def ceiling(self):
        """The highest setpoint the plan may give it."""
        return VOLTS_MAX if self.max is None else self.max


class Difference(NamedTuple):
    """A difference limit: |setpoint of a - setpoint of b| stays at most volts."""

    a: str
    b: str
    volts: float


@dataclasses.dataclass(frozen=True)
class Condition:
    """A condition step's arguments as k7340.lab.condition.check takes them; ``rate`` and
    ``backoff_rate`` resolved (the step's, else the member's, else the plan's rate)."""

    supply: str
    to: float
    backoff: float
    dwell: float
    max_trips: int
    rate: float
    backoff_rate: float
    clear_within: float


@dataclasses.dataclass(frozen=True)
class Step:
    """One step: ``kind`` "ramp", "hold" or "condition"; ``index`` its number from 1; a ramp's
    ``targets`` (name -> volts, only the supplies it names: the others hold) and own ``rate``
    (None: the plan's); a hold's ``seconds``; a condition's ``condition``."""

    kind: Optional[str]
    index: int
    line: Optional[int]
    targets: Optional[dict] = None
    rate: Optional[float] = None
    seconds: Optional[float] = None
    condition: Optional[Condition] = None


@dataclasses.dataclass(frozen=True)
class Plan:
    """A checked plan. ``on_order``: the names in the order the outputs go on (off in reverse);
    ``watchdog_ms``: every member's dead-man period; ``log_csv``: an absolute path or None."""

    path: str
    members: Tuple[Member, ...]
    rate: Optional[float]
    differences: Tuple[Difference, ...]
    on_order: Tuple[str, ...]
    on_trip: str
    watchdog_ms: int
    log_csv: Optional[str]
    log_interval: float
    steps: Tuple[Step, ...]

    @property
    def names(self):
        return tuple(member.name for member in self.members)

    def member(self, name):
        return next(member for member in self.members if member.name == name)

    def ramp_rates(self, step):
        """name -> V/s for each supply a ramp step names: its own rate capped by the step's
        (else the plan's); None where neither is given."""
        return ramp_rates({m.name: m for m in self.members}, self.rate, step)


def ramp_rates(members, plan_rate, step):
    """Plan.ramp_rates of a step, members a dict name -> Member."""
    rates = {}
    for name in step.targets:
        given = [members[name].rate, plan_rate if step.rate is None else step.rate]
        given = [rate for rate in given if rate is not None]
        rates[name] = min(given) if given else None
    return rates
