"""k7340 ports [--probe]: the serial ports the library can name here, and which has a supply.

A probe only reads: the open reads the EEPROM (a silent port fails at its first exchange,
one time-out), then the firmware revision is asked for. Nothing else is sent, and closing a
Supply that set nothing sends nothing.
"""

import collections
import errno
import glob
import os
import re
import sys
import warnings

from ..binding import Device, K7340Error, K7340Warning
from ..binding.errors import ERR_CHECKSUM, ERR_NO_PORT, ERR_READ
from . import common, show

Port = collections.namedtuple("Port", "name argument device aliases")
Port.__doc__ = """name: COM<n> or "-" when no COM number reaches it; argument: what --port
takes for it; aliases: K7340_COM<n> and /dev/serial/by-id names."""

_MAPPING = re.compile(r"K7340_COM(\d+)")
_TTY_S = re.compile(r"/dev/ttyS(\d+)")
BY_ID = "/dev/serial/by-id"


def _numbered(paths):
    return sorted(
        paths, key=lambda p: (re.sub(r"\d+$", "", p), int(re.search(r"(\d*)$", p).group(1) or 0))
    )


def by_id_names(folder=BY_ID):
    """device's real path -> its /dev/serial/by-id names."""
    names = collections.defaultdict(list)
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return names
    for entry in entries:
        names[os.path.realpath(os.path.join(folder, entry))].append(entry)
    return names


def linux_ports(environ=None, devices=None, ids=None):
    """The K7340_COM<n> mappings first, then /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*; a
    device that a mapping already names is not listed twice."""
    env = os.environ if environ is None else environ
    if devices is None:
        devices = [
            p
            for pattern in ("/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*")
            for p in _numbered(glob.glob(pattern))
        ]
    ids = by_id_names() if ids is None else ids
    found, listed = [], set()
    mappings = sorted(
        (int(m.group(1)), env[k]) for k in env for m in [_MAPPING.fullmatch(k)] if m and env[k]
    )
    for number, device in mappings:
        if 1 <= number <= 256:
            real = os.path.realpath(device)
            listed.add(real)
            found.append(
                Port(
                    "COM%d" % number,
                    str(number - 1),
                    device,
                    ["K7340_COM%d" % number] + ids.get(real, []),
                )
            )
    for device in devices:
        real = os.path.realpath(device)
        if real in listed:
            continue
        match = _TTY_S.fullmatch(device)
        if match and "K7340_COM%d" % (int(match.group(1)) + 1) not in env:
            found.append(
                Port("COM%d" % (int(match.group(1)) + 1), match.group(1), device, ids.get(real, []))
            )
        else:
            found.append(Port("-", device, device, ids.get(real, [])))
    return found


def windows_ports():
    """COM ports the system lists (HARDWARE\\DEVICEMAP\\SERIALCOMM), COM1 and up."""
    import winreg

    names = []
    try:
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM")
    except OSError:
        return []
    with key:
        for i in range(winreg.QueryInfoKey(key)[1]):
            value = winreg.EnumValue(key, i)[1]
            if re.fullmatch(r"COM\d+", str(value), re.IGNORECASE):
                names.append(str(value).upper())
    return [Port(n, str(int(n[3:]) - 1), n, []) for n in _numbered(set(names))]


def probe(port):
    """What answers on a port, as text."""
    keywords = (
        {"com_port": int(port.argument)} if port.argument.isdigit() else {"port": port.device}
    )
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", K7340Warning)
            psu = Device(**keywords)
        with psu:
            firmware = psu.firmware_version
            vrange, irange = psu.ranges
    except K7340Error as exc:
        return refusal(exc)
    text = "supply: firmware %04X, ranges %d V, %d uA" % (firmware, vrange, irange)
    for w in caught:
        text += " (%s: default ranges)" % w.message
    return text


def refusal(exc):
    if exc.code == ERR_NO_PORT:
        return "not found"
    if exc.code == ERR_READ:
        return "no supply answers (%s)" % exc.text
    if exc.code == ERR_CHECKSUM:
        return "something answers, not a supply (%s)" % exc.text
    if exc.busy:
        return "%s (%s)" % (show.BUSY_TEXT, exc.os_text or exc.text)
    if exc.code == errno.EIO:
        return "no such hardware (%s)" % exc.os_text
    return "error: %s" % (exc.os_text or exc.text)


def line(port, result=None):
    aliases = " (%s)" % ", ".join(port.aliases) if port.aliases else ""
    text = "%-7s%-22s%s%s" % (port.name, "--port " + port.argument, port.device, aliases)
    return text if result is None else "%s  %s" % (text, result)


def ports(args):
    common.check_stdout("the ports")
    found = windows_ports() if sys.platform == "win32" else linux_ports()
    if not found:
        common.say("no serial ports found")
        return 0
    for port in found:
        print(line(port, probe(port) if args.probe else None), flush=True)
    return 0
