"""python -m k7340: the console tools (see k7340/cli/)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
