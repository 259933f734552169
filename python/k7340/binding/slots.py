"""Which library slot each open Supply holds, the locks around the library's calls, and the
naming of ports.

The library keeps everything per device index: calls on different indexes may run in different
threads at once, calls on one index one thread at a time. So each slot has a lock of its own
(``slot_lock``): one supply never waits for another. Opening by path writes K7340_COM<n> into
the environment, which the library reads at open: ``OPEN_LOCK`` covers that write, the open and
the removal of the mapping right after it, so no mapping leaks into a child process.
``REGISTRY_LOCK`` guards the table of holders only and is never held across a library call.

The table holds weak references: a Supply dropped without close() can be collected (and is
closed then).
"""

import contextlib
import os
import re
import threading
import weakref

from . import guards
from .library import IS_WINDOWS

MAX_DEVICES = 8
MAX_COM_PORT = 255  # COM1..COM256

OPEN_LOCK = threading.Lock()
# Re-entrant: a dropped Supply collected while this thread holds it closes (and releases) itself.
REGISTRY_LOCK = threading.RLock()
_slot_locks = [threading.RLock() for _ in range(MAX_DEVICES)]
_holders = weakref.WeakValueDictionary()  # slot index -> the open Supply that holds it
_parent_slots = frozenset()  # in a forked child: slots its parent held, never to be used
# A lock for calls that need no slot (the version text, error texts).
_NO_SLOT_LOCK = threading.Lock()


def slot_lock(index):
    """The lock of slot index: every call on that slot runs under it."""
    return _slot_locks[index]


def call(lib, name, *args):
    """A library call that needs no slot (version, error texts); returns its result."""
    with _NO_SLOT_LOCK:
        return getattr(lib, name)(*args)


def holder(index):
    return _holders.get(index)


def open_supplies():
    with REGISTRY_LOCK:
        return [s for s in list(_holders.values()) if s is not None]


def holders_without_lock():
    """The open supplies, read without the lock (for os.fork's child, where a lock another
    thread held at the fork stays held for ever)."""
    return [s for s in list(_holders.values()) if s is not None]


def forget_all_in_child():
    """After os.fork, in the child: the parent's supplies are none of the child's business, and
    a lock that another thread of the parent held at the fork would never be released. Takes
    no lock."""
    global OPEN_LOCK, REGISTRY_LOCK, _NO_SLOT_LOCK, _holders, _slot_locks, _parent_slots
    # The parent's slots stay open in the child's copy of the library, on the parent's ports:
    # closing them would reset the parent's port settings, reusing them would drive its supply.
    _parent_slots = frozenset(_parent_slots | set(_holders.keys()))
    OPEN_LOCK = threading.Lock()
    REGISTRY_LOCK = threading.RLock()
    _NO_SLOT_LOCK = threading.Lock()
    _holders = weakref.WeakValueDictionary()
    _slot_locks = [threading.RLock() for _ in range(MAX_DEVICES)]


_COM_NAME = re.compile(r"(?:\\\\\.\\)?COM(\d+)", re.IGNORECASE)


def claim(index, supply):
    with REGISTRY_LOCK:
        return _claim(index, supply)


def _claim(index, supply):
    """index None: the lowest slot no open Supply holds. An explicit index that another open
    Supply holds is refused, naming that Supply's port."""
    if index is None:
        for candidate in range(MAX_DEVICES):
            if candidate not in _holders and candidate not in _parent_slots:
                _holders[candidate] = supply
                return candidate
        raise ValueError(
            "all %d library slots are held by open Supply objects (%s): close one"
            % (MAX_DEVICES, ", ".join(s.port for s in _holders.values()))
        )
    index = guards.integer("index", index, 0, MAX_DEVICES - 1)
    if index in _parent_slots:
        raise ValueError(
            "index %d is held by this process's parent (it forked): leave index out "
            "to take a free slot" % index
        )
    other = _holders.get(index)
    if other is not None:
        raise ValueError(
            "index %d is held by the open Supply on %s; leave index out to take a "
            "free slot" % (index, other.port)
        )
    _holders[index] = supply
    return index


def release(index, supply):
    with REGISTRY_LOCK:
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


@contextlib.contextmanager
def mapped(path):
    """Maps a device path to a COM port number through the lowest K7340_COM<n> that this
    process has not set, for the open only; yields the COM port number. Call with OPEN_LOCK
    held."""
    n = 1
    while "K7340_COM%d" % n in os.environ:
        n += 1
    variable = "K7340_COM%d" % n
    os.environ[variable] = path
    try:
        yield n - 1
    finally:
        del os.environ[variable]
