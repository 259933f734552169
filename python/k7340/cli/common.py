"""What the console tools share: port arguments, the open, argument types, stop signals,
one-line messages, and a connection that notices a lost port and reopens it."""

import argparse
import math
import os
import signal
import sys
import time
import warnings

from .. import K7340ArgumentError, K7340Error, K7340Warning, LibraryLoadError, Supply
from ..binding.errors import ERR_WRITE

# Exit statuses: 1 the supply or the library failed, 2 bad input (nothing was sent).
FAILED = 1
BAD_INPUT = 2
STOP_SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGBREAK")


class BadInput(Exception):
    """Refused before anything was sent: one line, exit status 2."""


class Failed(Exception):
    """Something the command needs is missing: one line, exit status 1."""


def say(text):
    """One line on standard error; a closed terminal (a hang-up) or pipe is no error."""
    try:
        print("k7340: %s" % text, file=sys.stderr, flush=True)
    except OSError:
        pass


def newline():
    """Ends a progress line on standard error."""
    try:
        print(file=sys.stderr, flush=True)
    except OSError:
        pass


class ProgressLine:
    """A line on standard error, rewritten in place while it is a terminal; a terminal that
    goes away (a hang-up) ends the showing, not the command."""

    def __init__(self):
        self.shown = sys.stderr.isatty()

    def write(self, text):
        if not self.shown:
            return
        try:
            sys.stderr.write("\r" + text)
            sys.stderr.flush()
        except OSError:
            self.shown = False

    def end(self):
        if self.shown:
            newline()


def stdout_gone():
    """Standard output broke (a closed pipe, a closed terminal): later writes, and Python's
    own final flush, go nowhere instead of ending in a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def port_arguments(port):
    """--port N (0 = COM1) or --port DEVICE (/dev/ttyUSB0, COM7) as Supply's keywords."""
    if port.isdigit():
        return {"com_port": int(port)}
    return {"port": port}


def open_supply(args, quiet=False, **keywords):
    """Supply(...) of --port and --index; an unusable EEPROM is one warning line."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", K7340Warning)
        psu = Supply(index=getattr(args, "index", None), **port_arguments(args.port), **keywords)
    for w in caught if not quiet else ():
        say("warning: %s; default ranges in force" % w.message)
    return psu


def flag_text(flags, empty="-"):
    return ",".join(flags.labels()) or empty


def positive_number(unit):
    """An argparse type: a finite number above 0."""

    def convert(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not (math.isfinite(value) and value > 0):
            raise argparse.ArgumentTypeError("must be a number of %s above 0, not %r"
                                             % (unit, text))
        return value

    return convert


def volts_number(text):
    """An argparse type: a finite number of volts, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError("must be a number of volts, 0 or more, not %r" % text)
    return value


class OneLineParser(argparse.ArgumentParser):
    """An argument error is one line and exit status 2 (argparse prints the usage too)."""

    def error(self, message):
        self.exit(BAD_INPUT, "%s: error: %s (see %s --help)\n" % (self.prog, message, self.prog))


class StopSignals:
    """Ctrl-C, SIGTERM, a hang-up (SIGHUP) and Ctrl-\\ (SIGQUIT) set a flag instead of
    raising: the signal then never lands inside a library call or between a setpoint and its
    bookkeeping. True once one arrived."""

    def __init__(self):
        self.received = []
        self._previous = {}

    def __bool__(self):
        return bool(self.received)

    def __enter__(self):
        for name in STOP_SIGNALS:
            number = getattr(signal, name, None)
            if number is not None:
                self._previous[number] = signal.signal(number, self._on_signal)
        return self

    def __exit__(self, *exc):
        for number, handler in self._previous.items():
            signal.signal(number, handler)
        return False

    def _on_signal(self, signum, frame):
        self.received.append(signum)

    def sleep(self, seconds):
        """Sleeps, but wakes within 0.1 s of a stop (a handled signal resumes a sleep)."""
        end = time.monotonic() + seconds
        while not self.received:
            left = end - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.1))


class Connection:
    """The supply of a command that runs for a while. A write failure, or LOST_AFTER failed
    polls in a row, means the port is lost (an adapter pulled, a hang-up): it is closed and
    reopened every REOPEN_S until the supply answers again. on_open(psu) runs after every
    open (the monitor arms the watchdog there)."""

    LOST_AFTER = 3
    REOPEN_S = 0.5

    def __init__(self, args, on_open=None):
        self.args = args
        self.on_open = on_open
        self.psu = None
        self.failures = 0
        self._next_try = 0.0

    def open(self):
        """The first open: a failure raises."""
        self.psu = open_supply(self.args)
        if self.on_open:
            self.on_open(self.psu)

    @property
    def port(self):
        return self.psu.port if self.psu is not None else self.args.port

    def failed(self, exc):
        self.failures += 1
        if exc.code == ERR_WRITE or self.failures >= self.LOST_AFTER:
            say("lost the supply on %s (%s); reopening it when it answers" % (self.port, exc.text))
            self.drop()

    def succeeded(self):
        self.failures = 0

    def drop(self):
        psu, self.psu = self.psu, None
        self._next_try = time.monotonic() + self.REOPEN_S
        if psu is not None:
            # No zero setpoint here: a supply that still listens (a few garbled replies) keeps
            # its output; the command's own way out sends the zero.
            psu.keep_output = True
            try:
                psu.close()
            except K7340Error:
                pass  # the port is gone; the slot is closed all the same

    def reopen(self, now=False):
        """One try to reopen a lost supply, at most every REOPEN_S unless now; True if open."""
        if self.psu is not None:
            return True
        if not now and time.monotonic() < self._next_try:
            return False
        self._next_try = time.monotonic() + self.REOPEN_S
        try:
            psu = open_supply(self.args, quiet=True)
        except (K7340Error, ValueError):
            return False
        try:
            if self.on_open:
                self.on_open(psu)
        except K7340Error:
            psu.close()
            return False
        self.psu, self.failures = psu, 0
        say("the supply on %s answers again (no setpoint re-applied)" % psu.port)
        return True


def run(command, args):
    """Runs a command; every failure is one line and an exit status."""
    try:
        return command(args)
    except (BadInput, K7340ArgumentError) as exc:
        say(str(exc))
        return BAD_INPUT
    except (Failed, K7340Error, LibraryLoadError) as exc:
        say(str(exc))
        return FAILED
    except (ValueError, TypeError) as exc:  # a port name the binding refused
        say(str(exc))
        return BAD_INPUT
