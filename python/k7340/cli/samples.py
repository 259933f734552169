"""The sample log of the console tools: `k7340 log`, and ramp, monitor --voltage and condition
while they hold the output (--csv FILE, --interval S, --force, --append: the same options,
columns and file rules). See k7340.lab.samplelog."""

from ..lab.samplelog import SampleLog
from ..session import UP
from . import arguments


def options(parser, required=False):
    parser.add_argument(
        "--csv",
        required=required,
        metavar="FILE",
        help="the CSV file of the readings (the columns of k7340 log)",
    )
    parser.add_argument(
        "--interval",
        type=arguments.positive_seconds,
        default=1.0,
        metavar="S",
        help="seconds between rows (default 1)",
    )
    parser.add_argument("--force", action="store_true", help="start an existing CSV file anew")
    parser.add_argument("--append", action="store_true", help="add rows to an existing CSV file")


def sample_log(args):
    """The sample log of --csv, checked (nothing changed yet), or None without --csv."""
    if not args.csv:
        return None
    out = SampleLog(args.csv, args.interval, force=args.force, append=args.append)
    out.check()
    return out


def opened(out, session):
    """Opens the sample log (once the supply is open) and gives its feeder."""
    if out is not None:
        out.interval = session.poll_interval(out.interval)
        out.open()
    return feeder(session, out)


def close(out):
    if out is not None:
        out.close()


def feeder(session, out):
    """on_reading for a session's hold or operation: a row when one is due; a failed poll is
    a row naming the failure."""

    def feed(reading):
        if out is None:
            return False
        error = ""
        if reading is None:
            error = session.last_error.text if session.link == UP else session.link_text
        return out.add(reading, error or "")

    return feed
