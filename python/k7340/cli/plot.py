"""k7340 plot: volts and microamperes of a log against time, with matplotlib.

matplotlib comes from Debian's python3-matplotlib; the rest of the package does not need it.
"""

import csv
import datetime
import math
import os

from . import common

MISSING = ("plotting needs matplotlib, which this Python does not have: install Debian's "
           "python3-matplotlib (apt install python3-matplotlib)")


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
        raise common.BadInput("cannot write the plot %s: no writable folder %s"
                              % (png_path, folder))


def read_log(csv_path):
    """(times, volts, microamps) of a log; a row with an error is a gap (NaN)."""
    try:
        with open(csv_path, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
    except OSError as exc:
        raise common.BadInput("cannot read %s: %s" % (csv_path, exc.strerror)) from None
    times, volts, microamps = [], [], []
    for number, row in enumerate(rows, start=2):
        try:
            times.append(datetime.datetime.fromisoformat(row["time"]))
            volts.append(float(row["volts"]) if row["volts"] else math.nan)
            microamps.append(float(row["microamps"]) if row["microamps"] else math.nan)
        except (KeyError, TypeError, ValueError):
            raise common.BadInput("%s line %d is not a row of k7340 log (time, volts, "
                                  "microamps, ...)" % (csv_path, number)) from None
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
