"""The window's supply panel: the Off now button, and the running procedure's latest reading
(voltage, current, setpoint, temperature, the status bits with the trip bits lit), what the run
is doing and the limit levels it sent. Nothing here polls the supply: between runs it shows the
last run's end."""

from pymeasure.display.Qt import QtWidgets

from ..binding.flags import StatusFlags
from ..safety.status import TRIP_BITS, status_text

# Each trip bit (OverV, OverI, Fault, OverT) as a lamp: lit red while the supply reports it.
LAMPS = [flag for flag in StatusFlags if flag & TRIP_BITS]
LIT = "background: #d62728; color: white; font-weight: bold; padding: 2px 6px;"
DARK = "background: #e0e0e0; color: #808080; padding: 2px 6px;"
OFF_BUTTON = "background: #b00000; color: white; font-weight: bold; padding: 6px;"
FIELDS = ["Voltage", "Current", "Setpoint", "Temperature", "Status bits", "Limits", "Run"]


class SupplyPanel(QtWidgets.QWidget):
    """``off_button`` is the window's to connect; ``show_run(procedure)`` shows what the
    procedure last read, ``say(text)`` a line under it."""

    def __init__(self, parent=None):
        super().__init__(parent)
        self.off_button = QtWidgets.QPushButton("Off now")
        self.off_button.setStyleSheet(OFF_BUTTON)
        self.off_button.setToolTip(
            "the zero setpoint at once, through the run's session, and the run aborted"
        )
        self.fields = {name: QtWidgets.QLabel("-") for name in FIELDS}
        form = QtWidgets.QFormLayout()
        for name in FIELDS:
            self.fields[name].setWordWrap(True)
            form.addRow(name, self.fields[name])
        self.lamps = {flag: QtWidgets.QLabel(flag.labels()[0]) for flag in LAMPS}
        lamps = QtWidgets.QHBoxLayout()
        for lamp in self.lamps.values():
            lamp.setStyleSheet(DARK)
            lamps.addWidget(lamp)
        lamps.addStretch()
        self.message = QtWidgets.QLabel(
            "Between runs nothing is polled: these are a run's readings"
        )
        self.message.setWordWrap(True)
        column = QtWidgets.QVBoxLayout(self)
        column.addWidget(self.off_button)
        column.addLayout(lamps)
        column.addLayout(form)
        column.addWidget(self.message)

    def show_run(self, procedure):
        self.fields["Run"].setText(procedure.phase)
        self.fields["Limits"].setText(procedure.limits_sent or "as the supply has them")
        reading = procedure.latest
        if reading is None:
            return
        self.fields["Voltage"].setText("%.1f V" % reading.volts)
        self.fields["Current"].setText("%.2f uA" % reading.microamps)
        setpoint = reading.setpoint
        self.fields["Setpoint"].setText("-" if setpoint is None else "%.1f V" % setpoint)
        self.fields["Temperature"].setText("%.1f C" % reading.temperature)
        self.fields["Status bits"].setText(
            "0x%02X %s" % (int(reading.status), status_text(reading.status))
        )
        for flag, lamp in self.lamps.items():
            lamp.setStyleSheet(LIT if flag & reading.status else DARK)

    def lit(self):
        """The labels of the lamps lit."""
        return [lamp.text() for lamp in self.lamps.values() if lamp.styleSheet() == LIT]

    def say(self, text):
        self.message.setText(text)
