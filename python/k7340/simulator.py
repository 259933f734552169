"""The command k7340sim of a pip-installed package: the package's own copy of the simulated
supply, run in this process's place (os.execv) with the same arguments, so that the signals sent
to the command and its exit status are the simulator's own."""

import os
import sys

from .binding.library import PACKAGE_DIR
from .testing import SIMULATOR


def main():
    program = os.path.join(PACKAGE_DIR, SIMULATOR)
    if not os.access(program, os.X_OK):
        sys.exit(
            "k7340sim: this k7340 package was built without a simulator (no %s); build it "
            "(build/linux/bin/k7340sim) or install Debian's k7340-tools" % program
        )
    os.execv(program, [program] + sys.argv[1:])
