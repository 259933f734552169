"""k7340sim for Python tests: start one in a fresh directory, wait for its pty, stop it.

    sim = start_sim(tmp_path, "--eeprom", "blank")   # or: with running_sim(tmp_path) as sim:
    os.environ["K7340_COM1"] = str(sim.link)         # COM port 0 of the Linux library
    ...
    sim.control("silent on")                         # run-time command, applied when it returns
    assert "read EEPROM 64" in sim.log()
    sim.stop()

Each simulator runs in its own new directory under the one given, with --link <dir>/com1,
--log (stdout to <dir>/sim.log), --control <dir>/control and --eeprom-file <dir>/eeprom.bin;
options given by the caller come after these and so override them. The program is
$K7340_BUILD_DIR/bin/k7340sim, the build directory defaulting to build/linux in the repository.

The module has no pytest dependency. Other test folders load it by path under one module name,
so that every folder shares one copy in a pytest session:

    importlib.util.spec_from_file_location("k7340_shared_simulator", PATH)
"""

import contextlib
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
if str(REPO / "python") not in sys.path:
    sys.path.insert(0, str(REPO / "python"))

from k7340.testing import SimulatorControls  # noqa: E402

STOP_TIMEOUT_S = 10.0


def build_dir():
    path = Path(os.environ.get("K7340_BUILD_DIR", "build/linux"))
    return path if path.is_absolute() else REPO / path


def simulator_path():
    return build_dir() / "bin" / "k7340sim"


def is_built():
    return os.access(simulator_path(), os.X_OK)


class Simulator(SimulatorControls):
    """One running k7340sim. Attributes: link, log_path, eeprom_file, control_path, directory."""

    def __init__(self, directory, options):
        self.directory = Path(tempfile.mkdtemp(prefix="k7340sim-", dir=str(directory)))
        self.link = self.directory / "com1"
        self.log_path = self.directory / "sim.log"
        self.eeprom_file = self.directory / "eeprom.bin"
        self.control_path = self.directory / "control"
        self.stderr_path = self.directory / "sim.stderr"
        self.options = [str(o) for o in options]
        command = [
            str(simulator_path()),
            "--link",
            str(self.link),
            "--log",
            "--control",
            str(self.control_path),
            "--eeprom-file",
            str(self.eeprom_file),
            *self.options,
        ]
        self._stdout = open(self.log_path, "wb")
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=self._stdout, stderr=self._stderr
        )
        try:
            self.wait_for_link()
        except Exception:
            self.stop()
            raise

    def eeprom(self):
        """The 128 EEPROM bytes as the simulator last saved them."""
        return self.eeprom_file.read_bytes()

    def env(self, base=None):
        """An environment for a child process with COM port 0 (K7340_COM1) at this simulator."""
        env = dict(os.environ if base is None else base)
        env["K7340_COM1"] = str(self.link)
        return env

    def stop(self):
        """SIGTERM and wait; returns the exit status. Safe to call more than once."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for f in (self._stdout, self._stderr):
            if not f.closed:
                f.close()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def start_sim(directory, *options):
    """Starts k7340sim with the given options in a new directory under `directory`."""
    return Simulator(directory, options)


@contextlib.contextmanager
def running_sim(directory=None, *options):
    """Context manager: a simulator (in a temporary directory if none is given), stopped at
    the end; the temporary directory is removed too."""
    with contextlib.ExitStack() as stack:
        if directory is None:
            directory = stack.enter_context(tempfile.TemporaryDirectory(prefix="k7340sim-"))
        sim = stack.enter_context(Simulator(directory, options))
        yield sim


class SimFactory:
    """Starts any number of simulators for one test and stops them all at the end."""

    def __init__(self, directory):
        self.directory = directory
        self.started = []

    def __call__(self, *options):
        sim = start_sim(self.directory, *options)
        self.started.append(sim)
        return sim

    def stop_all(self):
        for sim in reversed(self.started):
            sim.stop()
        self.started = []
