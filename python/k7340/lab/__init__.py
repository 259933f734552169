"""Lab tools on top of the binding and the safety core: ramp planning and ramping."""
