"""pip install of the package into a fresh virtual environment, used from elsewhere."""

import glob
import os
import subprocess

import pytest

from binding_support import REPO, last_setpoint_shows

SESSION = """
import k7340, k7340.binding.library
with k7340.Supply(com_port=0) as psu:
    psu.set_voltage(1000)
    print(k7340.binding.library.load()._name, psu.firmware_version, tuple(psu.ranges))
"""


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh venv (Debian's python3-venv) with the package installed from python/; pip has
    no index here, so the wheel builder comes from Debian's python3-wheel-whl."""
    root = tmp_path_factory.mktemp("venv")
    wheels = glob.glob("/usr/share/python-wheels/wheel-*.whl")
    assert wheels, "python3-wheel-whl is missing (scripts/setup installs it)"
    subprocess.run(["/usr/bin/python3", "-m", "venv", str(root)], check=True)
    pip = [str(root / "bin" / "python"), "-m", "pip", "-q", "--disable-pip-version-check"]
    subprocess.run(pip + ["install", "--no-index", wheels[0]], check=True)
    subprocess.run(
        pip + ["install", "--no-build-isolation", str(REPO / "python")],
        check=True,
        cwd=str(root),
        timeout=600,
    )
    return root


def clean_env(**extra):
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith("K7340_") and k not in ("PYTHONPATH", "LD_LIBRARY_PATH")
    }
    env.update(extra)
    return env


def test_installed_package_runs_a_session_from_anywhere(venv, start_sim, tmp_path):
    sim = start_sim("--log", "--fw", "0x0321")
    proc = subprocess.run(
        [str(venv / "bin" / "python"), "-c", SESSION],
        cwd=str(tmp_path),
        capture_output=True,
        text=True,
        timeout=60,
        env=clean_env(K7340_COM1=str(sim.link)),
    )
    assert proc.returncode == 0, proc.stderr
    library, firmware, ranges = proc.stdout.split(" ", 2)
    assert library.startswith(str(venv)) and library.endswith("/k7340/libk7340.so")
    assert (firmware, ranges.strip()) == (str(0x321), "(50000, 200)")
    assert last_setpoint_shows(sim, "output off")


def test_console_script_and_carried_simulator(venv, tmp_path):
    site = subprocess.run(
        [
            str(venv / "bin" / "python"),
            "-c",
            "import k7340, os; print(os.path.dirname(k7340.__file__))",
        ],
        capture_output=True,
        text=True,
        check=True,
        env=clean_env(),
    )
    assert os.access(os.path.join(site.stdout.strip(), "k7340sim"), os.X_OK)
    found = subprocess.run(
        [
            str(venv / "bin" / "python"),
            "-c",
            "import k7340.testing as t; " "print(t.simulator_path())",
        ],
        capture_output=True,
        text=True,
        check=True,
        env=clean_env(),
        cwd=str(tmp_path),
    )
    assert found.stdout.strip() == os.path.join(site.stdout.strip(), "k7340sim")
    proc = subprocess.run(
        [str(venv / "bin" / "k7340"), "info", "--port", str(tmp_path / "none")],
        capture_output=True,
        text=True,
        timeout=60,
        env=clean_env(),
    )
    assert proc.returncode == 1
    assert "%s: COM port busy or not found" % (tmp_path / "none") in proc.stderr


def test_pip_show_names_the_licence(venv):
    shown = subprocess.run(
        [str(venv / "bin" / "python"), "-m", "pip", "show", "k7340"],
        capture_output=True,
        text=True,
        check=True,
        env=clean_env(),
    )
    assert "License: MIT" in shown.stdout.splitlines()
