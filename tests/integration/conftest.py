"""Fixtures for the Python integration tests: `sim`, a factory of running k7340sim processes.

    def test_something(sim):
        supply = sim("--eeprom", "blank")   # started, K7340_COM1 points at it
        ...                                 # every simulator is stopped after the test

The helper module is loaded by path under the name the other test folders use, so one pytest
session shares a single copy of it.
"""

import importlib.util
import sys
from pathlib import Path

import pytest

_MODULE_NAME = "k7340_shared_simulator"
# The tests here import this tree's k7340 package (k7340.testing) as the ones in python/tests do.
_PACKAGE_ROOT = str(Path(__file__).resolve().parents[2] / "python")
if _PACKAGE_ROOT not in sys.path:
    sys.path.insert(0, _PACKAGE_ROOT)


def simulator_helper():
    module = sys.modules.get(_MODULE_NAME)
    if module is None:
        path = Path(__file__).resolve().parent / "simulator.py"
        module_spec = importlib.util.spec_from_file_location(_MODULE_NAME, path)
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[_MODULE_NAME] = module
        module_spec.loader.exec_module(module)
    return module


@pytest.fixture
def sim(tmp_path, monkeypatch):
    """sim(*options) starts k7340sim, points K7340_COM1 (COM port 0) at the newest one and
    returns it (.link, .log_path, .eeprom_file, .control(cmd), .log(), .env(), .stop())."""
    helper = simulator_helper()
    if not helper.is_built():
        pytest.skip("k7340sim is not built at %s" % helper.simulator_path())
    factory = helper.SimFactory(tmp_path)

    def start(*options):
        started = factory(*options)
        monkeypatch.setenv("K7340_COM1", str(started.link))
        return started

    yield start
    factory.stop_all()
