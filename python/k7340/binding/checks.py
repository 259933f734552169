"""Argument checks of the binding. Each one runs before anything is sent: a refusal is a
TypeError for a value of the wrong kind, or a K7340ArgumentError (a ValueError carrying the
library's code -2) whose message names the argument and its allowed range.
"""

import math
import numbers
import operator

from .errors import K7340ArgumentError

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


def integer(name, value, low=INT32_MIN, high=INT32_MAX, call=None):
    """A whole number low..high. bool is refused: True is no channel, address or period.
    ctypes would silently keep the low 32 bits of a larger int: 2**32 + 5 would arrive as 5."""
    if isinstance(value, bool):
        raise TypeError("%s must be a whole number %d..%d, not a bool" % (name, low, high))
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(
            "%s must be a whole number %d..%d, not %s" % (name, low, high, type(value).__name__)
        ) from None
    if not low <= value <= high:
        raise K7340ArgumentError("%s %d is outside %d..%d" % (name, value, low, high), call)
    return value


def real(name, value, low, high, unit, call=None, bound=None):
    """A finite real number low..high (NaN and infinities never are); returns a float. bound
    names where high comes from, for the message."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(
            "%s must be a number of %s, %g..%g, not %s"
            % (name, unit, low, high, type(value).__name__)
        )
    number = float(value)
    if not (math.isfinite(number) and low <= number <= high):
        where = " (%s)" % bound if bound else ""
        raise K7340ArgumentError(
            "%s %r is outside %g..%g %s%s" % (name, value, low, high, unit, where), call
        )
    return number


def positive(name, value, unit, high=math.inf, call=None):
    """A finite real number above 0 and at most high (a rate, a step, an interval)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(
            "%s must be a number of %s above 0, not %s" % (name, unit, type(value).__name__)
        )
    number = float(value)
    if not (math.isfinite(number) and 0.0 < number <= high):
        limit = "" if math.isinf(high) else " and at most %g" % high
        raise K7340ArgumentError(
            "%s %r must be a finite number of %s above 0%s" % (name, value, unit, limit), call
        )
    return number


def byte_values(name, data):
    """bytes-like data, or an iterable of whole numbers 0..255, as bytes. An int is refused:
    bytes(3) would be three zero bytes, not the byte 3."""
    if isinstance(data, (int, str)):
        raise TypeError(
            "%s must be bytes or an iterable of whole numbers 0..255, not %s"
            % (name, type(data).__name__)
        )
    try:
        return memoryview(data).tobytes()
    except TypeError:
        pass
    try:
        items = list(data)
    except TypeError:
        raise TypeError(
            "%s must be bytes or an iterable of whole numbers 0..255, not %s"
            % (name, type(data).__name__)
        ) from None
    return bytes(integer("%s[%d]" % (name, i), v, 0, 255) for i, v in enumerate(items))
