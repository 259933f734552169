/*
 * panel.h - the panel's one state record and the operations its files share.
 *
 * main.cpp          start-up and the owner window
 * panel_dialog.cpp  the dialog procedure's dispatch and port selection
 * connection.cpp    connection, polling, setpoint, error text and indicators
 * dialog_items.cpp  control states and formatted item texts
 * help_popup.cpp    context help and the about popup
 *
 * The calls run one way: the dialog calls the connection and the help, and both the dialog and
 * the connection call the items; the items call none of them.
 */
#ifndef K7340_PANEL_H
#define K7340_PANEL_H

#include <windows.h>
#include <commctrl.h>

enum { POLL_TIMER = 1, POLL_PERIOD_MS = 50, DEVICE = 0 };

struct PanelState {
    HINSTANCE instance;
    HWND dialog;
    HWND trackbar;
    HWND voltageBar;
    HWND currentBar;
    int comPort; // 0 to 4 for COM1 to COM5, -1 until one is chosen
    int online;

    int setpoint; // whole volts
    int outputEnabled;
    int setpointPending;
    int vrange;
    int irange;
    int sliderSteps;
    int starting; // a Start is waiting on its warning box: a second Start is ignored
    int exited;   // ExitPanel has run: the owner window's end must not repeat it

    int contextHelpArmed;
    const char *helpText;
    int helpTicks;
};

extern PanelState g_panel;

// panel_dialog.cpp
INT_PTR CALLBACK PanelDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// dialog_items.cpp
void UpdateControlStates(); // ports, Start, Stop, slider and Output Enable by the panel's state
void SetItemTextF(int id, const char *format, ...) __attribute__((format(printf, 2, 3)));

// connection.cpp
void StartConnection();
void StopCommand();
void StopConnection();
void ExitPanel();
void OutputEnableCommand();
void SetSetpointFromSlider();
void SetSetpointFromFine(const NMUPDOWN *notification);
void PollDevice();
void ShowErrorAndStatus(int code);

// help_popup.cpp
void HelpRequest(const HELPINFO *request);
void ShowHelpPopup(const HELPINFO *request);
INT_PTR CALLBACK HelpDlgProc(HWND popup, UINT message, WPARAM wParam, LPARAM lParam);

#endif
