"""PyMeasure support for the 7340 supply: the K7340 instrument, the RampProcedure (ramp, hold,
ramp down, CSV results) and a ManagedWindow GUI (``k7340 gui``, ``python3 -m k7340.pymeasure``).

Needs Debian's python3-pymeasure (0.9), python3-pyqtgraph and python3-pyqt5; the rest of the
package does not. See docs/pymeasure.md.
"""

from .instrument import K7340, K7340Adapter, volts_validator
from .procedure import RampProcedure

__all__ = ["K7340", "K7340Adapter", "RampProcedure", "volts_validator"]
