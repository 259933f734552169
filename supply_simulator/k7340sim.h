/*
 * k7340sim.h - the parts of k7340sim and the records they hand each other. main (k7340sim.cpp)
 * holds the one running simulator and owns the serve loop and the stop; the option table
 * (sim_options.cpp) parses into the settings it is given and applies control words to the
 * configuration and faults it is given; the EEPROM file (sim_eeprom_file.cpp) loads into and
 * saves from the model it is given; the pseudo-terminal (sim_pty.cpp) makes, links and closes
 * the terminal it is given. Each part writes only what it is passed.
 */
#ifndef K7340_K7340SIM_H
#define K7340_K7340SIM_H

#include "supply_model.h"

#include <cstdint>

enum { SIM_PATH_MAX = 4096 };

struct SimPaths {
    const char *link;       // symbolic link to the pty's slave (required)
    const char *eepromFile; // EEPROM kept in a file, or nullptr
    const char *control;    // control FIFO, or nullptr
};

// What the command line sets; value-initialised, it holds the defaults (supply_model.h's).
struct SimSettings {
    SupplyConfig config;
    SupplyFaults faults;
    SimPaths paths;
};

// sim_options.cpp: the option table behind the command line, the control FIFO and --help.

// Parses argv into settings (which holds the defaults): 0, 1 for --help, or -1 after an error
// message.
int ParseArguments(int argc, char **argv, SimSettings *settings);
void PrintUsage();

enum ControlOutcome {
    CONTROL_EMPTY,   // no word on the line
    CONTROL_SET,     // a setting was changed
    CONTROL_REFUSED, // an unknown word or a value that is not one
    CONTROL_HANGUP,  // the caller hangs up the line
    CONTROL_QUIT,    // the caller stops
};

// Cuts one line of the control FIFO into its word and argument (in place; *arg is nullptr when
// there is none) and applies a setting to config or faults. Actions are left to the caller.
ControlOutcome ApplyControl(char *line, SupplyConfig *config, SupplyFaults *faults,
                            const char **word, const char **arg);

// sim_eeprom_file.cpp: the EEPROM kept in a file.

// Loads the file into the model: 1, 0 when there is no file (the preset stays), or -1 after an
// error message for a file that cannot be read, is not a regular file or holds another size
// than the EEPROM's (a unit's stored EEPROM: refused, never written over).
int EepromFileLoad(SupplyModel *model, const char *path);
// Writes the model's EEPROM to the file whole (a new file renamed over it); says when it cannot.
void EepromFileSave(const SupplyModel *model, const char *path);

// sim_pty.cpp: the pseudo-terminal, raw at 57600 baud, and the link to its slave.

struct SimPty {
    int master; // -1 while there is none (before PtyCreate, after PtyClose)
    int slave;  // our own slave descriptor, held so the master never sees a hang-up
    char slaveName[SIM_PATH_MAX];
};

int PtyLinkIsLive(const char *link);                   // 1 when a running simulator serves it
int PtyCreate(SimPty *pty);                            // 0, or -1 after an error message
int PtyPointLink(const SimPty *pty, const char *link); // 0, or -1 after an error message
void PtyClose(SimPty *pty);

#endif
