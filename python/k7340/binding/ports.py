"""How a port is named, in one place: a COM port number (0 = COM1), a COM name ("COM7") or, on
Linux, a device path ("/dev/ttyUSB0"). The console tools' --port, Tango's ComPort and PortPath,
PyMeasure's adapter and Supply's keywords all come here."""

import os
import re

from . import checks
from .library import IS_WINDOWS

MAX_COM_PORT = 255  # COM1..COM256

_COM_NAME = re.compile(r"(?:\\\\\.\\)?COM(\d+)", re.IGNORECASE)


def device_name(com_port, environ=None):
    """The device the library opens for COM port com_port (0 = COM1)."""
    if IS_WINDOWS:
        return "COM%d" % (com_port + 1)
    env = os.environ if environ is None else environ
    return env.get("K7340_COM%d" % (com_port + 1)) or "/dev/ttyS%d" % com_port


def parse_port(port):
    """A COM name ("COMn", n from 1) on every system, a device path on Linux. Returns
    (com_port, path): path is None for a COM name."""
    try:
        text = os.fspath(port)
    except TypeError:
        raise TypeError(
            "port must be a COM name (COM1..COM%d) or a device path, not %s"
            % (MAX_COM_PORT + 1, type(port).__name__)
        ) from None
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    match = _COM_NAME.fullmatch(text)
    if match:
        number = int(match.group(1))
        if not 1 <= number <= MAX_COM_PORT + 1:
            raise ValueError("port %s is outside COM1..COM%d" % (text, MAX_COM_PORT + 1))
        return number - 1, None
    if IS_WINDOWS or not text:
        raise ValueError("port %r is not a COM name COM1..COM%d" % (text, MAX_COM_PORT + 1))
    return None, text


def resolve(com_port=None, port=None):
    """Supply's com_port= and port= keywords as (com_port, path, the device's name for
    messages); neither given is COM port 0."""
    if port is not None:
        if com_port is not None:
            raise ValueError("give com_port or port, not both")
        com_port, path = parse_port(port)
    else:
        com_port, path = (
            checks.integer("com_port", 0 if com_port is None else com_port, 0, MAX_COM_PORT),
            None,
        )
    return com_port, path, path if path is not None else device_name(com_port)


def keywords(port):
    """Whatever a user gave as a port (an int COM port number, digits as text, a COM name or a
    device path) as Supply's keywords: {"com_port": n} or {"port": text}."""
    if isinstance(port, bool):
        raise TypeError("port must be a COM port number, a COM name or a device path, not bool")
    if isinstance(port, int):
        return {"com_port": port}
    text = os.fsdecode(os.fspath(port)) if not isinstance(port, str) else port
    return {"com_port": int(text)} if text.isdigit() else {"port": text}


def label(port):
    """The device a port names, for messages: the device path behind a COM port number on
    Linux (K7340_COM<n> or /dev/ttyS<n>), COMn on Windows."""
    where = keywords(port)
    if "com_port" in where:
        return device_name(where["com_port"])
    return where["port"]
