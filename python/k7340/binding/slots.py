"""Which library slot each open Supply holds, the one lock around every library call, and the
naming of ports.

The library's tables are shared by all its slots and it has no locks of its own: every call the
binding makes goes through ``call`` under ``LOCK``, so calls from several threads are serialised
and each gets its own reply. A slot belongs to one open Supply; nothing else of the binding may
reach it until that Supply is closed.
"""

import contextlib
import os
import re
import threading

from . import guards
from .library import IS_WINDOWS

MAX_DEVICES = 8
MAX_COM_PORT = 255  # COM1..COM256

LOCK = threading.RLock()
_holders = {}  # slot index -> the open Supply that holds it

_COM_NAME = re.compile(r"(?:\\\\\.\\)?COM(\d+)", re.IGNORECASE)


def call(lib, name, *args):
    """One library call under the lock; returns its result."""
    with LOCK:
        return getattr(lib, name)(*args)


def holder(index):
    return _holders.get(index)


def open_supplies():
    with LOCK:
        return list(_holders.values())


def claim(index, supply):
    """index None: the lowest slot no open Supply holds. An explicit index that another open
    Supply holds is refused, naming that Supply's port. Call with LOCK held."""
    if index is None:
        for candidate in range(MAX_DEVICES):
            if candidate not in _holders:
                _holders[candidate] = supply
                return candidate
        raise ValueError("all %d library slots are held by open Supply objects (%s): close one"
                         % (MAX_DEVICES, ", ".join(s.port for s in _holders.values())))
    index = guards.integer("index", index, 0, MAX_DEVICES - 1)
    other = _holders.get(index)
    if other is not None:
        raise ValueError("index %d is held by the open Supply on %s; leave index out to take a "
                         "free slot" % (index, other.port))
    _holders[index] = supply
    return index


def release(index, supply):
    if _holders.get(index) is supply:
        del _holders[index]


def device_name(com_port, environ=None):
    """The device the library opens for COM port com_port (0 = COM1)."""
    if IS_WINDOWS:
        return "COM%d" % (com_port + 1)
    env = os.environ if environ is None else environ
    return env.get("K7340_COM%d" % (com_port + 1)) or "/dev/ttyS%d" % com_port


def parse_port(port):
    """port= of Supply: "COMn" (n from 1) on every system, a device path on Linux. Returns
    (com_port, path): path is None for a COM name."""
    try:
        text = os.fspath(port)
    except TypeError:
        raise TypeError("port must be a COM name (COM1..COM%d) or a device path, not %s"
                        % (MAX_COM_PORT + 1, type(port).__name__)) from None
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


@contextlib.contextmanager
def mapped(path):
    """Maps a device path to a COM port number through the lowest K7340_COM<n> that this
    process has not set, for the open only; yields the COM port number. Call with LOCK held."""
    n = 1
    while "K7340_COM%d" % n in os.environ:
        n += 1
    variable = "K7340_COM%d" % n
    os.environ[variable] = path
    try:
        yield n - 1
    finally:
        del os.environ[variable]
