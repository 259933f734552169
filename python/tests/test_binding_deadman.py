"""The dead-man's rules, as the simulated supply's log shows them: when the watchdog is armed
and disarmed, which periods are refused, what a keep_output close leaves, and the EEPROM range
writes refused while the output is on."""

import re

import pytest

from binding_support import wait_for
from k7340 import K7340ArgumentError, K7340Error, Supply
from k7340.safety import deadman
from k7340.testing import simulated_supply


def commands(log):
    """The decoded commands the supply received, oldest first."""
    return re.findall(r"^\d+\.\d+ > (?:[0-9A-F]{2} )+ (.*)$", log, re.M)


def refused(port, error, **keywords):
    with pytest.raises(error) as caught:
        with Supply(port=port, **keywords) as psu:
            psu.set_voltage(1000)
    return str(caught.value)


def slow_line(port):
    """An exchange of 150 ms at open (a slow adapter): 300 ms cannot hold three, 1000 ms can."""
    deadman.check_against_line(1000, 0.150, port)
    with pytest.raises(K7340ArgumentError) as caught:
        deadman.check_against_line(300, 0.150, port)
    return str(caught.value)


def on_then_close(port, **keywords):
    with Supply(port=port, **keywords) as psu:
        psu.set_voltage(1000)
    return ""


def ranges_while_on(port):
    with Supply(port=port) as psu:
        psu.set_voltage(1000)
        with pytest.raises(K7340Error) as caught:
            psu.set_ranges(30000, 100)
        with pytest.raises(K7340ArgumentError):
            psu.set_watchdog_ms(0)
    return str(caught.value)


def on_after_a_signal(port):
    with Supply(port=port) as psu:
        psu.set_voltage(1000)
        assert psu.switch_off_now() is None  # what a stop signal's handler does
        with pytest.raises(K7340Error) as caught:
            psu.set_voltage(1000)
    return str(caught.value)


ROWS = [
    # (what, simulator options, what the script does, what must hold of (log's commands, text))
    (
        "watchdog_ms under 300 refused before a byte",
        {},
        lambda port: refused(port, K7340ArgumentError, watchdog_ms=299),
        lambda sent, text: sent == [] and "watchdog_ms 299" in text and "300..2550" in text,
    ),
    (
        "a period under three slow exchanges refused",
        {},
        slow_line,
        lambda sent, text: "watchdog_ms 300 is too short" in text and "450..2550" in text,
    ),
    (
        "armed before the output goes on, disarmed after the zero",
        {},
        on_then_close,
        lambda sent, text: sent.index("watchdog 100 (1000 ms)")
        < sent.index("set 1000.0 V, output on")
        and sent[-2:] == ["output off", "watchdog 0 (off)"],
    ),
    (
        "keep_output: a deliberate close disarms and leaves the output on",
        {},
        lambda port: on_then_close(port, keep_output=True),
        lambda sent, text: sent[-1] == "watchdog 0 (off)" and "output off" not in sent,
    ),
    (
        "0 turns the dead-man off: no watchdog command at all",
        {},
        lambda port: on_then_close(port, watchdog_ms=0),
        lambda sent, text: not any(c.startswith("watchdog") for c in sent),
    ),
    (
        "after a signal's zero the session switches the output on no more",
        {},
        on_after_a_signal,
        lambda sent, text: "a stop signal switched the output off" in text
        and sent[-2:] == ["output off", "watchdog 0 (off)"]
        and sent.count("set 1000.0 V, output on") == 1,
    ),
    (
        "EEPROM range writes and a disarm refused while the output is on",
        {},
        ranges_while_on,
        lambda sent, text: "refused while the output is on" in text
        and not any("write EEPROM" in c for c in sent),
    ),
]


@pytest.mark.parametrize("what, options, script, holds", ROWS, ids=[r[0] for r in ROWS])
def test_the_dead_man(what, options, script, holds):
    with simulated_supply(**options) as port:
        text = script(port)

        def sent():  # the simulator logs a command just after it answered: look until it shows
            return [c for c in commands(port.log()) if not c.startswith("read ")]

        assert wait_for(lambda: holds(sent(), text), 3.0), (sent()[-8:], text)
