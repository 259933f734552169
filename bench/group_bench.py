#!/usr/bin/python3
"""Benchmarks of a group of supplies in one interpreter (k7340.session.Group), against eight
simulated supplies on their own pseudo-terminals with wire-time emulation (57600 baud).

    group_bench.py sample [ROUNDS]     one sample of all eight (V, uA, status, taken at once)
                                       against one sample of one, as a ratio
    group_bench.py outage [SECONDS]    eight outputs held on, one core kept busy by another
                                       process: how often the outage rule misfires (the
                                       watchdog presumed unfed) for each watchdog period

Timings are noisy: the figures are ratios and counts from one run, not pass or fail.
"""

import contextlib
import multiprocessing
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from k7340.binding.errors import K7340Error  # noqa: E402
from k7340.session import Group  # noqa: E402
from k7340.testing import simulated_supply  # noqa: E402

MEMBERS = 8
PERIODS_MS = (300, 500, 1000, 1500)


@contextlib.contextmanager
def eight_supplies():
    with contextlib.ExitStack() as stack:
        ports = [stack.enter_context(simulated_supply(wire=True, slew=0)) for _ in range(MEMBERS)]
        yield {"m%d" % i: port for i, port in enumerate(ports)}


def largest_gap(port):
    """The longest time between two watchdog commands (feeds) in a simulator's log, while the
    dead-man was armed (from the first feed to the disarm)."""
    feeds = []
    for line in port.log().splitlines():
        if " > 04 F0 " in line:
            if " > 04 F0 00 " in line:  # the disarm
                break
            feeds.append(float(line.split()[0]))
    return max((b - a for a, b in zip(feeds, feeds[1:])), default=0.0)


def median_ms(call, rounds):
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        call()
        times.append((time.perf_counter() - began) * 1000.0)
    return statistics.median(times)


def sample(rounds=200):
    with eight_supplies() as ports, Group(
        {n: str(p) for n, p in ports.items()}, rate=1000
    ) as group:
        one = group.sessions["m0"]
        alone = median_ms(one.sample, rounds)
        together = median_ms(group.sample, rounds)
    print("one sample of one supply: %.2f ms (median of %d)" % (alone, rounds))
    print("one sample of all %d:     %.2f ms (median of %d)" % (MEMBERS, together, rounds))
    print("ratio: %.2f (goal: at most 1.5)" % (together / alone))


def _busy(stop):
    while not stop.is_set():
        pass


def outage(seconds=20.0):
    stop = multiprocessing.Event()
    hog = multiprocessing.Process(target=_busy, args=(stop,), daemon=True)
    hog.start()  # one core kept busy
    try:
        for period in PERIODS_MS:
            misfires, held = 0, 0.0
            with eight_supplies() as ports:
                group = Group(
                    {n: str(p) for n, p in ports.items()}, rate=20000, watchdog_ms=period
                ).open()
                try:
                    group.ramp_to({name: 1000.0 for name in ports})
                    began = time.monotonic()
                    group.hold(seconds)
                except K7340Error as exc:
                    misfires += 1
                    print("  %d ms: %s" % (period, exc))
                held = time.monotonic() - began
                with contextlib.suppress(K7340Error):
                    group.close()
                gap = max(largest_gap(port) for port in ports.values())
            print(
                "watchdog %4d ms: %d misfire(s) in %.1f s of %d outputs held; largest gap "
                "between two feeds %.0f ms (%.0f %% of the period)"
                % (period, misfires, held, MEMBERS, gap * 1000, gap * 100000 / period)
            )
    finally:
        stop.set()
        hog.join()


def main(argv):
    if not argv or argv[0] not in ("sample", "outage"):
        sys.stderr.write(__doc__)
        return 2
    amount = [float(a) for a in argv[1:2]]
    if argv[0] == "sample":
        sample(*(int(a) for a in amount))
    else:
        outage(*amount)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
