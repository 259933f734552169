"""k7340 off and k7340 clear-faults: the two commands a user runs on a supply that no program
holds.

off: the zero setpoint, then the watchdog disarmed: what ends an output left on by a program
that was killed, or by `ramp --leave-on`. A port another program holds is refused (the port is
exclusive): that program's own way out switches it off.

clear-faults: the user's acknowledgement. It reads the fault byte, which makes the supply clear
its latched faults, prints the bits it read, and exits 0 when the Fault bit is then clear, 1
when it stays set (a fault the supply still sees).
"""

from ..binding import StatusFlags
from . import common, connect, show


def off(args):
    with connect.reader(args) as psu:
        volts = psu.read_voltage()
        was = " (it was on at %.0f V)" % volts if StatusFlags.ENABLE in psu.status else ""
        psu.send_setpoint(0.0)
        psu.send_watchdog_ms(0)
        common.say("output set to zero on %s%s; its watchdog disarmed" % (psu.port, was))
    return 0


def clear_faults(args):
    with connect.reader(args) as psu:
        faults = psu.clear_faults()
        psu.read_voltage()  # a fresh status byte after the acknowledgement
        status = psu.status
        print("faults read on %s: %s" % (psu.port, show.fault_text(faults)))
        print("status now %s" % show.status_text(status))
        if StatusFlags.FAULT in status:
            common.say("the Fault bit stays set: the supply still reports a fault")
            return common.FAILED
    return 0
