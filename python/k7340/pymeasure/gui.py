"""k7340 gui (python3 -m k7340.pymeasure): queue ramp/hold/ramp-down runs in a PyMeasure
ManagedWindow, watch voltage and current plot live, abort. Each run's results go to a CSV file
in --directory (default the current one).

    k7340 gui --port /dev/ttyUSB0
    k7340 gui --port /dev/ttyUSB0 --voltage 2000 --rate 500 --hold 30 --queue

--queue starts one run with the given parameters at once; --exit-when-done closes the window
when the queue is empty (with --screenshot FILE.png it saves the window first).
"""

import argparse
import os
import sys

# PyMeasure 0.9 is written for Qt 5; pyqtgraph would take PyQt6 where it is installed too.
os.environ.setdefault("PYQTGRAPH_QT_LIB", "PyQt5")

from pymeasure.display.Qt import QtCore, QtWidgets  # noqa: E402 (after the choice of Qt)
import pyqtgraph  # noqa: E402
from pyqtgraph.Qt import QtGui  # noqa: E402

from pymeasure.display.browser import BrowserItem  # noqa: E402

# PyMeasure 0.9 against Debian's pyqtgraph 0.13 and PyQt 5.15: it takes these from QtWidgets,
# where pyqtgraph before 0.13 put them, and hands a progress bar floats (100.0), which PyQt
# 5.15 refuses, and so never tells the window that a run finished.
for _name in ("QDoubleValidator", "QIcon", "QPixmap"):
    if not hasattr(QtWidgets, _name):
        setattr(QtWidgets, _name, getattr(QtGui, _name))
_set_progress = BrowserItem.setProgress
# pyqtgraph 0.13.1's segmented line drawing fails on PyQt5 for a curve of one point (a run's
# first row) with a traceback on standard error; the path drawing has no such trouble.
pyqtgraph.setConfigOption("segmentedLineMode", "off")
BrowserItem.setProgress = lambda item, progress: _set_progress(item, int(progress))
from pymeasure.display.widgets import PlotWidget  # noqa: E402
from pymeasure.display.windows import ManagedWindow  # noqa: E402
from pymeasure.experiment import Results, unique_filename  # noqa: E402

from ..safety import on_stop  # noqa: E402
from .procedure import RampProcedure  # noqa: E402

INPUTS = ["port", "voltage", "rate", "hold", "period", "max_volts"]
TITLE = "Vantrel 7340: ramp, hold, ramp down"


class MainWindow(ManagedWindow):
    """ManagedWindow with a second plot: current (uA) under voltage (V), both against time."""

    def __init__(self, directory="."):
        self.results_directory = os.path.abspath(directory)
        super().__init__(
            procedure_class=RampProcedure,
            inputs=INPUTS,
            displays=["voltage", "rate", "hold"],
            x_axis="Time (s)",
            y_axis="Voltage (V)",
        )
        self.setWindowTitle(TITLE)
        self.current_widget = PlotWidget(RampProcedure.DATA_COLUMNS, "Time (s)", "Current (uA)")
        tabs = self.findChildren(QtWidgets.QTabWidget)[0]
        both = QtWidgets.QWidget()
        column = QtWidgets.QVBoxLayout(both)
        column.setContentsMargins(0, 0, 0, 0)
        column.addWidget(self.plot_widget, 1)
        column.addWidget(self.current_widget, 1)
        tabs.insertTab(0, both, "Voltage and current")
        self.plot_widget.show()  # a widget moved to another parent is hidden
        tabs.setCurrentIndex(0)
        self.when_done = None
        self.manager.failed.connect(lambda experiment: self._maybe_done())

    def new_experiment(self, results, curve=None):
        experiment = super().new_experiment(results, curve)
        current = self.current_widget.new_curve(results, color=experiment.curve.pen.color())
        self.current_widget.plot.addItem(current)
        experiment.current_curve = current
        return experiment

    def queue(self):
        filename = unique_filename(self.results_directory, prefix="k7340-ramp-")
        results = Results(self.make_procedure(), filename)
        self.manager.queue(self.new_experiment(results))

    def finished(self, experiment):
        super().finished(experiment)
        experiment.current_curve.update()
        self._maybe_done()

    def abort_returned(self, experiment):
        super().abort_returned(experiment)
        self._maybe_done()

    def _maybe_done(self):
        if (
            self.when_done is not None
            and not self.manager.is_running()
            and not self.manager.experiments.has_next()
        ):
            QtCore.QTimer.singleShot(500, self.when_done)  # let the plots draw the last rows


def parser():
    p = argparse.ArgumentParser(prog="k7340 gui", description=__doc__.split("\n\n")[0])
    p.add_argument("--port", default="0", help="COM port number (0 = COM1) or device")
    p.add_argument("--directory", default=".", help="where the runs' CSV files go")
    for name in ("voltage", "rate", "hold", "period", "max_volts"):
        p.add_argument(
            "--" + name.replace("_", "-"),
            type=float,
            metavar="N",
            help="the %s input (%s)" % (name.replace("_", " "), getattr(RampProcedure, name).units),
        )
    p.add_argument("--queue", action="store_true", help="queue one run at the start")
    p.add_argument(
        "--exit-when-done", action="store_true", help="close the window when no run is left"
    )
    p.add_argument("--screenshot", metavar="FILE.png", help="save the window before closing")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    if not os.path.isdir(args.directory):
        print("k7340 gui: no folder %s" % args.directory, file=sys.stderr)
        return 2
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication(sys.argv[:1])
    window = MainWindow(args.directory)
    procedure = RampProcedure()
    values = {n: getattr(args, n) for n in INPUTS if getattr(args, n) is not None}
    procedure.set_parameters(values, except_missing=False)
    window.set_parameters(procedure.parameter_objects())
    if args.exit_when_done:

        def done():
            if args.screenshot:
                window.grab().save(args.screenshot)
            window.close()
            app.quit()

        window.when_done = done
    window.resize(1100, 720)
    window.show()
    if args.queue:
        QtCore.QTimer.singleShot(200, window.queue)

    def stop(signum):
        # The safety core has zeroed every supply held on; the run is aborted, the window ends.
        print(
            "k7340 gui: signal %d: output set to zero; stopping" % signum,
            file=sys.stderr,
            flush=True,
        )
        if window.manager.is_running():
            window.manager.abort()
        app.quit()

    unregister = on_stop(stop)
    awake = QtCore.QTimer()  # Python's signal handlers run only when Python code does
    awake.timeout.connect(lambda: None)
    awake.start(100)
    try:
        return app.exec_()
    finally:
        unregister()
