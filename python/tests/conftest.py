"""Test set-up for the binding: the package from this tree, and k7340sim on a pty through
k7340.testing, the fixture users are told to write."""

import contextlib

import pytest

import binding_support  # noqa: F401 (puts this tree's package first on the path)
from k7340.testing import simulated_supply


def simulator_keywords(options):
    """k7340sim's command-line options as simulated_supply's keywords: "--vrange", "30000"
    gives vrange="30000", a lone "--silent" silent=True (the log is always kept)."""
    keywords, items = {}, [str(o) for o in options]
    for i, item in enumerate(items):
        if not item.startswith("--"):
            continue
        value = items[i + 1] if i + 1 < len(items) and not items[i + 1].startswith("--") else True
        keywords[item[2:].replace("-", "_")] = value
    return keywords


@pytest.fixture
def start_sim(monkeypatch):
    """start_sim(*options, com=1) starts k7340sim with those options, points K7340_COM<com>
    (COM port com - 1) at its pty and returns the simulator (.link, .log_path, .control(cmd));
    each is stopped at the end of the test."""
    with contextlib.ExitStack() as stack:

        def start(*options, com=1):
            sim = stack.enter_context(simulated_supply(**simulator_keywords(options)))
            monkeypatch.setenv("K7340_COM%d" % com, str(sim.link))
            return sim

        yield start
