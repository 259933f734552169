"""k7340 gui (python3 -m k7340.pymeasure): queue ramp/hold/ramp-down runs in a PyMeasure
ManagedWindow, watch voltage and current plot live, abort or switch off now. Each run's results
go to a CSV file in --directory (default the current one).

    k7340 gui --port /dev/ttyUSB0
    k7340 gui --port /dev/ttyUSB0 --voltage 2kV --rate 500V/s --hold 10min --queue

--queue starts one run with the given parameters at once; --exit-when-done closes the window
when the queue is empty (with --screenshot FILE.png it saves the window first) and exits 1 if a
run failed (a trip, an outage, any error).
"""

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

from ..binding.errors import K7340Error  # noqa: E402
from ..safety import on_stop  # noqa: E402
from . import options  # noqa: E402
from .panel import SupplyPanel  # noqa: E402
from .procedure import UNCHANGED, RampProcedure  # noqa: E402

TITLE = "Vantrel 7340: ramp, hold, ramp down"
LIVE_MS = 100  # how often the panel shows the running procedure's latest reading
RAMPING_DOWN = "Ramping down"  # the run's status while its ramp to zero runs
OFF_SAID = {
    True: "the zero setpoint was sent",
    False: "the zero setpoint is owed: it goes out first once the same supply answers",
    None: "the run holds no supply open (not yet, or closed at zero already): nothing to send",
}


class MainWindow(ManagedWindow):
    """ManagedWindow with a second plot: current (uA) under voltage (V), both against time; a
    supply panel with the Off now button and the running procedure's latest reading. The runs
    that failed are kept in ``failures``."""

    def __init__(self, directory="."):
        self.results_directory = os.path.abspath(directory)
        super().__init__(
            procedure_class=RampProcedure,
            inputs=options.INPUTS,
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
        self.panel = SupplyPanel()
        self.panel.off_button.clicked.connect(self.off_now)
        dock = QtWidgets.QDockWidget("Supply: the run's latest reading")
        dock.setWidget(self.panel)
        dock.setFeatures(QtWidgets.QDockWidget.NoDockWidgetFeatures)
        self.addDockWidget(QtCore.Qt.LeftDockWidgetArea, dock)
        self.failures = []
        self.when_done = None
        self.manager.failed.connect(self.failed)
        self.live = QtCore.QTimer(self)
        self.live.timeout.connect(self.show_live)
        self.live.start(LIVE_MS)

    def new_experiment(self, results, curve=None):
        experiment = super().new_experiment(results, curve)
        current = self.current_widget.new_curve(results, color=experiment.curve.pen.color())
        self.current_widget.plot.addItem(current)
        experiment.current_curve = current
        return experiment

    def queue(self):
        filename = unique_filename(self.results_directory, prefix="k7340-ramp-")
        procedure = self.make_procedure()
        procedure.limits = procedure.limits.strip() or UNCHANGED  # "" would not load back
        results = Results(procedure, filename)
        self.manager.queue(self.new_experiment(results))

    def show_live(self):
        """The running procedure's latest reading in the panel; while its ramp to zero runs,
        "Ramping down" as its status, and its rows plotted (PyMeasure plots only a run whose
        status is Running; a failed run ramps down too)."""
        if not self.manager.is_running():
            return
        experiment = self.manager.running_experiment()
        procedure = experiment.procedure
        self.panel.show_run(procedure)
        if procedure.ramping_down:
            experiment.browser_item.setText(3, RAMPING_DOWN)
            if procedure.status != RampProcedure.RUNNING:
                self._draw(experiment)

    def _draw(self, experiment):
        experiment.curve.update()
        experiment.current_curve.update()

    def _ended(self, experiment):
        """Every end: the last rows drawn, the run's own status back, the panel's last word."""
        self._draw(experiment)
        experiment.browser_item.setStatus(experiment.procedure.status)
        self.panel.show_run(experiment.procedure)
        self._maybe_done()

    def off_now(self):
        """The zero setpoint at once through the running procedure's session, then the run
        aborted; said in the panel, the log and on standard error."""
        if not self.manager.is_running():
            self.say(
                "Off now: no run holds the supply (every run ends at zero; an output that no "
                "program holds: k7340 off --port PORT)"
            )
            return
        procedure = self.manager.running_experiment().procedure
        try:
            said = OFF_SAID[procedure.off_now()]
        except K7340Error as exc:
            said = "the zero setpoint could not be sent (%s): the output may still be on" % exc
        if not procedure.should_stop():
            self.abort()
        self.say("Off now: %s; the run is aborted" % said)

    def say(self, text):
        self.panel.say(text)
        self.log.warning(text)
        print("k7340 gui: %s" % text, file=sys.stderr, flush=True)

    def failed(self, experiment):
        self.failures.append(experiment)
        error = experiment.procedure.error
        self.say(
            "%s failed: %s"
            % (os.path.basename(experiment.data_filename), error or "see the experiment log")
        )
        self._ended(experiment)

    def finished(self, experiment):
        super().finished(experiment)
        self._ended(experiment)

    def abort_returned(self, experiment):
        super().abort_returned(experiment)
        self._ended(experiment)

    def _maybe_done(self):
        if (
            self.when_done is not None
            and not self.manager.is_running()
            and not self.manager.experiments.has_next()
        ):
            QtCore.QTimer.singleShot(500, self.when_done)  # let the plots draw the last rows


def main(argv=None):
    args, values = options.parse(argv, __doc__.split("\n\n")[0])
    if not os.path.isdir(args.directory):
        print("k7340 gui: no folder %s" % args.directory, file=sys.stderr)
        return 2
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication(sys.argv[:1])
    window = MainWindow(args.directory)
    procedure = RampProcedure()
    procedure.set_parameters(values, except_missing=False)
    window.set_parameters(procedure.parameter_objects())
    if args.exit_when_done:

        def done():
            if args.screenshot:
                window.grab().save(args.screenshot)
            window.close()
            app.quit()

        window.when_done = done
    window.resize(1100, 760)
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
        return app.exec_() or (1 if window.failures else 0)
    finally:
        unregister()
