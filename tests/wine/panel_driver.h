/*
 * panel_driver.h - what the files of the Wine panel driver share: the run's record, the checks
 * and the waiting, the panel's controls, the supply-log bridge, the layout table, the popups
 * and the scenarios. panel_driver.cpp says how the driver is run.
 */
#ifndef K7340_PANEL_DRIVER_H
#define K7340_PANEL_DRIVER_H

#include "resource.h"

#include <windows.h>

#include <cstddef>
#include <string>

struct Driver {
    const char *panelExe;
    const char *simLog;
    const char *bridgeDir;
    PROCESS_INFORMATION process;
    HWND dialog;
    int failures;
    int checks;
    int requests;
};

extern Driver g_driver;

// --- checks and waiting (driver_checks.cpp) ---------------------------------------------------

// Counts one check and prints its line.
void Check(bool ok, const char *what, const std::string &detail = std::string());

template <typename Condition> bool WaitUntil(Condition condition, int timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (static_cast<int>(GetTickCount() - start) > timeoutMs)
            return false;
        Sleep(20);
    }
}

HWND Item(int id);
std::string WindowText(HWND window);
std::string Text(int id);
std::string Trimmed(int id); // without the field's padding ("%9.0lf" right-aligns)
bool Checked(int id);
bool Enabled(int id);
double Reading(int id);
int BarPos(int id);
void CheckText(int id, const char *expected, int timeoutMs = 3000);
void CheckEnabled(int id, bool expected);
void CheckChecked(int id, bool expected, int timeoutMs = 3000);

// --- the panel's process and its controls (driver_panel.cpp) ----------------------------------

bool LaunchPanel();
bool PanelAlive();
bool WaitForExit(int timeoutMs, DWORD *code);
void KillPanel();
// A visible dialog of the panel's process other than the panel: a message box or a popup.
HWND FindPanelWindow(const char *title, int *count = nullptr);
std::string MessageBoxText(HWND box);
void Click(int id); // posted, so that a message box opened by the click cannot block the driver
void MoveTrackbar(int position);
void ClickFine(bool up);
void Key(WORD key);
void Foreground();
bool WaitOnline();
bool WaitForVolts(double target, double tolerance);
// COM1 and Start, once choosing the port has enabled Start; false when it did not in 3 s.
bool ChooseCom1AndStart();
// The warning box a blank EEPROM brings up, or nullptr when none came in 15 s.
HWND WaitForWarning();
// COM1, Start, the warning confirmed: true once the panel is online.
bool ConnectThroughWarning();

// --- the supply-log bridge (driver_log.cpp) ---------------------------------------------------

size_t LogMark();
// Checks that the supply received a command the log decodes as words, after mark.
void CheckLog(size_t mark, const char *words, const char *what, int timeoutMs = 2000);
// Marks the log, acts, and checks that the supply received words.
template <typename Action>
void CheckSent(const char *words, const char *what, Action act, int timeoutMs = 2000) {
    const size_t mark = LogMark();
    act();
    CheckLog(mark, words, what, timeoutMs);
}
void Simulator(const char *command); // a line for the simulator's control FIFO
void Screenshot(const char *name);   // the panel and any popup of its process

// --- the resources and the layout (driver_resources.cpp, driver_layout.cpp) -------------------

enum { ANY_TYPE = -1, MOVED_BY_BUDDY = 1 };

struct ControlLayout {
    int id; // -1: a label or group box
    const char *cls;
    const char *text; // null: not compared (set at run time)
    int x, y, w, h;   // dialog units
    int type;         // button or static type (low bits of the style), or ANY_TYPE
    DWORD on, off;    // style bits that must be set, and clear
    DWORD exOn;       // extended style bits that must be set
    int flags;
};

extern const ControlLayout LAYOUT[];
extern const int LAYOUT_COUNT;

// The panel's "Help" template created here unseen, with the panel's font.
HWND HelpTemplateHere();
void CheckEditTemplate();
void CheckHelpTemplate();
void CheckIcons();
void CheckLayout();

// --- the popups (driver_popups.cpp) -----------------------------------------------------------

void CheckAboutPopup();
void CheckContextHelp();
void CheckPopupTimesOut();

// --- the scenarios (driver_scenarios.cpp) -----------------------------------------------------

void ScenarioMain();
void ScenarioBlank();
void ScenarioDemo();

#endif
