/*
 * panel_dialog.cpp - the panel dialog's procedure: a dispatch table of small handlers, the
 * dialog's initialisation and the port selection.
 */
#include "panel.h"
#include "panel_logic.h"
#include "resource.h"

#include <commctrl.h>

enum { PANEL_LEFT = 50, PANEL_TOP = 50 }; // where the panel opens on the screen

// Port selection: the first checked radio button names the port.
static void SelectPort() {
    int checked[PORT_COUNT];
    for (int port = 0; port < PORT_COUNT; port++) {
        checked[port] = SendDlgItemMessageA(g_panel.dialog, kPortButtonIds[port], BM_GETCHECK, 0,
                                            0) == BST_CHECKED;
    }
    g_panel.comPort = PortFromChecks(checked, g_panel.comPort);
    UpdateControlStates();
}

static void ExitCommand() {
    ExitPanel();
}

struct CommandEntry {
    int id;
    void (*handler)();
    BOOL handled; // TRUE: answered TRUE and followed by a poll at once while online
};

// A port selection, Start, Stop or Output Enable reaches the supply without waiting for the
// timer; the exit command is answered FALSE, as the dialog manager's own commands are.
static const CommandEntry COMMANDS[] = {
    {IDC_COM1, SelectPort, TRUE},   {IDC_COM2, SelectPort, TRUE},
    {IDC_COM3, SelectPort, TRUE},   {IDC_COM4, SelectPort, TRUE},
    {IDC_COM5, SelectPort, TRUE},   {IDC_START, StartConnection, TRUE},
    {IDC_STOP, StopCommand, TRUE},  {IDC_OUTPUT_ENABLE, OutputEnableCommand, TRUE},
    {IDM_EXIT, ExitCommand, FALSE},
};

static INT_PTR OnInitDialog(HWND dialog, WPARAM, LPARAM) {
    g_panel.dialog = dialog;
    // In front of other windows, but not kept there.
    SetWindowPos(dialog, HWND_TOPMOST, PANEL_LEFT, PANEL_TOP, 0, 0, SWP_NOSIZE);
    SetWindowPos(dialog, HWND_NOTOPMOST, PANEL_LEFT, PANEL_TOP, 0, 0, SWP_NOSIZE);
    HICON icon = LoadIconA(g_panel.instance, "AIcon");
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    g_panel.trackbar = GetDlgItem(dialog, IDC_TRACKBAR);
    g_panel.voltageBar = GetDlgItem(dialog, IDC_VOLTAGE_BAR);
    g_panel.currentBar = GetDlgItem(dialog, IDC_CURRENT_BAR);
    SetDlgItemTextA(dialog, IDC_CONNECTION_STATE, "Offline");
    UpdateControlStates();
    SetTimer(dialog, POLL_TIMER, POLL_PERIOD_MS, nullptr);
    return TRUE;
}

static INT_PTR OnCommand(HWND, WPARAM wParam, LPARAM) {
    int id = LOWORD(wParam);
    for (const CommandEntry &command : COMMANDS) {
        if (command.id != id)
            continue;
        command.handler();
        if (command.handled && g_panel.online)
            PollDevice();
        return command.handled;
    }
    return FALSE; // IDOK and IDCANCEL (Enter, Escape) included: the panel stays open
}

static INT_PTR OnTimer(HWND, WPARAM, LPARAM) {
    if (g_panel.online)
        PollDevice();
    return TRUE;
}

static INT_PTR OnHScroll(HWND, WPARAM, LPARAM lParam) {
    if (reinterpret_cast<HWND>(lParam) == g_panel.trackbar)
        SetSetpointFromSlider();
    return TRUE;
}

static INT_PTR OnNotify(HWND, WPARAM, LPARAM lParam) {
    const NMHDR *header = reinterpret_cast<const NMHDR *>(lParam);
    if (header->code == UDN_DELTAPOS && header->idFrom == IDC_FINE)
        SetSetpointFromFine(reinterpret_cast<const NMUPDOWN *>(lParam));
    return TRUE;
}

static INT_PTR OnHelp(HWND, WPARAM, LPARAM lParam) {
    HelpRequest(reinterpret_cast<const HELPINFO *>(lParam));
    return TRUE;
}

// The whole value is compared: the low four bits are not masked off.
static INT_PTR OnSysCommand(HWND, WPARAM wParam, LPARAM) {
    if (wParam == SC_CONTEXTHELP)
        g_panel.contextHelpArmed = 1;
    else if (wParam == SC_CLOSE)
        ExitPanel();
    return FALSE; // default processing: help mode, or the close that ends in IDCANCEL
}

struct MessageEntry {
    UINT message;
    INT_PTR (*handler)(HWND, WPARAM, LPARAM);
};

static const MessageEntry MESSAGES[] = {
    {WM_INITDIALOG, OnInitDialog}, {WM_COMMAND, OnCommand}, {WM_TIMER, OnTimer},
    {WM_HSCROLL, OnHScroll},       {WM_NOTIFY, OnNotify},   {WM_HELP, OnHelp},
    {WM_SYSCOMMAND, OnSysCommand},
};

INT_PTR CALLBACK PanelDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageEntry &entry : MESSAGES)
        if (entry.message == message)
            return entry.handler(dialog, wParam, lParam);
    return FALSE;
}
