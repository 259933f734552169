"""Run plans without a supply: `k7340 run PLAN --check` on a table of bad plans (each refused
with its key path, its words and exit status 2, nothing opened: the ports do not exist) and on
a good one (its timeline), and the lockstep tick planner in-process."""

import subprocess
import sys

import pytest

from binding_support import REPO
from k7340.lab import lockstep
from k7340.lab.planerrors import PlanError

GOOD = """\
[supplies.a]
port = "/dev/nonexistent-k7340-a"
max = "2kV"
[supplies.b]
port = "/dev/nonexistent-k7340-b"
rate = "100V/s"

[limits]
rate = "200V/s"
max_difference = [{ between = ["b", "a"], volts = "800V" }]
on_order = ["a", "b"]

[[step]]
ramp = { a = "1kV", b = "1kV" }
[[step]]
hold = "10s"
[[step]]
condition = { supply = "b", to = "1.2kV", backoff = "100V", dwell = "5s", max_trips = 3 }
[[step]]
ramp = { a = "0V", b = "0V" }
"""

NINE = "".join('[supplies.s%d]\nport = "COM%d"\n' % (i, i + 1) for i in range(9))
STEPS = GOOD[GOOD.index("[[step]]") :]

# (row, text replaced in GOOD, its replacement, [(key path, words)], line of the first or None)
# fmt: off
BAD = [
    ("unknown key", 'max = "2kV"', 'max = "2kV"\ncolour = "red"',
     [("supplies.a.colour", "unknown key")], 4),
    ("bad unit", 'max = "2kV"', 'max = "2kX"', [("supplies.a.max", "must be volts")], 3),
    ("above 60 kV", 'max = "2kV"', 'max = "70kV"', [("supplies.a.max", "60000")], 3),
    ("above its max", 'a = "1kV"', 'a = "2.5kV"', [("step[1].ramp.a", "above supplies.a.max")],
     14),
    ("end breaks a limit", 'b = "1kV" }', 'b = "1.9kV" }', [("step[1].ramp", "900 V apart")],
     14),
    ("back-off range", 'backoff = "100V"', 'backoff = "1.2kV"',
     [("step[3].condition", "0..1200 V with its back-offs")], 18),
    ("supply named twice", "[supplies.b]\n", "[supplies.a]\n",
     [("supplies.a", "a supply named twice")], 4),
    ("port used twice", "nonexistent-k7340-b", "nonexistent-k7340-a",
     [("supplies.b.port", "also a's")], 5),
    ("COM port used twice", '"/dev/nonexistent-k7340-b"', '"com1"\n[supplies.c]\nport = "COM1"',
     [("supplies.c.port", "also b's")], 7),
    ("unknown in a limit", '["b", "a"]', '["b", "x"]',
     [("limits.max_difference[0].between", "'x' is no supply")], 10),
    ("a limit to itself", '["b", "a"]', '["b", "b"]',
     [("limits.max_difference[0].between", "twice")], 10),
    ("on_order not all", '["a", "b"]', '["a", "a"]', [("limits.on_order", "exactly once")], 11),
    ("lockstep headroom", 'a = "0V", b = "0V" }',
     'a = "2kV" }\n[[step]]\nramp = { a = "0V", b = "0V" }',
     [("step[5].ramp", "b, sent first")], 22),
    ("over eight supplies", "[supplies.a]", NINE + "[supplies.a]", [("supplies", "11 supplies")],
     None),
    ("no steps", STEPS, "", [("step", "no steps")], None),
    ("ramp over a day", 'rate = "200V/s"', 'rate = "0.01V/s"', [("step[1].ramp", "hours at most")],
     14),
    ("two kinds", 'hold = "10s"', 'hold = "10s"\nramp = { a = "1kV" }',
     [("step[2]", "has ramp and hold")], 15),
    ("on_trip", 'on_order = ["a", "b"]', 'on_trip = "no"', [("limits.on_trip", "off or ramp-down")],
     11),
    ("watchdog", 'on_order = ["a", "b"]', 'watchdog = "5s"', [("limits.watchdog", "300..2550")],
     11),
    ("every error", 'max = "2kV"', 'max = "2kX"\nrate = "fast"',
     [("supplies.a.max", "volts"), ("supplies.a.rate", "per second")], 3),
]
# fmt: on


def check(tmp_path, text):
    path = tmp_path / "plan.toml"
    path.write_text(text)
    return subprocess.run(
        [sys.executable, "-m", "k7340", "run", str(path), "--check"],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(REPO / "python"), "PATH": "/usr/bin:/bin"},
        timeout=60,
    )


@pytest.mark.parametrize("row, old, new, errors, line", BAD, ids=[row[0] for row in BAD])
def test_check_refuses_a_bad_plan(tmp_path, row, old, new, errors, line):
    assert old in GOOD
    done = check(tmp_path, GOOD.replace(old, new, 1))
    assert done.returncode == 2, done.stderr
    assert done.stdout == ""
    said = done.stderr.splitlines()
    for path, words in errors:
        assert any(": %s: " % path in text and words in text for text in said), done.stderr
    if line is not None:
        assert ("plan.toml:%d: %s: " % (line, errors[0][0])) in done.stderr


def test_check_prints_the_timeline_of_a_good_plan(tmp_path):
    done = check(tmp_path, GOOD)
    assert done.returncode == 0, done.stderr
    lines = [line.split() for line in done.stdout.splitlines()]
    # 0 -> 1 kV: b at its own 100 V/s takes 10 s; hold 10 s; the condition climbs 200 V at
    # 100 V/s and dwells 5 s (at least 7 s); down from 1.2 kV at b's 100 V/s: 12 s.
    assert lines[1] == ["1", "ramp", "0:00:00.0", "0:00:10.0", "a", "1000", "V,", "b", "1000", "V"]
    assert lines[2][:4] == ["2", "hold", "0:00:10.0", "0:00:20.0"]
    assert lines[3][:6] == ["3", "condition", "0:00:20.0", "at", "least", "0:00:27.0"]
    assert lines[3][6:] == ["a", "1000", "V,", "b", "1200", "V"]
    assert lines[4][:8] == ["4", "ramp", "at", "least", "0:00:27.0", "at", "least", "0:00:39.0"]
    assert lines[5][:5] == ["total", "at", "least", "0:00:39.0", "(39.0"]


# (starts, targets, rates, limits, on_order, duration, send order of a tick)
# fmt: off
TICKS = [
    ({"a": 0, "b": 0}, {"a": 1000, "b": 1500}, {"a": 200, "b": 100}, [("b", "a", 800)], "ab",
     15.0, "ab"),
    ({"a": 1000, "b": 0, "c": 400}, {"a": 0, "b": 500}, {"a": 200, "b": 100},
     [("a", "c", 1000), ("b", "c", 500)], "abc", 5.0, "ba"),
    ({"a": 1800, "c": 1000}, {"a": 0, "c": 0}, {"a": 100, "c": 200}, [("a", "c", 800)], "ca",
     18.0, "ac"),
    ({"a": 0, "b": 0}, {"a": 1000, "b": 1000}, {"a": 1000, "b": 1000}, [("a", "b", 5)], "ab",
     2.0, "ab"),
    ({"a": 0, "b": 0, "c": 0}, {"a": 300, "b": 200, "c": 100}, {"a": 50, "b": 50, "c": 50},
     [("a", "b", 100), ("b", "c", 100)], "cba", 6.0, "cba"),
    ({"a": 500, "b": 500}, {"a": 500}, {}, [("a", "b", 100)], "ab", 0.0, ""),
]
# fmt: on


@pytest.mark.parametrize("starts, targets, rates, limits, order, duration, sent", TICKS)
def test_lockstep_keeps_every_limit_between_two_setpoints(
    starts, targets, rates, limits, order, duration, sent
):
    planned = lockstep.plan_ticks(starts, targets, rates, limits, tuple(order))
    assert planned.duration == pytest.approx(duration)
    ticks = list(planned.ticks)
    state, last_time = dict(starts), 0.0
    for when, values in ticks:
        if duration:  # ticks 0.01 s to 0.05 s apart
            assert 0.01 - 1e-9 <= when - last_time <= 0.05 + 1e-9
        last_time = when
        if values is not ticks[-1][1]:
            assert "".join(name for name, _ in values) == sent
        for name, volts in values:
            state[name] = volts
            for a, b, limit in limits:
                assert abs(state[a] - state[b]) <= limit * (1 + 1e-12)
    assert ticks[-1][0] == planned.duration
    assert dict(ticks[-1][1]) == targets


# (starts, targets, limits, on_order, words of the refusal; None: none, the step takes 10 s)
NO_ROOM = [
    ({"a": 1000, "b": 200}, {"a": 1200, "b": 400}, [("a", "b", 800)], "ab", "a, sent first"),
    ({"a": 1000, "b": 200}, {"a": 0, "b": 0}, [("a", "b", 800)], "ab", "b, sent first"),
    ({"a": 1000, "b": 200}, {"a": 0, "b": 0}, [("a", "b", 800)], "ba", None),
    ({"a": 0, "b": 0}, {"a": 1000}, [("a", "b", 800)], "ab", "more than 800 V apart"),
]


@pytest.mark.parametrize("starts, targets, limits, order, words", NO_ROOM)
def test_lockstep_refuses_a_limit_without_headroom(starts, targets, limits, order, words):
    rates = dict.fromkeys(targets, 100.0)
    if words is None:  # falling in reverse on_order: a first, which brings them closer
        assert lockstep.plan_ticks(starts, targets, rates, limits, tuple(order)).duration == 10.0
        return
    with pytest.raises(PlanError) as refused:
        lockstep.plan_ticks(starts, targets, rates, limits, tuple(order))
    assert words in str(refused.value)


@pytest.mark.parametrize(
    "values, breaks",
    [
        ({"a": 850, "b": 0}, []),
        ({"a": 0, "b": 851}, [("a", "b", -851, 800)]),
        ({"a": 900, "b": None}, []),
        ({"a": 2099, "b": 0, "c": 0}, [("a", "b", 2099, 800)]),
    ],
)
def test_measured_differences_trip_beyond_the_tolerance(values, breaks):
    limits = [("a", "b", 800.0), ("a", "c", 2000.0)]  # tolerances 50 V and 100 V
    assert lockstep.difference_breaks(values, limits) == breaks
