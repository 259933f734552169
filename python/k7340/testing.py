"""A simulated supply for your own tests: k7340sim on a pseudo-terminal.

    from k7340.testing import simulated_supply

    with simulated_supply(vrange=30000, load_ohms=100e6) as port:
        with k7340.Supply(port=port) as psu:
            psu.set_voltage(1000)
        port.control("silent on")          # a command on the simulator's control FIFO
        assert "output off" in port.log()   # its decoded traffic log

As a pytest fixture:

    @pytest.fixture
    def supply_port():
        with simulated_supply() as port:
            yield port

Each keyword is one of k7340sim's options, underscores for dashes: ``vrange=30000`` gives
``--vrange 30000``, ``eeprom="blank"`` gives ``--eeprom blank``, ``silent=True`` gives
``--silent`` (False or None leave an option out). The traffic log is always kept (``log=True``
changes nothing); ``link`` and ``control`` are chosen here. The program is the package's own
copy of k7340sim (a pip-installed package carries one), else $K7340_BUILD_DIR/bin/k7340sim, else
build/linux/bin/k7340sim in the repository that holds the package, else the k7340sim on PATH
(Debian's k7340-tools installs it in /usr/bin). Linux only.
"""

import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import time

from .binding.library import PACKAGE_DIR, REPO

SIMULATOR = "k7340sim"
# Bounds that only catch a hang: a healthy simulator is up in a few milliseconds.
START_TIMEOUT_S = 10.0
CONTROL_TIMEOUT_S = 5.0
STOP_TIMEOUT_S = 10.0
_CHOSEN_HERE = ("link", "control")


def simulator_path(environ=None):
    """The k7340sim that simulated_supply runs; FileNotFoundError names the places tried."""
    env = os.environ if environ is None else environ
    tried = [os.path.join(PACKAGE_DIR, SIMULATOR)]
    if env.get("K7340_BUILD_DIR"):
        tried.append(os.path.join(env["K7340_BUILD_DIR"], "bin", SIMULATOR))
    tried.append(os.path.join(REPO, "build", "linux", "bin", SIMULATOR))
    for path in tried:
        if os.access(path, os.X_OK):
            return path
    on_path = shutil.which(SIMULATOR, path=env.get("PATH", os.defpath))
    if on_path:
        return on_path
    tried.append("PATH")
    raise FileNotFoundError("no k7340sim found; tried: %s" % ", ".join(tried))


def option_arguments(options):
    """simulated_supply's keywords as k7340sim's command-line arguments."""
    arguments = []
    for key, value in options.items():
        if key in _CHOSEN_HERE:
            raise TypeError("simulated_supply chooses --%s itself" % key)
        if key == "log" or value is None or value is False:
            continue
        arguments.append("--" + key.replace("_", "-"))
        if value is not True:
            arguments.append(str(value))
    return arguments


class SimulatorControls:
    """What a running simulator offers a test: its traffic log, its control FIFO and its link.
    A holder sets link, directory (sim.log, sim.stderr and control live there), log_path,
    control_path and process (the k7340sim Popen)."""

    def log(self):
        """The decoded traffic log so far (see docs/simulator.md)."""
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stderr(self):
        """What the simulator wrote to its standard error so far."""
        try:
            with open(os.path.join(self.directory, "sim.stderr"), errors="replace") as f:
                return f.read().strip()
        except FileNotFoundError:
            return ""

    def control(self, command, timeout=CONTROL_TIMEOUT_S):
        """Sends one command line ("silent on", "status-bits 0x02", "hangup", ...) and waits
        until the simulator took it (it logs every control line), so that it holds for the
        next exchange."""
        before = self.log().count("# control: ")
        fd = os.open(self.control_path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, (command.strip() + "\n").encode())
        finally:
            os.close(fd)
        deadline = time.monotonic() + timeout
        while self.log().count("# control: ") <= before:
            if self.process.poll() is not None:
                return
            if time.monotonic() > deadline:
                raise RuntimeError("k7340sim did not take control command %r" % command)
            time.sleep(0.005)

    def wait_for_link(self, timeout=START_TIMEOUT_S):
        """Waits until the link exists (after the start, or after a "hangup")."""
        deadline = time.monotonic() + timeout
        while not os.path.islink(self.link):
            if self.process.poll() is not None:
                raise RuntimeError(
                    "k7340sim exited with %s: %s" % (self.process.returncode, self.stderr())
                )
            if time.monotonic() > deadline:
                raise RuntimeError("k7340sim did not create %s: %s" % (self.link, self.stderr()))
            time.sleep(0.005)


class SimulatedPort(str, SimulatorControls):
    """The device path of the simulated supply (a str: pass it as Supply(port=...) or put it
    in K7340_COM1), with the running simulator's controls."""

    def __new__(cls, link, directory, process):
        port = super().__new__(cls, link)
        port.link = link
        port.directory = directory
        port.process = process
        port.control_path = os.path.join(directory, "control")
        port.log_path = os.path.join(directory, "sim.log")
        return port


@contextlib.contextmanager
def simulated_supply(**options):
    """Starts k7340sim on a pseudo-terminal, yields its device path (a SimulatedPort) and
    stops it at the end, removing its files."""
    directory = tempfile.mkdtemp(prefix="k7340sim-")
    link = os.path.join(directory, "com1")
    command = [
        simulator_path(),
        "--link",
        link,
        "--log",
        "--control",
        os.path.join(directory, "control"),
        *option_arguments(options),
    ]
    try:
        with open(os.path.join(directory, "sim.log"), "wb") as out, open(
            os.path.join(directory, "sim.stderr"), "wb"
        ) as err:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            port = SimulatedPort(link, directory, process)
            port.wait_for_link()
            yield port
        finally:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=STOP_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
