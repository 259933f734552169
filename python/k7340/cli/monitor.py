"""k7340 monitor: poll every 50 ms and print the readings.

Without --voltage it only reads: the output stays as found, whatever way the monitor ends. An
output found on that no program holds is said first, and then polled no faster than every 2.6 s
(longer than the longest watchdog period), so that the monitor's reads keep no orphaned output
alive; --keep-alive polls at the usual pace. With --voltage it owns the output: it arms the
supply's watchdog, switches the output on (adopting an output no program holds), acts on a trip
(--on-trip) and every way out (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT, a closed pipe) sends the zero
setpoint. A lost port is reopened by the session; nothing is re-applied then.
"""

import sys

from ..binding import K7340ArgumentError, K7340Error
from ..session import UP
from ..lab.csvlog import CsvError
from . import arguments, common, connect, record, samples, show

POLL_SECONDS = 0.05


def reading_line(reading):
    """One monitor line: the flags are this poll's."""
    return "%9.0f V %9.3f uA  T %6.2f  status %s" % (
        reading.volts,
        reading.microamps,
        reading.temperature,
        show.status_text(reading.status),
    )


class StdoutGone(Exception):
    """Standard output went away (a closed pipe or terminal)."""


class Screen:
    """Monitor lines on standard output: rewritten in place on a terminal. False from show()
    once the output is gone (a closed pipe or terminal)."""

    def __init__(self, lines):
        self.in_place = sys.stdout.isatty() and not lines
        self.width = 0

    def show(self, line):
        if self.in_place:
            line = line.ljust(self.width)  # wipe what a longer line left behind
            self.width = len(line)
        try:
            print(line, end="\r" if self.in_place else "\n", flush=True)
        except OSError:
            common.stdout_gone()
            return False
        return True

    def end(self):
        if self.in_place and self.width:
            try:
                print(flush=True)
            except OSError:
                common.stdout_gone()


def monitor(args):
    arguments.check_owner(args, "voltage")
    if args.voltage is None and args.limits is not None:
        raise common.BadInput("--limits goes with --voltage: a monitor without it only reads")
    common.check_stdout("the readings")
    owner = args.voltage is not None
    out = samples.sample_log(args)
    with connect.StopSignals() as stop:
        session = connect.open_session(args, stop, owner, record.recorder())
        screen = Screen(args.lines)
        status = 0
        try:
            feed = samples.opened(out, session)
        except CsvError as exc:
            common.say(str(exc))
            feed, status = None, common.FAILED

        def show_reading(reading):
            feed(reading)
            # A failed exchange is a line; a lost port is said once (on standard error).
            if reading is not None:
                line = reading_line(reading)
            elif session.link == UP:
                line = "error: %s" % session.last_error.text
            else:
                return
            if not screen.show(line):
                raise StdoutGone()

        try:
            # A stop that came during the open wins: the output is never switched on then.
            if owner and not stop and feed is not None:
                session.set_voltage(session.supply.checked_volts(args.voltage, "--voltage"))
            if feed is not None:
                session.hold(POLL_SECONDS, show_reading)
        except K7340ArgumentError:
            raise  # refused before anything was sent: exit 2
        except StdoutGone:
            common.say("standard output closed; stopping")  # nobody reads: stop as on Ctrl-C
        except CsvError as exc:
            common.say(str(exc))
            status = common.FAILED
        except K7340Error as exc:
            screen.end()
            common.say(show.failure(exc, session.port))
            status = common.FAILED
        finally:
            screen.end()
            samples.close(out)
            status = connect.finish(session, status)
    return stop.status(status)
