"""Reading a parsed plan (the TOML file's tables) into its data model, every key and value
checked: units as k7340.lab.units reads them, bounds from k7340.lab.ramp, the binding and the
safety core, ports for their form only (nothing is opened). Each error goes to the Problems
collected (k7340.lab.planerrors) with its key path, and reading goes on: a value in error is
None in the Plan, which the limit checks then leave out."""

import os

from ..binding import ports
from ..binding.device import OUTPUT_ON_VOLTS
from ..binding.slots import MAX_DEVICES
from ..safety.deadman import MAX_WATCHDOG_MS, MIN_WATCHDOG_MS
from ..safety.status import TRIP_ACTIONS
from . import condition as lab_condition
from . import ramp, units
from .planmodel import (
    PLAN_WATCHDOG_MS,
    VOLTS_MAX,
    Condition,
    Difference,
    Member,
    Plan,
    Step,
    ramp_rates,
)

DEFAULT_DWELL_S = 10.0  # as `k7340 condition`'s
DEFAULT_LOG_INTERVAL_S = 1.0

_TOP_KEYS = ("supplies", "limits", "log", "step")
_MEMBER_KEYS = ("port", "max", "rate", "limits")
_LIMIT_KEYS = ("rate", "max_difference", "on_order", "on_trip", "watchdog")
_DIFFERENCE_KEYS = ("between", "volts")
_LOG_KEYS = ("csv", "interval")
_STEP_KEYS = ("ramp", "rate", "hold", "condition")
_KINDS = ("ramp", "hold", "condition")
_CONDITION_KEYS = (
    "supply",
    "to",
    "backoff",
    "dwell",
    "max_trips",
    "rate",
    "backoff_rate",
    "clear_within",
)


class Reader:
    """Reads the parsed TOML into a Plan (plan(data)), adding each error to problems; path:
    the plan file's absolute path."""

    def __init__(self, problems, path):
        self.problems = problems
        self.path = path
        self.members = {}

    def add(self, path, message):
        self.problems.add(path, message)

    def table(self, path, raw, keys):
        if not isinstance(raw, dict):
            self.add(path, "must be a table")
            return {}
        for key in raw:
            if key not in keys:
                self.add(path + (key,), "unknown key (known here: %s)" % ", ".join(keys))
        return raw

    def value(self, path, raw, read, *bounds, **keywords):
        """raw read by a k7340.lab.units function, or None (missing, or an error said)."""
        if raw is None:
            return None
        try:
            return read(raw, *bounds, **keywords)
        except units.UnitError as exc:
            self.add(path, str(exc))
            return None

    def plan(self, data):
        self.table((), data, _TOP_KEYS)
        self.read_members(data.get("supplies"))
        limits = self.table(("limits",), data.get("limits", {}), _LIMIT_KEYS)
        log = self.table(("log",), data.get("log", {}), _LOG_KEYS)
        rate = self.value(("limits", "rate"), limits.get("rate"), units.rate, ramp.MAX_RATE)
        log_csv = log.get("csv")
        if log_csv is not None and (not isinstance(log_csv, str) or not log_csv):
            self.add(("log", "csv"), "must be the path of a CSV file")
            log_csv = None
        interval = self.value(
            ("log", "interval"),
            log.get("interval", DEFAULT_LOG_INTERVAL_S),
            units.seconds,
            0.0,
            ramp.MAX_WAIT_SECONDS,
            above=True,
        )
        return Plan(
            path=self.path,
            members=tuple(self.members.values()),
            rate=rate,
            differences=self.read_differences(limits.get("max_difference", [])),
            on_order=self.read_on_order(limits.get("on_order")),
            on_trip=self.read_on_trip(limits.get("on_trip", TRIP_ACTIONS[0])),
            watchdog_ms=self.read_watchdog(limits.get("watchdog")),
            log_csv=None if log_csv is None else os.path.join(os.path.dirname(self.path), log_csv),
            log_interval=interval,
            steps=self.read_steps(data.get("step"), rate),
        )

    def read_members(self, supplies):
        if not isinstance(supplies, dict) or not supplies:
            self.add(
                ("supplies",), "a plan names one to %d supplies as [supplies.NAME]" % MAX_DEVICES
            )
            return
        if len(supplies) > MAX_DEVICES:
            self.add(
                ("supplies",),
                "%d supplies: a plan drives %d at most (the library's slots 0..%d)"
                % (len(supplies), MAX_DEVICES, MAX_DEVICES - 1),
            )
        seen = {}
        for name, raw in supplies.items():
            path = ("supplies", name)
            where = None
            if isinstance(raw, dict):  # else table() says so: no port to look for
                where = self.read_port(path + ("port",), raw.get("port"))
            raw = self.table(path, raw, _MEMBER_KEYS)
            if where is not None and where in seen:
                self.add(path + ("port",), "port %s is also %s's" % (raw["port"], seen[where]))
            seen.setdefault(where, name)
            self.members[name] = Member(
                name,
                raw.get("port"),
                self.value(
                    path + ("max",), raw.get("max"), units.volts, OUTPUT_ON_VOLTS, VOLTS_MAX
                ),
                self.value(path + ("rate",), raw.get("rate"), units.rate, ramp.MAX_RATE),
                self.value(path + ("limits",), raw.get("limits"), units.percent_pair),
                self.problems.where.line(path),
            )

    def read_port(self, path, raw):
        """The port's form checked (nothing is opened); its key for finding a port used twice:
        a COM name whatever its case or number form, else the path as written."""
        if raw is None:
            self.add(path, "missing: the supply's port (a device path or COM<n>)")
            return None
        try:
            if isinstance(raw, bool) or not isinstance(raw, (str, int)):
                raise TypeError("must be a device path or COM<n>, not %r" % (raw,))
            where = ports.keywords(raw)
            if "com_port" in where:
                com_port = ports.resolve(com_port=where["com_port"])[0]
            else:
                com_port = ports.parse_port(where["port"])[0]
        except (TypeError, ValueError) as exc:
            self.add(path, str(exc))
            return None
        return "COM%d" % (com_port + 1) if com_port is not None else where["port"]

    def known(self, path, name):
        if isinstance(name, str) and name in self.members:
            return True
        names = ", ".join(self.members) or "none"
        self.add(path, "%r is no supply of this plan (its supplies: %s)" % (name, names))
        return False

    def read_differences(self, raw):
        path = ("limits", "max_difference")
        if not isinstance(raw, list):
            self.add(path, "must be a list of { between = [A, B], volts = V }")
            return ()
        found = []
        for i, entry in enumerate(raw):
            if not isinstance(entry, dict):
                self.add(path + (i,), "must be a table { between = [A, B], volts = V }")
                continue
            self.table(path + (i,), entry, _DIFFERENCE_KEYS)
            between = entry.get("between")
            volts = self.value(path + (i, "volts"), entry.get("volts"), units.volts, 0.0, VOLTS_MAX)
            if "volts" not in entry:
                self.add(path + (i, "volts"), "missing: the largest difference in volts")
            elif volts == 0:
                self.add(path + (i, "volts"), "must be above 0 V")
                volts = None
            if not (
                isinstance(between, list)
                and len(between) == 2
                and all(isinstance(name, str) for name in between)
            ):
                self.add(path + (i, "between"), 'must name two supplies, as ["a", "b"]')
                continue
            if between[0] == between[1]:
                self.add(
                    path + (i, "between"), "names %r twice: a limit is between two" % between[0]
                )
                continue
            if all([self.known(path + (i, "between"), name) for name in between]) and volts:
                found.append(Difference(between[0], between[1], volts))
        return tuple(found)

    def read_on_order(self, raw):
        names = tuple(self.members)
        if raw is None:
            return names
        given = tuple(raw) if isinstance(raw, list) else (raw,)
        twice = [name for name in names if given.count(name) > 1]
        missing = [name for name in names if name not in given]
        strangers = [name for name in given if name not in names]
        if twice or missing or strangers:
            why = ["names %s more than once" % ", ".join(twice)] if twice else []
            why += ["lacks %s" % ", ".join(missing)] if missing else []
            if strangers:
                why += ["names %s: no supply of it" % ", ".join(map(repr, strangers))]
            self.add(
                ("limits", "on_order"),
                "must list every supply exactly once (%s): %s" % (", ".join(names), "; ".join(why)),
            )
            return names
        return given

    def read_on_trip(self, raw):
        if raw not in TRIP_ACTIONS:
            self.add(("limits", "on_trip"), "must be %s, not %r" % (" or ".join(TRIP_ACTIONS), raw))
            return TRIP_ACTIONS[0]
        return raw

    def read_watchdog(self, raw):
        path = ("limits", "watchdog")
        seconds = self.value(path, raw, units.seconds)
        if raw is None or seconds is None:
            return PLAN_WATCHDOG_MS
        ms = seconds * 1000.0
        if ms != round(ms) or not MIN_WATCHDOG_MS <= ms <= MAX_WATCHDOG_MS:
            self.add(
                path,
                'must be whole milliseconds %d..%d (as "1000ms" or "1s"; a bare number is '
                "seconds), not %r: a plan always arms every member's dead-man"
                % (MIN_WATCHDOG_MS, MAX_WATCHDOG_MS, raw),
            )
            return PLAN_WATCHDOG_MS
        return int(round(ms))

    def read_steps(self, raw, plan_rate):
        if not isinstance(raw, list) or not raw:
            self.add(("step",), "no steps: a plan has at least one [[step]]")
            return ()
        return tuple(self.read_step(i, entry, plan_rate) for i, entry in enumerate(raw))

    def read_step(self, i, raw, plan_rate):
        path = ("step", i)
        raw = self.table(path, raw, _STEP_KEYS)
        kinds = [kind for kind in _KINDS if kind in raw]
        line = self.problems.where.line(path)
        if len(kinds) != 1:
            has = "has %s" % " and ".join(kinds) if kinds else "has none"
            self.add(path, "%s: a step is one of ramp, hold or condition" % has)
            return Step(None, i + 1, line)
        kind = kinds[0]
        rate = self.value(path + ("rate",), raw.get("rate"), units.rate, ramp.MAX_RATE)
        if "rate" in raw and kind != "ramp":
            self.add(path + ("rate",), "only a ramp step takes rate here (a condition inside)")
        if kind == "hold":
            seconds = self.value(
                path + ("hold",), raw["hold"], units.seconds, 0.0, ramp.MAX_WAIT_SECONDS, above=True
            )
            return Step(kind, i + 1, line, seconds=seconds)
        if kind == "condition":
            return Step(kind, i + 1, line, condition=self.read_condition(path, raw, plan_rate))
        targets, moves = {}, raw["ramp"]
        if not isinstance(moves, dict) or not moves:
            self.add(path + ("ramp",), "must be a table of one or more setpoints { NAME = V }")
            moves = {}
        for name, volts in moves.items():
            if self.known(path + ("ramp", name), name):
                targets[name] = self.volts(path + ("ramp", name), volts, name)
        step = Step(kind, i + 1, line, targets=targets, rate=rate)
        for name, speed in ramp_rates(self.members, plan_rate, step).items():
            if speed is None:
                self.add(path + ("ramp", name), "no rate: give limits.rate or the step's rate")
        return step

    def volts(self, path, raw, name):
        """A setpoint for supply name: 0..its max."""
        value = self.value(path, raw, units.volts, 0.0, VOLTS_MAX)
        ceiling = self.members[name].ceiling
        if value is not None and value > ceiling:
            self.add(path, "%g V is above supplies.%s.max %g V" % (value, name, ceiling))
            return None
        return value

    def read_condition(self, path, raw, plan_rate):
        path += ("condition",)
        raw = raw["condition"]
        if not isinstance(raw, dict):
            return self.add(path, "must be a table")
        self.table(path, raw, _CONDITION_KEYS)
        for key in ("supply", "to", "backoff", "max_trips"):
            if key not in raw:
                self.add(path + (key,), "missing")
        name = raw.get("supply")
        if name is None or not self.known(path + ("supply",), name):
            return None
        member = self.members[name]
        to = self.volts(path + ("to",), raw.get("to"), name)
        backoff = self.value(path + ("backoff",), raw.get("backoff"), units.volts, 0.0, VOLTS_MAX)
        if backoff == 0:
            self.add(path + ("backoff",), "must be above 0 V")
        max_trips = raw.get("max_trips")
        if max_trips is not None and (
            type(max_trips) is not int or not 1 <= max_trips <= lab_condition.MAX_TRIPS
        ):
            self.add(
                path + ("max_trips",),
                "must be a whole number 1..%d, not %r" % (lab_condition.MAX_TRIPS, max_trips),
            )
        rates = {}
        for key in ("rate", "backoff_rate"):
            rates[key] = self.value(path + (key,), raw.get(key), units.rate, ramp.MAX_RATE)
            if None not in (rates[key], member.rate) and rates[key] > member.rate:
                self.add(
                    path + (key,),
                    "%g V/s is above supplies.%s.rate %g V/s" % (rates[key], name, member.rate),
                )
        rate = rates["rate"] or member.rate or plan_rate
        if rate is None and "rate" not in raw:
            self.add(path + ("rate",), "no rate: give it, supplies.%s.rate or limits.rate" % name)
        dwell = self.value(
            path + ("dwell",),
            raw.get("dwell", DEFAULT_DWELL_S),
            units.seconds,
            0.0,
            ramp.MAX_WAIT_SECONDS,
        )
        within = self.value(
            path + ("clear_within",),
            raw.get("clear_within", lab_condition.CLEAR_WITHIN_S),
            units.seconds,
            0.01,
            ramp.MAX_WAIT_SECONDS,
        )
        return Condition(
            name, to, backoff or None, dwell, max_trips, rate, rates["backoff_rate"] or rate, within
        )
