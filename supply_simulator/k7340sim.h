/*
 * k7340sim.h - what the files of k7340sim share: the one running model, its paths, the clock,
 * the log output, the option table's parser and the pseudo-terminal.
 */
#ifndef K7340_K7340SIM_H
#define K7340_K7340SIM_H

#include "supply_model.h"

#include <csignal>
#include <cstdint>

struct SimPaths {
    const char *link;       // symbolic link to the pty's slave (required)
    const char *eepromFile; // EEPROM kept in a file, or nullptr
    const char *control;    // control FIFO, or nullptr
};

// File-scope state of the one running simulator (k7340sim.cpp).
extern SupplyModel g_model;
extern SimPaths g_paths;
extern volatile sig_atomic_t g_stop;

int64_t NowUs();
// One line of the traffic log on standard output (while --log is on).
void PrintLine(int64_t timeUs, const char *text);

// sim_options.cpp: the option table behind the command line, the control FIFO and --help.
// Parses argv straight into config, faults and g_paths: 0, 1 for --help, or -1 after an error
// message.
int ParseArguments(int argc, char **argv, SupplyConfig *config, SupplyFaults *faults);
void PrintUsage();
// Runs one line of the control FIFO (the line is cut into words in place).
void RunControl(char *line, int64_t nowUs);

// sim_pty.cpp: the pseudo-terminal, its link and the hang-up.
int PtyLinkIsLive(const char *link); // 1 when a running simulator serves the link
int PtyCreate();                     // 0, or -1 after an error message
int PtyPointLink();                  // 0, or -1 after an error message
void PtyClose();
int PtyMaster(); // the master's descriptor, or -1 while there is none (after a hang-up)
const char *PtySlaveName();
void PtyHangup(int64_t nowUs); // closes the pty, removes the link, drops queued replies
// After a hang-up: makes the new pty once its time has come; true when it did (or failed).
bool PtyReopenIfDue(int64_t nowUs);
int64_t PtyReopenDueUs(); // when the new pty comes, or -1

#endif
