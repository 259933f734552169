"""What the console tools share: one-line messages, progress lines, standard output that may
go away, the exit statuses and the mapping of every failure to one line."""

import os
import signal
import sys

from .._version import __version__
from ..binding import K7340ArgumentError, K7340Error, LibraryLoadError, api_version
from ..binding import ports
from ..lab.csvlog import CsvError
from . import show

# Exit statuses: 1 the supply or the library failed, 2 bad input (nothing was sent), 3 gave up
# after trips (conditioning, plans), 128 + N stopped by signal N (130: Ctrl-C).
FAILED = 1
BAD_INPUT = 2
GAVE_UP = 3
SIGNALLED = 128
INTERRUPTED = SIGNALLED + signal.SIGINT


class BadInput(Exception):
    """Refused before anything was sent: one line, exit status 2."""


class Failed(Exception):
    """Something the command needs is missing: one line, exit status 1."""


def say(text):
    """One line on standard error; a closed terminal (a hang-up) or pipe is no error."""
    try:
        print("k7340: %s" % text, file=sys.stderr, flush=True)
    except (OSError, AttributeError, ValueError):
        pass


class ProgressLine:
    """A line on standard error, rewritten in place while it is a terminal; a terminal that
    goes away (a hang-up) ends the showing, not the command."""

    def __init__(self):
        try:
            self.shown = sys.stderr.isatty()
        except (AttributeError, ValueError):
            self.shown = False

    def write(self, text):
        if not self.shown:
            return
        try:
            sys.stderr.write("\r" + text + "\x1b[K")
            sys.stderr.flush()
        except OSError:
            self.shown = False

    def end(self):
        if self.shown:
            try:
                print(file=sys.stderr, flush=True)
            except OSError:
                pass


def stdout_gone():
    """Standard output broke (a closed pipe, a closed terminal): later writes, and Python's
    own final flush, go nowhere instead of ending in a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def check_stdout(what):
    """Refuses a run whose standard output is closed (started with >&-): nothing would show
    what happens."""
    try:
        os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        raise BadInput(
            "standard output is closed: nowhere to show %s (redirect it to a file "
            "or /dev/null)" % what
        ) from None


def version_text():
    try:
        library = api_version()
    except (LibraryLoadError, OSError) as exc:
        library = "not loaded: %s" % exc
    return "k7340 %s (library %s)" % (__version__, library)


def own_process():
    """The console tools own their process: a file size limit is an error to report (not a
    signal that kills), and a missing standard stream never ends in a traceback."""
    if hasattr(signal, "SIGXFSZ"):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    if sys.stdout is None:  # started with stdout closed: Python gives None
        sys.stdout = open(os.devnull, "w")
        sys.stdout.close()


class Stopped(Exception):
    """A stop signal ended the tool before anything was sent: one line, status 128 + N."""

    def __init__(self, text, status):
        super().__init__(text)
        self.status = status


def run(command, args):
    """Runs a command; every failure is one line and an exit status."""
    port = getattr(args, "port", None)
    try:
        device = None if port is None else ports.label(port)
    except (TypeError, ValueError):
        device = port
    try:
        return command(args)
    except BrokenPipeError:  # `k7340 info | head -1`: the reader left; nothing was switched on
        stdout_gone()
        say("standard output closed")
        return FAILED
    except KeyboardInterrupt:  # before a command's own handling began: nothing switched on
        say("interrupted")
        return INTERRUPTED
    except Stopped as exc:
        say(str(exc))
        return exc.status
    except (BadInput, CsvError) as exc:
        say(str(exc))
        return BAD_INPUT
    except K7340ArgumentError as exc:
        say(str(exc))
        return BAD_INPUT
    except K7340Error as exc:
        say(show.failure(exc, device))
        return FAILED
    except (Failed, LibraryLoadError) as exc:
        say(str(exc))
        return FAILED
    except (ValueError, TypeError) as exc:  # a port name the binding refused
        say(str(exc))
        return BAD_INPUT
