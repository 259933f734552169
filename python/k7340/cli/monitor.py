"""k7340 monitor: poll every 50 ms and print the readings.

Without --voltage it only reads: the output stays as found, whatever way the monitor ends.
With --voltage it owns the output: it arms the supply's watchdog, switches the output on,
and every way out (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT, a closed pipe) sends the zero setpoint.
A lost port is reopened by the safety core; nothing is re-applied then.
"""

import sys
import time

from . import arguments, common, record, session, show

POLL_SECONDS = 0.05


def reading_line(reading):
    """One monitor line; the flags are this poll's, the faults the ones held since the Fault
    bit appeared."""
    return "%9.0f V %9.3f uA  T %6.2f  status %-24s faults %s" % (
        reading.volts,
        reading.microamps,
        reading.temperature,
        show.status_text(reading.status),
        show.fault_text(reading.status, reading.faults),
    )


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
    refused = arguments.check_ceiling(args, "voltage")
    if refused:
        raise common.BadInput(refused)
    common.check_stdout("the readings")
    owner = args.voltage is not None
    with session.StopSignals() as stop:
        link = session.Link(args, owner=owner)
        screen = Screen(args.lines)
        try:
            # A stop that came during the open wins: the output is never switched on then.
            if owner and not stop:
                link.set_voltage(link.supply.checked_volts(args.voltage, "--voltage"))
            due = time.monotonic()
            flight = record.recorder()  # the flight recorder writes in the current folder
            while not stop:
                reading = link.poll()
                record.note(flight, link, reading)
                # A failed exchange is a line; a lost port is said once (on standard error).
                line = (
                    reading_line(reading)
                    if reading is not None
                    else "error: %s" % link.error()
                    if link.up
                    else None
                )
                if line is not None and not screen.show(line):
                    common.say("standard output closed; stopping")
                    break  # nobody reads: stop as on Ctrl-C
                due += POLL_SECONDS
                delay = due - time.monotonic()
                if delay > 0:
                    stop.sleep(delay)
                else:
                    due = time.monotonic()  # a slow supply: do not try to catch up
        finally:
            screen.end()
            status = link.close()
    return stop.status(status)
