"""k7340 monitor: poll every 50 ms and print the readings; every way out zeroes the output."""

import sys
import time

from .. import K7340Error
from . import common

POLL_SECONDS = 0.05
FINAL_TRIES = 4
WATCHDOG_MS = (100, 2550)  # below 100 ms a slow poll could let it expire under a live monitor


def poll_line(psu):
    """One monitor line. The status shown is from this poll's replies; a poll that fails
    shows the error text instead, never flags left over from an older reply."""
    volts = psu.read_voltage()
    microamps = psu.read_current()
    temperature = psu.read_temperature()
    faults = psu.faults
    return "%9.0f V %9.3f uA  T %6.2f  status %-24s faults %s" % (
        volts, microamps, temperature, common.flag_text(psu.status), common.flag_text(faults))


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


def check(args):
    if args.watchdog is not None and not WATCHDOG_MS[0] <= args.watchdog <= WATCHDOG_MS[1]:
        raise common.BadInput("--watchdog %d is outside %d..%d ms (the monitor polls every "
                              "%d ms)" % ((args.watchdog,) + WATCHDOG_MS
                                          + (POLL_SECONDS * 1000,)))


def monitor(args):
    check(args)

    def arm(psu):
        if args.watchdog is not None:
            psu.set_watchdog_ms(args.watchdog)

    with common.StopSignals() as stop:
        connection = common.Connection(args, on_open=arm)
        try:
            connection.open()
        except K7340Error:
            if connection.psu is not None:
                connection.drop()
            raise
        screen = Screen(args.lines)
        try:
            # A stop that came during the open (a C call: the handler ran after it) wins.
            if args.voltage is not None and not stop:
                connection.psu.set_voltage(args.voltage)
            due = time.monotonic()
            while not stop:
                if connection.reopen():
                    try:
                        line = poll_line(connection.psu)
                        connection.succeeded()
                    except K7340Error as exc:
                        line = "error: %s" % exc.text
                        connection.failed(exc)
                    if not screen.show(line):
                        break  # nobody reads: stop as on Ctrl-C
                due += POLL_SECONDS
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                else:
                    due = time.monotonic()  # a slow supply: do not try to catch up
        finally:
            screen.end()
            status = finish(connection, args.watchdog is not None)
    return status


def finish(connection, disarm):
    """The way out: a zero setpoint, whatever happened. A lost port gets a few more tries
    (a hang-up's port is back within about 200 ms). Returns the exit status: 1 when the
    output may still be on."""
    why = None
    for attempt in range(FINAL_TRIES):
        if attempt:
            time.sleep(connection.REOPEN_S / 2)
        if not connection.reopen(now=True):
            why = "no supply answers on %s" % connection.port
            continue
        psu = connection.psu
        try:
            psu.set_voltage(0.0)
        except K7340Error as exc:
            why = "%s: %s" % (psu.port, exc.text)
            connection.drop()
            continue
        common.say("output set to zero")
        psu.keep_output = True  # it is off: closing need not send a second zero
        try:
            if disarm:
                psu.set_watchdog_ms(0)  # the next session need not feed it
            psu.close()
        except K7340Error as exc:
            common.say("closing %s: %s" % (psu.port, exc.text))
        return 0
    common.say("output may still be on: the zero setpoint could not be sent (%s)" % why)
    return common.FAILED
