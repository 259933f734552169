"""k7340 ramp --to V --rate VPS: move the output there at that rate and hold it, guarded.

Before anything is sent the ramp refuses a target above the supply's range or --max-volts, a
ramp longer than 24 hours, and a supply that reports over-voltage, over-current,
over-temperature or the Fault bit (naming the bits; latched faults are cleared only by
`k7340 clear-faults`). It starts from 0, or from the measured voltage of an output found on
that no program holds (which it adopts, and says so), arms the supply's watchdog (--watchdog)
before the output goes on, ramps, then holds the target with the watchdog fed until Ctrl-C or
a signal, which switch the output off. A trip is the trip action (--on-trip), an outage (a lost
port, a watchdog gone a period unfed) ends the run with the output presumed off: both exit 1.

--to 0 ramps down, sends the zero setpoint, disarms the watchdog and exits 0.
--leave-on: exit at the target, the output left on and the watchdog off (unguarded).
"""

from ..binding import OUTPUT_ON_VOLTS, K7340ArgumentError, K7340Error
from ..lab import ramp as lab_ramp
from ..lab.csvlog import CsvError
from . import arguments, common, connect, samples, show

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


def ramp_command(args):
    arguments.check_owner(args, "to")
    # From zero: a longer ramp is refused before the port opens (from an output found on, the
    # session checks again).
    lab_ramp.checked(0.0, args.to, args.rate, args.step, "k7340 ramp", "--rate")
    out = samples.sample_log(args)
    with connect.StopSignals() as stop:
        session = connect.open_session(args, stop, owner=True)
        status, leave_on = 0, False
        try:
            status, leave_on = _ramp(args, session, samples.opened(out, session))
        except CsvError as exc:
            common.say(str(exc))
            status = common.FAILED
        finally:
            samples.close(out)
            status = connect.finish(session, status, leave_on=leave_on)
    return stop.status(status)


def _ramp(args, session, feed):
    """(exit status, whether the output is to be left on). feed(reading): the sample log's."""
    psu = session.supply
    target = psu.checked_volts(args.to, "--to")  # above the range or --max-volts: exit 2
    bar = Bar(session.found_on or psu.setpoint, target)
    try:
        reached = session.ramp_to(target, args.rate, args.step, bar, on_reading=feed)
    except K7340ArgumentError:
        raise  # refused before anything was sent: exit 2
    except K7340Error as exc:
        bar.end()
        where = "ramp stopped at %.1f V: " % bar.last if psu.ownership.ever_owned else ""
        common.say(where + show.failure(exc, psu.port))
        return common.FAILED, False
    bar.end()
    if not reached:
        common.say("ramp interrupted at %.1f V" % bar.last)
        return 0, False
    if target < OUTPUT_ON_VOLTS:
        return 0, False  # ramped down: the way out zeroes and disarms
    if args.leave_on:
        return 0, True
    return hold(session, target, feed), False


def hold(session, target, feed):
    """Holds the target, the watchdog fed, until a stop; a trip or an outage ends it (exit
    status 1). feed(reading): the sample log's."""
    common.say("holding %.1f V on %s; Ctrl-C switches the output off" % (target, session.port))
    line = common.ProgressLine()

    def show_reading(reading):
        feed(reading)
        if reading is not None:
            line.write(
                "%9.1f V %9.3f uA  status %s"
                % (reading.volts, reading.microamps, show.status_text(reading.status))
            )

    try:
        session.hold(HOLD_POLL_S, show_reading)
    except K7340Error as exc:
        line.end()
        common.say("holding %.1f V ended: %s" % (target, show.failure(exc, session.port)))
        return common.FAILED
    finally:
        line.end()
    return 0
