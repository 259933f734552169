"""k7340 info: what the library and the supply say, reading only.

The open reads the EEPROM; then the firmware revision, the output voltage and current are
read. Nothing is set, so closing sends nothing and the output stays as found; an output on that
no program holds is said, with how to switch it off. --faults acknowledges the faults: it reads
the fault byte, after which the supply clears its latched faults (as `k7340 clear-faults`).
"""

from ..binding import StatusFlags, api_version
from ..session import orphan_text
from . import common, connect, show


def info(args):
    common.check_stdout("the information")
    print("library %s" % api_version())
    with connect.reader(args) as psu:
        print("device %s" % psu.port)
        print("firmware %04X" % psu.firmware_version)
        vrange, irange = psu.ranges
        print("ranges %d V, %d uA" % (vrange, irange))
        volts = psu.read_voltage()
        microamps = psu.read_current()
        status = psu.status
        print("output %.1f V, %.3f uA" % (volts, microamps))
        print("status %s" % show.status_text(status))
        if StatusFlags.ENABLE in status:
            print(orphan_text(volts, psu.port))
        if args.faults:
            print(
                "faults %s (read now: the supply cleared its latched faults)"
                % show.fault_text(psu.clear_faults())
            )
        elif StatusFlags.FAULT in status:
            print(
                "faults not read: the Fault bit is set; --faults (or k7340 clear-faults) "
                "reads them, and so clears them"
            )
    return 0
