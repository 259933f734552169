"""Test set-up for the binding: the package from this tree, and k7340sim on a pty.

The simulator helper is shared with the integration tests (tests/integration/simulator.py);
it is loaded by path, under the one module name every test folder uses, so that both folders
can run in one pytest session.
"""

import importlib.util
import sys

import pytest

from binding_support import REPO

_HELPER_PATH = REPO / "tests" / "integration" / "simulator.py"
_HELPER_NAME = "k7340_shared_simulator"


def simulator_helper():
    module = sys.modules.get(_HELPER_NAME)
    if module is None:
        module_spec = importlib.util.spec_from_file_location(_HELPER_NAME, _HELPER_PATH)
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[_HELPER_NAME] = module
        module_spec.loader.exec_module(module)
    return module


@pytest.fixture
def start_sim(tmp_path, monkeypatch):
    """start_sim(*options, com=1) starts k7340sim with those options, points K7340_COM<com>
    (COM port com - 1) at its pty and returns the simulator (.link, .log_path, .control(cmd),
    .stop())."""
    started = []

    def start(*options, com=1):
        sim = simulator_helper().start_sim(tmp_path, *options)
        started.append(sim)
        monkeypatch.setenv("K7340_COM%d" % com, str(sim.link))
        return sim

    yield start
    for sim in reversed(started):
        sim.stop()
