"""The K7340 device server: python -m k7340.tango INSTANCE [Tango options].

Without a database: python -m k7340.tango test -nodb -port 10000 -dlist lab/hv/1 (the device's
properties then keep their defaults), or with a file database: -file=devices.db.
"""

import sys


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    if not args or args[0].startswith("-"):
        print(
            "usage: python -m k7340.tango INSTANCE [Tango options]\n%s" % __doc__, file=sys.stderr
        )
        return 2
    from tango.server import run

    from .device import K7340

    # The server's name is K7340 whatever started it (python -m gives __main__.py as argv[0]).
    run((K7340,), args=["K7340"] + args)
    return 0
