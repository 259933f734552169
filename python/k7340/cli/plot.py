"""k7340 plot: volts and microamperes of a log against time, with matplotlib.

matplotlib comes from Debian's python3-matplotlib; the rest of the package does not need it.
"""

import csv
import datetime
import math
import os

from . import common

MISSING = (
    "plotting needs matplotlib, which this Python does not have: install Debian's "
    "python3-matplotlib (apt install python3-matplotlib)"
)


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise common.Failed(MISSING) from None
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.dates  # noqa: F401 (pyplot.matplotlib.dates below)
    import matplotlib.pyplot as pyplot

    return pyplot


def check(png_path):
    """Before a run: matplotlib is there and the image's folder takes files."""
    _pyplot()
    folder = os.path.dirname(os.path.abspath(png_path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise common.BadInput(
            "cannot write the plot %s: no writable folder %s" % (png_path, folder)
        )


def read_log(csv_path):
    """(times, volts, microamps) of a log; a row with an error is a gap (NaN). A row that is
    torn (cut short by a full disk, its last line never ended) or unreadable is skipped with
    a warning line: one bad row never costs the good ones."""
    try:
        with open(csv_path, newline="", encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError as exc:
        raise common.BadInput("cannot read %s: %s" % (csv_path, exc.strerror)) from None
    parts = text.split("\n")
    lines = [part + "\n" for part in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    rows = list(csv.reader(lines))
    header = rows[0] if rows else []
    if not {"time", "volts", "microamps"} <= set(header):
        raise common.BadInput(
            "%s is not a k7340 log: its first line lacks the columns time, "
            "volts and microamps" % csv_path
        )
    where = {name: header.index(name) for name in ("time", "volts", "microamps")}
    times, volts, microamps = [], [], []
    for number, row in enumerate(rows[1:], start=2):
        if not row:
            continue
        try:
            if len(row) != len(header) or not lines[number - 1].endswith("\n"):
                raise ValueError("torn")
            when = datetime.datetime.fromisoformat(row[where["time"]])
            v, i = (
                float(row[where[n]]) if row[where[n]] else math.nan for n in ("volts", "microamps")
            )
        except ValueError:
            common.say(
                "warning: %s line %d is torn or not a row of k7340 log; skipped"
                % (csv_path, number)
            )
            continue
        times.append(when)
        volts.append(v)
        microamps.append(i)
    if not times:
        raise common.BadInput("%s holds no rows" % csv_path)
    return times, volts, microamps


def draw(csv_path, png_path):
    """Two panels sharing the time axis: volts above, microamperes below."""
    pyplot = _pyplot()
    times, volts, microamps = read_log(csv_path)
    figure, (upper, lower) = pyplot.subplots(2, 1, sharex=True, figsize=(8, 5), dpi=100)
    upper.plot(times, volts, color="tab:blue", marker="." if len(times) < 60 else None)
    upper.set_ylabel("output (V)")
    lower.plot(times, microamps, color="tab:orange", marker="." if len(times) < 60 else None)
    lower.set_ylabel("current (\u00b5A)")
    lower.set_xlabel("time")
    for axes in (upper, lower):
        axes.grid(True, alpha=0.3)
    upper.set_title(os.path.basename(csv_path))
    dates = pyplot.matplotlib.dates
    locator = dates.AutoDateLocator()
    lower.xaxis.set_major_locator(locator)
    lower.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
    figure.tight_layout()
    try:
        figure.savefig(png_path)
    except OSError as exc:
        raise common.BadInput("cannot write the plot %s: %s" % (png_path, exc.strerror)) from None
    finally:
        pyplot.close(figure)


def plot_command(args):
    draw(args.csv, args.png)
    common.say("plot in %s" % args.png)
    return 0
