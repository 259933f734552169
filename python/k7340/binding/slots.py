"""Which library slot each open Supply holds, the locks around the library's calls, and the
mapping of device paths for the library's open.

The library keeps everything per device index: calls on different indexes may run in different
threads at once, calls on one index one thread at a time. So each slot has a lock of its own
(``slot_lock``): one supply never waits for another, not even for another's open or reopen.
``REGISTRY_LOCK`` guards the table of holders only and is never held across a library call.

The table holds weak references: a Supply dropped without close() can be collected (and is
closed then).
"""

import contextlib
import os
import threading
import weakref

from . import checks

MAX_DEVICES = 8
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
    global _ENV_LOCK, _mapped, _in_flight, REGISTRY_LOCK, _NO_SLOT_LOCK
    global _holders, _slot_locks, _parent_slots
    # The parent's slots stay open in the child's copy of the library, on the parent's ports:
    # closing them would reset the parent's port settings, reusing them would drive its supply.
    _parent_slots = frozenset(_parent_slots | set(_holders.keys()))
    _ENV_LOCK, _mapped, _in_flight = threading.Lock(), {}, [0]
    REGISTRY_LOCK = threading.RLock()
    _NO_SLOT_LOCK = threading.Lock()
    _holders = weakref.WeakValueDictionary()
    _slot_locks = [threading.RLock() for _ in range(MAX_DEVICES)]


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
    index = checks.integer("index", index, 0, MAX_DEVICES - 1)
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


# Opening by path: the library reads the device of COM port n from K7340_COM<n+1> at the start
# of its open. Each slot maps its path through a variable of its own, so that no open waits for
# another slot's (a reopen over a slow line reads the EEPROM for seconds). Changing the
# environment while another thread's open reads it is safe only when no variable is added or
# removed meanwhile (that moves the C library's table under the reader): the slots' variables are
# therefore added together, empty (an empty one means /dev/ttyS<n> to the library), when the
# first open by path begins, given a path only for their own open, and removed together when
# the last one ends, so that no mapping outlives the opens into a child process.
_ENV_LOCK = threading.Lock()
_mapped = {}  # slot index -> the K7340_COM<n> variable it maps through, while opens run
_in_flight = [0]


@contextlib.contextmanager
def mapped(index, path):
    """Maps path for slot index's open; yields the COM port number to open."""
    with _ENV_LOCK:
        if not _in_flight[0]:
            free = (n for n in range(1, 10000) if "K7340_COM%d" % n not in os.environ)
            _mapped.update((slot, "K7340_COM%d" % next(free)) for slot in range(MAX_DEVICES))
            for variable in _mapped.values():
                os.environ[variable] = ""
        _in_flight[0] += 1
        variable = _mapped[index]
        os.environ[variable] = path
    try:
        yield int(variable[len("K7340_COM") :]) - 1
    finally:
        with _ENV_LOCK:
            os.environ[variable] = ""
            _in_flight[0] -= 1
            if not _in_flight[0]:
                for name in _mapped.values():
                    os.environ.pop(name, None)
                _mapped.clear()
