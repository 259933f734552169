"""Reconnects that never energise: a lost port reopened, the same supply checked, the session
carried over.

The port is reopened by its configured path, resolved anew at every try (a link such as
/dev/serial/by-id/... may lead to a new device node after a replug). The supply behind it must
be the one read at open: the same firmware revision and the same EEPROM image. Then a zero owed
since the port was lost is sent first; no setpoint is ever re-sent, and the watchdog is not fed
again (the lost link was an outage: the output is presumed off). Another supply is refused
with a message naming the port and both identities, and is left untouched (the identity check
only reads); the session drops its ownership.
"""

import time

from ..binding.eeprom import EEPROM_SIZE
from ..binding.errors import ERR_CHECKSUM, ERR_READ, K7340Error, K7340IdentityError

QUIET_S = 0.1  # after a reply that did not come, before the same read again


def read_identity(supply, abandon=None):
    """(firmware revision, the 128-byte EEPROM image): what makes a supply the same one. These
    are 129 reads; one that gets no reply is tried once more after a quiet pause (a busy
    computer may miss a reply's 100 ms), a second failure raises. abandon (a threading.Event, or
    a callable: a stop asked) set ends it within one exchange with K7340Error."""
    with supply.lock:
        firmware = _read_twice(lambda: supply.firmware_version, supply, abandon)
        image = bytes(
            _read_twice(lambda a=a: supply.eeprom[a], supply, abandon) for a in range(EEPROM_SIZE)
        )
    return firmware, image


def _read_twice(read, supply, abandon):
    if abandon is not None and (abandon.is_set() if hasattr(abandon, "is_set") else abandon()):
        raise K7340Error(None, "the reopen was abandoned", "reopen", device=supply.port)
    try:
        return read()
    except K7340Error as exc:
        if exc.code not in (ERR_READ, ERR_CHECKSUM):
            raise
    time.sleep(QUIET_S)
    return read()


def reopen(supply, abandon=None):
    """Reopens a lost supply (see above). Raises K7340Error while the port does not open or
    the supply does not answer, or when abandon (a threading.Event) is set (the supply stays
    lost), K7340IdentityError for another one. An owed zero goes out first; the watchdog is
    never fed again by a reconnect: a lost link was an outage, after which the output is
    presumed off."""
    if supply.identity is None:
        raise ValueError("reopen needs the identity read at open: call read_identity() first")
    ownership = supply.ownership
    with supply.lock:
        supply.reopen_port()
        found = read_identity(supply, abandon)
        if found != supply.identity:
            ownership.drop(supply)
            raise K7340IdentityError(supply.port, supply.identity, found)
        supply.lost = False
        if ownership.pending_off:
            failed = ownership.switch_off(supply)
            if failed is not None:
                supply.lost = True
                raise failed
