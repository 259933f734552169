"""Rows for a table of k7340 gui's behaviours: each row_...(tmp_path) starts a k7340sim, runs the
window or `k7340 gui`'s main in this process (Qt's offscreen platform) and asserts."""

import contextlib
import io
import threading

from binding_support import wait_for
from pymeasure.experiment import Results

from k7340.pymeasure.gui import MainWindow, QtWidgets, main
from k7340.pymeasure.procedure import RampProcedure
from k7340.testing import simulated_supply

QUEUE = ("--queue", "--exit-when-done")
OFFSCREEN = ["", "-platform", "offscreen"]
REFUSED = "--voltage 2kVA|--rate 0.05V/s|--voltage 3kV --max-volts 2kV|--limits 1%".split("|")
RUN = dict(voltage=2000, rate=10000, hold=30, period=0.05)
SIM = dict(vrange=30000, load_ohms=100e6, slew=0)  # 1000 V: 10 uA


def sent(sim):
    """The setpoints the simulator took, oldest first."""
    lines = [ln.split("  ", 1)[1] for ln in sim.log().splitlines() if " > " in ln]
    return [ln for ln in lines if ln.startswith("set ") or ln == "output off"]


def application():
    global APP  # kept: Qt would lose an application nobody holds
    APP = QtWidgets.QApplication.instance() or QtWidgets.QApplication(OFFSCREEN)


def gui(port, tmp_path, *argv):
    """`k7340 gui --port port --directory tmp_path argv`: (exit status, its standard error)."""
    application()
    with contextlib.redirect_stderr(io.StringIO()) as said:
        try:
            status = main(["--port", port, "--directory", str(tmp_path), *argv])
        except SystemExit as exc:
            status = exc.code
    return status, said.getvalue()


def window(sim, tmp_path, **inputs):
    application()
    win = MainWindow(str(tmp_path))
    run = RampProcedure(**dict(RUN, port=sim, **inputs))
    win.set_parameters(run.parameter_objects())
    win.queue()
    return win, win.manager.experiments[-1]


def spin(predicate, seconds=10):
    return wait_for(lambda: QtWidgets.QApplication.processEvents() or predicate(), seconds)


def shows(experiment, status):
    return spin(lambda: experiment.browser_item.text(3) == status)


def row_units_in_and_one_line_refusals(tmp_path):
    with simulated_supply(**SIM) as sim:
        argv = ["--voltage", "2kV", "--rate", "4kV/s", "--hold", "500ms", "--period", "100ms"]
        status, said = gui(sim, tmp_path, *argv, *QUEUE)
        assert status == 0, said
        run = Results.load(str(next(tmp_path.glob("k7340-ramp-*.csv"))))
        assert (run.procedure.voltage, run.procedure.rate, run.procedure.hold) == (2000, 4000, 0.5)
        assert sent(sim)[0] == "set 200.0 V, output on" and sent(sim)[-1] == "output off"
        for refused in map(str.split, REFUSED):
            status, said = gui(sim, tmp_path, *refused)
            assert status == 2 and said.count("\n") == 1 and refused[-2] in said, said


def row_abort_ramps_down_in_rows_and_status(tmp_path):
    with simulated_supply(**SIM) as sim:
        win, run = window(sim, tmp_path, rate=2000)  # 100 V a step
        assert spin(lambda: "set 2000.0 V, output on" in sent(sim))
        win.abort()
        assert shows(run, "Ramping down")
        assert win.panel.fields["Run"].text() == "ramping down to zero after Abort"
        assert shows(run, "Aborted") and sent(sim)[-1] == "output off"
        setpoints = Results.load(run.data_filename).data["Setpoint (V)"]
        down = setpoints[setpoints.idxmax() :]
        assert down.is_monotonic_decreasing and (down < 2000).sum() == 20 and down.iloc[-1] == 0
        assert "ramping down to zero at 2000 V/s after Abort" in win.log_widget.view.toPlainText()


def row_off_now_zeroes_at_once_and_aborts(tmp_path):
    with simulated_supply(**SIM) as sim:
        win, run = window(sim, tmp_path, period=0.5)  # the run's next tick is 0.5 s away
        assert spin(lambda: sent(sim)[-1:] == ["set 2000.0 V, output on"])
        win.panel.off_button.click()
        assert shows(run, "Aborted") and sent(sim)[-2:] == ["set 2000.0 V, output on", "output off"]
        head = sim.log().split("  output off")[0]  # up to the Off
        asked = [ln.split() for ln in head.splitlines() if " > " in ln]
        poll = [words[0] for words in asked if "meter" in words][-1]
        assert float(asked[-1][0]) - float(poll) < 0.25  # from the click, not the run's next tick
        assert "Off now: the zero setpoint was sent; the run is aborted" in win.panel.message.text()


def row_live_reading_and_trip_bits(tmp_path):
    with simulated_supply(**SIM) as sim:
        win, run = window(sim, tmp_path, voltage=1000)
        voltage = win.panel.fields["Voltage"]
        assert spin(lambda: voltage.text() != "-" and abs(float(voltage.text()[:-2]) - 1000) < 5)
        assert win.panel.fields["Current"].text() == "10.00 uA" and win.panel.lit() == []
        sim.control("status-bits 0x02")
        assert shows(run, "Failed") and win.failures == [run] and win.panel.lit() == ["OverI"]
        assert "OverI" in win.panel.fields["Status bits"].text()
        assert sent(sim)[-2:] == ["set 1000.0 V, output on", "output off"]  # off at once


def row_failed_run_exits_1(tmp_path):
    for control in ("status-bits 0x10", "silent on"):  # a trip (Fault), an outage (no answer)
        with simulated_supply(**SIM) as sim:
            on = lambda: "set 1000.0 V, output on" in sent(sim)  # noqa: E731
            threading.Thread(target=lambda: wait_for(on, 20) and sim.control(control)).start()
            status, said = gui(sim, tmp_path, "--voltage", "1kV", "--rate", "10kV/s", *QUEUE)
            assert status == 1 and on() and "failed" in said, said


def row_limits_go_out_before_the_output(tmp_path):
    with simulated_supply(**SIM) as sim:
        win, run = window(sim, tmp_path, limits="100%,5%")  # OverI above about 950 V
        assert (
            shows(run, "Failed") and win.panel.lit() == ["OverI"] and sent(sim)[-1] == "output off"
        )
        assert win.panel.fields["Limits"].text().startswith("100%, ")
        log, before = sim.log(), sent(sim)
        assert log.index("current limit level") < log.index("output on")
        win, run = window(sim, tmp_path, limits="100%")
        assert shows(run, "Failed") and "two percentages" in str(run.procedure.error)
        assert sent(sim) == before  # refused before the port opened
