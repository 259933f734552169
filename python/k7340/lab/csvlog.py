"""A CSV file written one whole row at a time.

Nothing on disk changes until open(), which a command calls only once the supply is open. An
existing file is never cut: check() refuses it unless the run asked for --force (start it
anew) or --append (add rows after the ones there; its header must be ours). A row that cannot
be written whole (a full disk, a size limit) is taken back, so the file ends with whole rows
only, and the error is one line.
"""

import csv
import errno
import io
import os
import tempfile


class CsvError(Exception):
    """The CSV file cannot be used or written: one line."""


def _line(values):
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(values)
    return text.getvalue().encode("utf-8")


class CsvFile:
    def __init__(self, path, columns, force=False, append=False):
        self.path = path
        self.columns = tuple(columns)
        self.force = force
        self.append = append
        self.rows = 0
        self._fd = None
        self._size = 0

    def check(self):
        """Before the supply is opened: nothing is written, the reasons are bad input."""
        if self.force and self.append:
            raise CsvError("give --force or --append, not both")
        folder = os.path.dirname(os.path.abspath(self.path))
        if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
            raise CsvError(
                "cannot write the CSV file %s: no writable folder %s" % (self.path, folder)
            )
        if not os.path.lexists(self.path):
            return self._probe()
        if os.path.isdir(self.path):
            raise CsvError("cannot write the CSV file %s: it is a folder" % self.path)
        if not (self.force or self.append):
            raise CsvError(
                "the CSV file %s exists: --append adds rows to it, --force starts "
                "it anew" % self.path
            )
        if not os.access(self.path, os.W_OK):
            raise CsvError("cannot write the CSV file %s: not writable" % self.path)
        self._probe()
        if self.append:
            header = self._header()
            if header not in (None, list(self.columns)):
                raise CsvError(
                    "cannot append to %s: its header is not a k7340 log's (%s)"
                    % (self.path, ",".join(self.columns))
                )

    def _probe(self):
        """Tries the file as the run will use it, changing nothing: a new file is tried as a
        scratch file beside it (removed at once), an existing one is opened for appending.
        A folder that says it is writable but is not (/proc, a read-only mount) is refused
        here, before the supply is opened."""
        try:
            if os.path.lexists(self.path):
                os.close(os.open(self.path, os.O_WRONLY | os.O_APPEND))
                return
            fd, scratch = tempfile.mkstemp(
                prefix=".k7340-", dir=os.path.dirname(os.path.abspath(self.path))
            )
            os.close(fd)
            os.unlink(scratch)
        except OSError as exc:
            raise CsvError(
                "cannot write the CSV file %s: %s" % (self.path, exc.strerror or exc)
            ) from None

    def _header(self):
        try:
            with open(self.path, newline="", encoding="utf-8", errors="replace") as f:
                first = f.readline()
        except OSError as exc:
            raise CsvError("cannot read the CSV file %s: %s" % (self.path, exc.strerror)) from None
        if not first:
            return None
        return next(csv.reader([first]), [])

    def open(self):
        """Opens (or creates) the file and writes the header it lacks. Call once the supply
        is open."""
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND
        if self.force:
            flags |= os.O_TRUNC
        try:
            self._fd = os.open(self.path, flags, 0o666)
            self._size = os.fstat(self._fd).st_size
        except OSError as exc:
            raise CsvError("cannot write the CSV file %s: %s" % (self.path, exc.strerror)) from None
        if self._size == 0:
            self._write(_line(self.columns))
        elif self._torn_end():
            self._write(b"\n")  # an older run's last line never ended: keep ours apart

    def _torn_end(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(-1, os.SEEK_END)
                return f.read(1) != b"\n"
        except OSError:
            return False

    def write(self, values):
        """One whole row, or CsvError with the file as it was before the row."""
        self._write(_line(values))
        self.rows += 1

    def _write(self, data):
        done = 0
        try:
            while done < len(data):
                written = os.write(self._fd, data[done:])
                if written <= 0:
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                done += written
        except OSError as exc:
            kept = "all whole"
            if done:
                try:
                    os.ftruncate(self._fd, self._size)
                except OSError:
                    kept = "its last row may be cut"
            raise CsvError(
                "cannot write the CSV file %s: %s; %d rows kept, %s"
                % (self.path, exc.strerror or exc, self.rows, kept)
            ) from None
        self._size += len(data)

    def close(self):
        if self._fd is not None:
            fd, self._fd = self._fd, None
            try:
                os.close(fd)
            except OSError:
                pass
