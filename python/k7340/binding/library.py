"""Finds and loads the k7340 shared library with ctypes and declares every export.

Search order (the first one that exists and loads wins):
  1. K7340_LIBRARY, the full path of the library; when it is set nothing else is tried.
  2. The package's own copy in the package folder k7340/ (a pip-installed package carries one).
  3. $K7340_BUILD_DIR/lib/libk7340.so (Windows: $K7340_BUILD_DIR/bin/k7340.dll).
  4. The build tree of the repository this package lives in: build/linux/lib/libk7340.so
     (Windows: build/mingw64/bin/k7340.dll for a 64-bit Python, build/mingw32/bin for 32-bit).
  5. The system loader's search for the soname libk7340.so.2 (Windows: k7340.dll).
"""

import ctypes
import os
import struct
import sys

from .errors import LibraryLoadError

BITS = struct.calcsize("P") * 8
IS_WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "k7340.dll" if IS_WINDOWS else "libk7340.so"
# The package folder k7340/ (an installed package carries its native files there) and the
# repository that holds it.
PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(os.path.dirname(PACKAGE_DIR))

c_int_p = ctypes.POINTER(ctypes.c_int)
c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)
c_double_p = ctypes.POINTER(ctypes.c_double)

# Every export: (name, result type, argument types). Codes are plain ints.
PROTOTYPES = (
    ("K7340_OpenDevice", ctypes.c_int, (ctypes.c_int, ctypes.c_int)),
    ("K7340_CloseDevice", ctypes.c_int, (ctypes.c_int,)),
    ("K7340_GetApiVersion", ctypes.c_char_p, ()),
    ("K7340_GetErrString", ctypes.c_char_p, (ctypes.c_int,)),
    ("K7340_ReadPort", ctypes.c_int, (ctypes.c_int, c_ubyte_p, c_int_p)),
    ("K7340_WritePort", ctypes.c_int, (ctypes.c_int, c_ubyte_p, ctypes.c_int)),
    ("K7340_GetRanges", ctypes.c_int, (ctypes.c_int, c_int_p, c_int_p)),
    ("K7340_SetRanges", ctypes.c_int, (ctypes.c_int, ctypes.c_int, ctypes.c_int)),
    ("K7340_GetEEPROM", ctypes.c_int, (ctypes.c_int, ctypes.c_int, c_ubyte_p)),
    ("K7340_SetEEPROM", ctypes.c_int, (ctypes.c_int, ctypes.c_int, ctypes.c_int)),
    ("K7340_GetFwVersion", ctypes.c_int, (ctypes.c_int, c_int_p)),
    ("K7340_GetStatusFlags", ctypes.c_int, (ctypes.c_int, c_int_p)),
    ("K7340_GetFaultFlags", ctypes.c_int, (ctypes.c_int, c_int_p)),
    ("K7340_ReadMeter", ctypes.c_int, (ctypes.c_int, ctypes.c_int, c_double_p)),
    ("K7340_ReadRawMeter", ctypes.c_int, (ctypes.c_int, ctypes.c_int, c_int_p)),
    ("K7340_SetVoltage", ctypes.c_int, (ctypes.c_int, ctypes.c_double)),
    ("K7340_SetWD", ctypes.c_int, (ctypes.c_int, ctypes.c_uint)),
    ("K7340_SetLimits", ctypes.c_int, (ctypes.c_int, ctypes.c_int, ctypes.c_int)),
    ("K7340_Reset", ctypes.c_int, (ctypes.c_int,)),
)

_loaded = None


def candidates(environ=None, package_dir=PACKAGE_DIR):
    """The paths (or loader names) tried, in order; package_dir is the folder whose own copy
    is tried after K7340_LIBRARY."""
    env = os.environ if environ is None else environ
    explicit = env.get("K7340_LIBRARY")
    if explicit:
        return [explicit]
    own = os.path.join(package_dir, LIBRARY_NAME)
    paths = [own] if os.path.exists(own) else []
    if IS_WINDOWS:
        if env.get("K7340_BUILD_DIR"):
            paths.append(os.path.join(env["K7340_BUILD_DIR"], "bin", LIBRARY_NAME))
        preset = "mingw64" if BITS == 64 else "mingw32"
        paths.append(os.path.join(REPO, "build", preset, "bin", LIBRARY_NAME))
    else:
        if env.get("K7340_BUILD_DIR"):
            paths.append(os.path.join(env["K7340_BUILD_DIR"], "lib", LIBRARY_NAME))
        paths.append(os.path.join(REPO, "build", "linux", "lib", LIBRARY_NAME))
    paths.append(LIBRARY_NAME if IS_WINDOWS else LIBRARY_NAME + ".2")
    return paths


def _open(path):
    # The 32-bit DLL uses the standard Windows convention (callee pops); x64 has only one.
    if IS_WINDOWS and BITS == 32:
        return ctypes.WinDLL(path)
    return ctypes.CDLL(path)


def stdcall_name(name, argtypes):
    """The 32-bit export name: every argument is 4 bytes on the stack, a double 8."""
    return "_%s@%d" % (name, sum(8 if t is ctypes.c_double else 4 for t in argtypes))


def declare(lib):
    """Sets the argument and result types of every export; returns lib."""
    for name, restype, argtypes in PROTOTYPES:
        try:
            func = lib[name]
        except AttributeError:
            if not (IS_WINDOWS and BITS == 32):
                raise
            # The 32-bit DLL exports only the decorated names (_K7340_OpenDevice@8).
            func = lib[stdcall_name(name, argtypes)]
        func.restype = restype
        func.argtypes = argtypes
        setattr(lib, name, func)
    return lib


def load(environ=None):
    """Loads the library once per process and returns it with its prototypes declared."""
    global _loaded
    if _loaded is not None and environ is None:
        return _loaded
    tried = []
    for path in candidates(environ):
        is_path = os.sep in path or (os.altsep is not None and os.altsep in path)
        if is_path and not os.path.exists(path):
            tried.append("%s: no such file" % path)
            continue
        try:
            lib = declare(_open(path))
        except (OSError, AttributeError) as exc:
            tried.append("%s: %s" % (path, exc))
            continue
        if environ is None:
            _loaded = lib
        return lib
    raise LibraryLoadError(
        "cannot load the k7340 library: this Python is %d-bit and needs a %d-bit %s.\n"
        "Tried:\n  %s\nBuild it (see docs/linux.md or docs/windows.md) or set K7340_LIBRARY "
        "to its full path." % (BITS, BITS, LIBRARY_NAME, "\n  ".join(tried))
    )
