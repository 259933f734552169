"""The 7340 as a Tango Controls device (needs PyTango; the rest of k7340 never does).

    python -m k7340.tango INSTANCE [Tango options]     # or the console script k7340-tango

One device class, K7340, per supply. See docs/tango.md.
"""

from .device import K7340
from .server import main

__all__ = ["K7340", "main"]
