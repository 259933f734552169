/*
 * bench_sim.h - starts and stops k7340sim for the benchmark: a fresh directory, the pty's link
 * at <dir>/com1 exported as K7340_COM1, an optional control FIFO at <dir>/control.
 */
#ifndef K7340_BENCH_SIM_H
#define K7340_BENCH_SIM_H

// Starts the simulator with the given extra options (null-terminated list). Returns 0 once the
// link exists, else -1 with a message on stderr.
int StartSim(const char *simPath, const char *const *options);

// Writes one control line ("silent on") and gives the simulator time to take it.
int ControlSim(const char *line);

// The pty link, valid while the simulator runs.
const char *SimLink();

void StopSim();

#endif
