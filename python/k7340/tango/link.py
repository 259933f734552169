"""The device's supply, opened, read and closed through the binding (no Tango here)."""

from .. import K7340Error, StatusFlags, Supply
from . import model


def open_link(config, applied):
    """Opens the supply that the checked properties name. applied is the last setpoint the
    device sent; returns (supply, applied, (vrange, irange, firmware text))."""
    port = {"port": config["PortPath"]} if config["PortPath"] else {"com_port": config["ComPort"]}
    # The device switches the output off itself when it stops; a lost port is closed quietly.
    psu = Supply(max_volts=config["MaxVolts"] or None, keep_output=True, **port)
    try:
        if config["WatchdogMs"]:
            psu.set_watchdog_ms(config["WatchdogMs"])
        # After a reconnect the supply may still be on: take up its setpoint again, so that a
        # ramp starts from there and not from zero.
        if StatusFlags.ENABLE in psu.status and applied >= 20.0:
            psu.set_voltage(min(applied, psu.volts_limit))
        else:
            applied = 0.0
        vrange, irange = psu.ranges
        identity = (vrange, irange, "%04X" % psu.firmware_version)
    except BaseException:
        psu.close()
        raise
    return psu, applied, identity


def read_supply(psu):
    """One poll: the meters, then the status of their replies and the fault byte."""
    volts, microamps, temperature = psu.read_voltage(), psu.read_current(), psu.read_temperature()
    return model.Reading(volts, microamps, temperature, int(psu.status), int(psu.faults))


def close_quietly(psu):
    try:
        psu.close()
    except K7340Error:
        pass


def switch_off_and_close(psu):
    try:
        psu.output_off()
    except K7340Error as exc:
        print("k7340.tango: %s: the zero setpoint failed, the output may still be on: %s"
              % (psu.port, exc), flush=True)
    close_quietly(psu)
