"""Puts the native library (and the simulated supply) inside the package when it is built.

The library comes from $K7340_BUILD_DIR, else from the repository's build/linux, else it is
built here with CMake into build/python. The metadata is in pyproject.toml, but for the console
commands: those are declared here, as k7340sim (which runs the package's copy of the simulator)
comes only with a package that carries one.

K7340_SYSTEM_LIBRARY=1 builds the package without either and without the command k7340sim (as
the Debian package python3-k7340 is built): it then loads the system's libk7340.so.2, and the
k7340sim on PATH is another package's (Debian's k7340-tools).
"""

import os
import shutil
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
IS_WINDOWS = sys.platform == "win32"
LIBRARY = "k7340.dll" if IS_WINDOWS else "libk7340.so"
SIMULATOR = "k7340sim"
SYSTEM_LIBRARY = os.environ.get("K7340_SYSTEM_LIBRARY") == "1"


def built_files(build_dir):
    """(library, simulator or None) in a build folder, or None when it has no library."""
    library = os.path.join(build_dir, "bin" if IS_WINDOWS else "lib", LIBRARY)
    if not os.path.isfile(library):
        return None
    simulator = os.path.join(build_dir, "bin", SIMULATOR)
    return library, simulator if os.path.isfile(simulator) else None


def cmake_build():
    if not os.path.isfile(os.path.join(REPO, "CMakeLists.txt")):
        sys.exit(
            "k7340: no built library and no source tree to build one from: set "
            "K7340_BUILD_DIR to a build folder that holds lib/%s" % LIBRARY
        )
    build_dir = os.path.join(REPO, "build", "python")
    try:
        subprocess.check_call(
            [
                "cmake",
                "-S",
                REPO,
                "-B",
                build_dir,
                "-DCMAKE_BUILD_TYPE=Release",
                "-DK7340_BUILD_TESTS=OFF",
            ]
        )
        targets = ["k7340"] if IS_WINDOWS else ["k7340", SIMULATOR]
        subprocess.check_call(["cmake", "--build", build_dir, "--target", *targets])
    except (OSError, subprocess.CalledProcessError) as exc:
        sys.exit("k7340: building the native library with CMake failed: %s" % exc)
    return built_files(build_dir)


def native_files():
    explicit = os.environ.get("K7340_BUILD_DIR")
    if explicit:
        found = built_files(explicit)
        if found is None:
            sys.exit("k7340: K7340_BUILD_DIR=%s holds no %s" % (explicit, LIBRARY))
        return found
    return built_files(os.path.join(REPO, "build", "linux")) or cmake_build()


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        if SYSTEM_LIBRARY:
            return
        library, simulator = native_files()
        target = os.path.join(self.build_lib, "k7340")
        os.makedirs(target, exist_ok=True)
        shutil.copyfile(library, os.path.join(target, LIBRARY))  # follows a versioned link
        if simulator:
            copied = os.path.join(target, SIMULATOR)
            shutil.copyfile(simulator, copied)
            os.chmod(copied, 0o755)


class NativeDistribution(Distribution):
    """The wheel carries a native library: it is tied to a platform."""

    def has_ext_modules(self):
        return not SYSTEM_LIBRARY


COMMANDS = ["k7340 = k7340.__main__:main", "k7340-tango = k7340.tango.server:main"]
if not (SYSTEM_LIBRARY or IS_WINDOWS):
    COMMANDS.append("%s = k7340.simulator:main" % SIMULATOR)

setup(
    cmdclass={"build_py": BuildWithLibrary},
    distclass=NativeDistribution,
    entry_points={"console_scripts": COMMANDS},
)
