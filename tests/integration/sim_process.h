/*
 * sim_process.h - k7340sim as a child process of an integration test.
 *
 * StartSim makes a fresh directory under $TMPDIR (or /tmp), starts K7340SIM_PATH there with
 *   --link <dir>/com1 --log --control <dir>/control --eeprom-file <dir>/eeprom.bin
 * followed by the caller's options (which therefore override these), waits until the link
 * exists and points K7340_COM1 (the Linux library's COM port 0) at it. The decoded traffic log
 * goes to <dir>/sim.log, the simulator's own messages to <dir>/sim.stderr.
 *
 *   SimProcess sim;
 *   ASSERT_EQ(StartSim(&sim, {"--eeprom", "blank"}), 0);
 *   ... K7340_OpenDevice(0, 0) ...
 *   EXPECT_NE(SimLog(&sim).find("read EEPROM 127"), std::string::npos);
 *   EXPECT_EQ(StopSim(&sim), 0);
 *   CleanupSim(&sim);
 *
 * ScopedSim does the last two in its destructor.
 */
#ifndef K7340_SIM_PROCESS_H
#define K7340_SIM_PROCESS_H

#include <initializer_list>
#include <string>
#include <sys/types.h>

struct SimProcess {
    pid_t pid;             // 0 when not running
    char dir[256];         // the fresh directory
    char link[320];        // <dir>/com1, the pty
    char logPath[320];     // <dir>/sim.log, decoded traffic
    char stderrPath[320];  // <dir>/sim.stderr
    char controlPath[320]; // <dir>/control, the control FIFO
    char eepromPath[320];  // <dir>/eeprom.bin, the EEPROM as last written
    bool quiet;            // started without log and EEPROM file
};

// Starts the simulator; 0 when its link exists, else -1 with a message on stderr (the child,
// if it started, is stopped again).
int StartSim(SimProcess *sim, std::initializer_list<const char *> options = {});

// The same with another simulator program and a null-terminated option list. quiet (the
// benchmark's simulator) leaves out the traffic log and the EEPROM file, which cost time in every
// exchange; SimControl then waits a fixed 50 ms instead of for the log's confirmation.
int StartSimProgram(SimProcess *sim, const char *program, const char *const *options, bool quiet);

// Waits up to timeoutMs for the link to exist (after a start or a "hangup"); 0 or -1.
int WaitForSimLink(const SimProcess *sim, int timeoutMs);

// Writes one control command line ("silent on", "delay 20", "hangup", ...) and waits until
// the simulator has taken it, so it holds for the next exchange. 0 or -1.
int SimControl(const SimProcess *sim, const char *command);

// The decoded traffic log so far.
std::string SimLog(const SimProcess *sim);

// The 128 EEPROM bytes as the simulator last saved them (empty if unreadable).
std::string SimEeprom(const SimProcess *sim);

// SIGTERM and waitpid (SIGKILL after 10 s). Returns the exit status, or -1 if it did not exit
// normally. Calling it again returns 0.
int StopSim(SimProcess *sim);

// Removes the directory and its files. Call after StopSim.
void CleanupSim(SimProcess *sim);

struct ScopedSim {
    SimProcess sim{};
    ~ScopedSim() {
        StopSim(&sim);
        CleanupSim(&sim);
    }
};

#endif
