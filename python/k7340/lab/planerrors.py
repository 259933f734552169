"""A plan's errors and where in its file they are.

Every error names the key path it concerns (``supplies.anode.max``, ``step[3].condition.to``,
``limits.max_difference[0].between``) and, when it can be told for sure, the line of the plan
file that holds that key. Steps are numbered from 1, as the timeline numbers them; the entries
of a list from 0, as TOML counts them.

The lines come from a light scan of the text (KeyLines), not from the TOML parser, which keeps
no positions: the line of the key itself, or of the nearest enclosing key or table when the key
is missing or sits inside a one-line value. Where the scan cannot be sure (a value that spans
lines, a key it did not see) the error carries no line rather than a wrong one.
"""

import ast
import re

_KEY = r"""(?:[A-Za-z0-9_-]+|"(?:[^"\\]|\\.)*"|'[^']*')"""
_DOTTED = r"%s(?:\s*\.\s*%s)*" % (_KEY, _KEY)
_TABLE = re.compile(r"\s*\[\s*(%s)\s*\]\s*(?:#.*)?$" % _DOTTED)
_ARRAY_TABLE = re.compile(r"\s*\[\[\s*(%s)\s*\]\]\s*(?:#.*)?$" % _DOTTED)
_ASSIGNMENT = re.compile(r"\s*(%s)\s*=(.*)$" % _DOTTED, re.DOTALL)
_PARSER_PLACE = re.compile(r"\s*\(at line (\d+), column \d+\)\s*$")
_DECLARED_TWICE = re.compile(r"Cannot declare (\(.*\)) twice")

# Arrays of tables whose entries are numbered from 1 in messages (as the timeline numbers steps).
NUMBERED_FROM_ONE = ("step",)


class PlanError(ValueError):
    """Every error found in a plan. ``errors`` lists (key path, line or None, message) in the
    file's order (those of no line last); str() is one line per error: "FILE:LINE: PATH:
    message" (FILE and LINE when known)."""

    def __init__(self, errors, file=None):
        self.errors = sorted(errors, key=lambda error: (error[1] is None, error[1] or 0))
        self.file = file
        super().__init__("\n".join(self.lines()))

    def lines(self):
        for path, line, message in self.errors:
            place = ":".join(str(part) for part in (self.file, line) if part is not None)
            yield ": ".join(part for part in (place, path, message) if part)


def path_text(path):
    """A key path as people read it: ("step", 2, "condition", "to") is step[3].condition.to."""
    text = ""
    for i, part in enumerate(path):
        if isinstance(part, int):
            text += "[%d]" % (part + 1 if i and path[i - 1] in NUMBERED_FROM_ONE else part)
        else:
            text += ("." if text else "") + part
    return text


def _key_parts(dotted):
    return tuple(part.strip("\"'") for part in re.findall(_KEY, dotted))


class KeyLines:
    """Where each key of a TOML text is: ``records`` maps a key path (tuples; arrays counted
    from 0) to (first line, last line) of its value; a table to its header line. The entries
    of a list that spans lines are found when each starts on a line of its own."""

    def __init__(self, text):
        self.records = {}
        self.assigned = {}  # line -> the path of the key assigned on it
        self._arrays = {}  # an array of tables (its path without indexes) -> its last index
        lines = text.split("\n")
        table = ()
        number = 0
        while number < len(lines):
            line = lines[number]
            number += 1
            match = _ARRAY_TABLE.match(line)
            if match:
                table = self._resolve(_key_parts(match.group(1)), new_entry=True)
                self.records.setdefault(table, (number, number))
                continue
            match = _TABLE.match(line)
            if match:
                table = self._resolve(_key_parts(match.group(1)))
                self.records.setdefault(table, (number, number))
                continue
            match = _ASSIGNMENT.match(line)
            if match:
                path = table + _key_parts(match.group(1))
                self.assigned[number] = path
                number = self._value(path, match.group(2), lines, number)

    def _resolve(self, parts, new_entry=False):
        """A table header's path, with the index of the latest entry of each array of tables
        it passes through (a new entry for [[name]] itself)."""
        path, plain = (), ()
        for i, part in enumerate(parts):
            path, plain = path + (part,), plain + (part,)
            if new_entry and i == len(parts) - 1:
                self._arrays[plain] = self._arrays.get(plain, -1) + 1
            if plain in self._arrays:
                path += (self._arrays[plain],)
        return path

    def _value(self, path, rest, lines, number):
        """Scans a value from rest (the text after "=" on line number) over as many lines as it
        spans; records the key and, for a list, each entry. Returns the last line's number."""
        first, depth, quote, entry, entry_index = number, 0, None, None, -1
        text = rest
        while True:
            i = 0
            while i < len(text):
                char = text[i]
                if quote:
                    if text.startswith(quote, i):
                        i += len(quote) - 1
                        quote = None
                    elif char == "\\" and quote[0] == '"':
                        i += 1
                else:
                    if depth == 1 and entry is None and not (char.isspace() or char in ",]}#"):
                        entry_index, entry = entry_index + 1, number
                    if char in "\"'":
                        quote = char * 3 if text.startswith(char * 3, i) else char
                        i += len(quote) - 1
                    elif char == "#":
                        break
                    elif char in "[{":
                        depth += 1
                    elif char in "]}":
                        depth -= 1
                    elif char == "," and depth == 1:
                        entry = self._end_entry(path, entry_index, entry, number)
                i += 1
            if (depth <= 0 and quote is None) or number >= len(lines):
                break
            if quote is not None and len(quote) == 1:
                break  # a one-line string left open: the parser says so
            text = lines[number]
            number += 1
        if entry is not None and number != first:
            self._end_entry(path, entry_index, entry, number)
        self.records.setdefault(path, (first, number))
        return number

    def _end_entry(self, path, index, start, number):
        self.records.setdefault(path + (index,), (start, number))
        return None

    def line(self, path):
        """The line of path (a tuple), or of the nearest enclosing key or table when path is
        missing or inside a value on one line; None when unsure."""
        for size in range(len(path), 0, -1):
            found = self.records.get(tuple(path[:size]))
            if found is None:
                continue
            first, last = found
            return first if size == len(path) or first == last else None
        return None


class Problems:
    """Collects a plan's errors as they are found, each placed by KeyLines."""

    def __init__(self, text=""):
        self.where = KeyLines(text)
        self.found = []

    def add(self, path, message, line=None):
        path = tuple(path)
        where = line if line is not None else self.where.line(path) if path else None
        self.found.append((path_text(path), where, message))

    def syntax(self, exc):
        """A TOML parser's error: its line, and the key or table it names when it can tell."""
        message = str(exc)
        place = _PARSER_PLACE.search(message)
        line = int(place.group(1)) if place else None
        message = message[: place.start()] if place else message
        twice = _DECLARED_TWICE.match(message)
        if twice:
            try:
                path = tuple(ast.literal_eval(twice.group(1)))
            except (ValueError, SyntaxError):
                path = ()
            what = "a supply" if len(path) == 2 and path[0] == "supplies" else "a table"
            return self.add(path, "%s named twice" % what, line)
        path = self.where.assigned.get(line)
        self.add(path or (), "not valid TOML: %s" % message, line)

    def __bool__(self):
        return bool(self.found)
