"""python3 -m k7340.pymeasure: the GUI (as `k7340 gui`)."""

import sys

from .gui import main

sys.exit(main())
