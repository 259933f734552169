"""A lab script: ramp the supply up, hold, ramp it down, one CSV row per step; then plot it.

    python3 docs/examples/ramp_and_log.py run.csv [PORT]     # PORT as k7340's --port, default 0
    k7340 plot run.csv run.png

A trip (over-voltage, over-current, over-temperature, a fault) ends the ramp with the output
off. Ctrl-C, SIGTERM, SIGHUP (a closed ssh session) and SIGQUIT switch the output off at once
through the package's safety core, then end the script with status 130; a second signal during
that waits until the zero is sent. SIGKILL, a crash or a pulled cable are caught by the
supply's watchdog, which the package arms before the output goes on (1000 ms): the output is
off within a second. A script that hangs but lives keeps the watchdog fed.
"""

import csv
import datetime
import sys
import time

import k7340
from k7340.safety import handle_signals


def main(path, port="0"):
    where = {"com_port": int(port)} if port.isdigit() else {"port": port}
    # This script owns its process: the stop signals zero the output whatever handlers it
    # inherited, then raise KeyboardInterrupt, which leaves the with blocks below.
    with handle_signals() as stop:
        try:
            return run(path, where)
        except KeyboardInterrupt:
            print("stopped: %s" % ("; ".join(stop.notes) or "output switched off"), file=sys.stderr)
            return 130


def run(path, where):
    # The supply first: the file is not touched if the supply does not open.
    with k7340.Supply(**where) as psu, open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["time", "setpoint", "volts", "microamps", "status"])

        def row(setpoint):
            now = datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")
            out.writerow(
                [
                    now,
                    setpoint,
                    psu.read_voltage(),
                    psu.read_current(),
                    " ".join(psu.status.labels()),
                ]
            )

        try:
            psu.ramp_to(3000, 500, step=0.1, progress=row)  # 6 s up
            for _ in range(30):  # 3 s at 3000 V
                time.sleep(0.1)
                row(psu.setpoint)
            psu.ramp_to(0, 1000, step=0.1, progress=row)  # 3 s down
        except k7340.K7340TripError as trip:
            print("tripped:", trip, "bits", trip.bits.labels())
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
