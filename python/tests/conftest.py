"""Test set-up for the binding: the package from this tree, and k7340sim on a pty.

The simulator helper is shared with the integration tests (tests/integration/simulator.py);
it is loaded by path so that both test folders can run in one pytest session.
"""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

_HELPER_PATH = REPO / "tests" / "integration" / "simulator.py"
_helper = None


def simulator_helper():
    global _helper
    if _helper is None:
        spec = importlib.util.spec_from_file_location("k7340_shared_simulator", _HELPER_PATH)
        _helper = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = _helper
        spec.loader.exec_module(_helper)
    return _helper


def build_dir():
    return Path(os.environ.get("K7340_BUILD_DIR", REPO / "build" / "linux"))


@pytest.fixture
def start_sim(tmp_path, monkeypatch):
    """start_sim(*options) starts k7340sim with those options, points K7340_COM1 (COM port 0)
    at its pty and returns the simulator (.link, .log_path, .control(cmd), .stop())."""
    started = []

    def start(*options):
        sim = simulator_helper().start_sim(tmp_path, *options)  # TODO adapt to the helper
        started.append(sim)
        monkeypatch.setenv("K7340_COM1", str(sim.link))
        return sim

    yield start
    for sim in reversed(started):
        sim.stop()


def log_text(sim):
    return Path(sim.log_path).read_text(errors="replace")
