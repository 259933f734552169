"""k7340 ramp --to V --rate VPS: move the output there at that rate, and leave it there.

The ramp starts from the output voltage the supply reports when its output is on (else from
0), turns the supply's watchdog off (it would switch the left output off), and shows a
progress bar on a terminal. A trip, Ctrl-C, SIGTERM, SIGHUP, SIGQUIT or a failed exchange
switch the output off.
"""

import signal

from .. import K7340Error, K7340TripError, OUTPUT_ON_VOLTS, StatusFlags
from . import common

BAR = 30
INTERRUPTED = 130


class Bar(common.ProgressLine):
    def __init__(self, start, target):
        super().__init__()
        self.start, self.target, self.last = start, target, start

    def __call__(self, volts):
        self.last = volts
        span = self.target - self.start
        done = 1.0 if span == 0 else (volts - self.start) / span
        filled = int(round(BAR * min(max(done, 0.0), 1.0)))
        self.write("[%s%s] %8.1f V -> %.1f V" % ("#" * filled, "." * (BAR - filled), volts,
                                                 self.target))


def _interrupt(signum, frame):
    # Raised between two steps or in a sleep, never inside a library call.
    raise KeyboardInterrupt


def starting_point(psu):
    """The reported output voltage when the output is on, else 0."""
    volts = psu.read_voltage()
    if StatusFlags.ENABLE in psu.status and volts >= OUTPUT_ON_VOLTS:
        return min(volts, psu.volts_limit)
    return 0.0


def ramp_command(args):
    previous = {}
    for name in ("SIGTERM", "SIGHUP", "SIGQUIT", "SIGBREAK"):
        number = getattr(signal, name, None)
        if number is not None:
            previous[number] = signal.signal(number, _interrupt)
    try:
        return _ramp(args)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _ramp(args):
    # keep_output: a finished ramp leaves the output where it went; every other end is off.
    psu = common.open_supply(args, keep_output=True)
    with psu:
        psu.checked_volts(args.to, "--to")  # above the supply's range: refused, nothing sent
        start = starting_point(psu)
        psu.set_watchdog_ms(0)
        bar = Bar(start, args.to)
        try:
            psu.ramp_to(args.to, args.rate, step=args.step, progress=bar, start=start)
        except K7340TripError as exc:
            bar.end()
            common.say(str(exc))
            return common.FAILED
        except KeyboardInterrupt:
            bar.end()
            common.say("ramp interrupted at %.1f V; output switched off" % bar.last)
            return INTERRUPTED
        except K7340Error as exc:
            bar.end()
            try:
                psu.output_off()
                after = "output switched off"
            except K7340Error:
                after = "the output may still be on"
            common.say("ramp stopped at %.1f V: %s; %s" % (psu.setpoint, exc, after))
            return common.FAILED
        bar.end()
    print("output at %.1f V" % psu.setpoint if psu.setpoint >= OUTPUT_ON_VOLTS else "output off")
    return 0
