"""k7340 ramp --to V --rate VPS: move the output there at that rate and hold it, guarded.

Before anything is sent the ramp refuses a target above the supply's range or --max-volts, a
ramp longer than 24 hours, and a supply that reports over-voltage, over-current,
over-temperature or a fault. It starts from the output voltage the supply reports when its
output is on (else from 0), arms the supply's watchdog (--watchdog) before the output goes on,
ramps, then holds the target with the watchdog fed until Ctrl-C or a signal, which switch the
output off. A trip switches it off too. A port lost on the way is reopened by the safety core
and the way out ends at zero, or says plainly that it could not.

--leave-on: exit at the target, the output left on and the watchdog off (unguarded).
"""

from ..binding import OUTPUT_ON_VOLTS, K7340Error, K7340TripError, StatusFlags
from ..lab import ramp as lab_ramp
from . import arguments, common, record, session, show

BAR = 30
HOLD_POLL_S = 0.25


class Bar(common.ProgressLine):
    def __init__(self, start, target):
        super().__init__()
        self.start, self.target, self.last = start, target, start

    def __call__(self, volts):
        self.last = volts
        span = self.target - self.start
        done = 1.0 if span == 0 else (volts - self.start) / span
        filled = int(round(BAR * min(max(done, 0.0), 1.0)))
        self.write(
            "[%s%s] %8.1f V -> %.1f V" % ("#" * filled, "." * (BAR - filled), volts, self.target)
        )


def starting_point(volts, status, limit):
    """The reported output voltage when the output is on, else 0."""
    if StatusFlags.ENABLE in status and volts >= OUTPUT_ON_VOLTS:
        return min(volts, limit)
    return 0.0


def refuse_tripped(port, reading):
    """A supply that reports a trip or a fault gets no ramp: nothing is sent. The faults are
    the ones the poll read (and so acknowledged) when the Fault bit appeared."""
    tripped = StatusFlags(int(reading.status) & int(K7340TripError.TRIP_BITS))
    if tripped:
        faults = show.fault_text(reading.status, reading.faults)
        raise common.Failed(
            "%s reports %s%s: no ramp started, nothing sent"
            % (port, show.status_text(tripped), "" if faults == "none" else " (%s)" % faults)
        )


def ramp_command(args):
    refused = arguments.check_ceiling(args, "to")
    if refused:
        raise common.BadInput(refused)
    with session.StopSignals() as stop:
        link = session.Link(args, owner=True)
        status, leave_on = 0, False
        try:
            status, leave_on = _ramp(args, link, stop)
        finally:
            status = link.close(leave_on=leave_on) or status
    return stop.status(status)


def _ramp(args, link, stop):
    """(exit status, whether the output is to be left on)."""
    psu = link.supply
    target = psu.checked_volts(args.to, "--to")  # above the range or --max-volts: exit 2
    reading = link.poll()
    if reading is None:
        raise common.Failed("%s: the supply did not answer; no ramp started" % link.port)
    refuse_tripped(link.port, reading)
    start = starting_point(reading.volts, reading.status, psu.volts_limit)
    lab_ramp.checked(start, target, args.rate, args.step, "k7340 ramp")
    bar = Bar(start, target)
    try:
        reached = link.ramp(target, args.rate, args.step, bar, start, stop)
    except K7340TripError as exc:
        bar.end()
        common.say("%s: %s" % (psu.port, exc))
        return common.FAILED, False
    except K7340Error as exc:
        bar.end()
        common.say("ramp stopped at %.1f V: %s" % (bar.last, show.failure(exc, psu.port)))
        return common.FAILED, False
    bar.end()
    if not reached:
        common.say("ramp interrupted at %.1f V" % bar.last)
        return 0, False
    if args.leave_on:
        return 0, True
    return hold(link, target, stop), False


def hold(link, target, stop, flight=None):
    """Holds the target, the watchdog fed, until a stop; a trip ends it (exit status 1).
    flight: a flight recorder fed with every reading (k7340 condition's)."""
    common.say("holding %.1f V on %s; Ctrl-C switches the output off" % (target, link.port))
    line = common.ProgressLine()
    try:
        while not stop:
            reading = link.poll()
            if flight is not None:
                record.note(flight, link, reading)
            if link.taken:
                line.end()
                common.say(
                    "%s: another supply answers now; holding ends, it is left untouched" % link.port
                )
                return common.FAILED
            if reading is not None:
                line.write(
                    "%9.1f V %9.3f uA  status %s"
                    % (reading.volts, reading.microamps, show.status_text(reading.status))
                )
                tripped = int(reading.status) & int(K7340TripError.TRIP_BITS)
                if tripped:
                    line.end()
                    common.say(
                        "%s tripped (%s) while holding %.1f V; faults %s"
                        % (
                            link.port,
                            show.status_text(tripped),
                            target,
                            show.fault_text(reading.status, reading.faults),
                        )
                    )
                    return common.FAILED
            stop.sleep(HOLD_POLL_S)
    finally:
        line.end()
    return 0
