/*
 * dialog_items.cpp - what the panel writes into its dialog's items for the other files: the
 * enabled state of each control by the panel's state, and formatted texts.
 */
#include "panel.h"
#include "panel_logic.h"
#include "resource.h"

#include <cstdarg>
#include <cstdio>

enum {
    PORT_NAME_MAX = 8,   // "COM1" to "COM5" and the terminator
    ITEM_TEXT_MAX = 256, // a reading, a scale or a revision; far more than any needs
};

// Probes a COM port the way the operator's choice will open it: exclusively.
static bool PortOpens(int port) {
    char name[PORT_NAME_MAX];
    snprintf(name, sizeof name, "COM%d", port + 1);
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

static void EnableItem(int id, bool enabled) {
    EnableWindow(GetDlgItem(g_panel.dialog, id), enabled);
}

void UpdateControlStates() {
    for (int port = 0; port < PORT_COUNT; port++)
        EnableItem(kPortButtonIds[port], !g_panel.online && PortOpens(port));
    EnableItem(IDC_START, StartEnabled(g_panel.comPort, g_panel.online));
    EnableItem(IDC_STOP, g_panel.online);
    EnableItem(IDC_TRACKBAR, g_panel.online);
    EnableItem(IDC_OUTPUT_ENABLE, g_panel.online);
}

void SetItemTextF(int id, const char *format, ...) {
    char text[ITEM_TEXT_MAX];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    SetDlgItemTextA(g_panel.dialog, id, text);
}
