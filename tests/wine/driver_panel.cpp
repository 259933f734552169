/*
 * driver_panel.cpp - the panel's process, its windows, and the operator's actions on it.
 */
#include "panel_driver.h"

#include <commctrl.h>

#include <cmath>
#include <cstdio>
#include <cstring>

static const char PANEL_TITLE[] = "Vantrel 7340";

// Posted, so that a message box opened by the click cannot block the driver.
void Click(int id) {
    PostMessageA(Item(id), BM_CLICK, 0, 0);
}

bool PanelAlive() {
    return WaitForSingleObject(g_driver.process.hProcess, 0) == WAIT_TIMEOUT;
}

struct WindowSearch {
    DWORD processId;
    HWND exclude;
    const char *title; // null: any title
    HWND found;
    int count;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    WindowSearch *search = reinterpret_cast<WindowSearch *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (pid != search->processId || window == search->exclude || !IsWindowVisible(window) ||
        strcmp(cls, "#32770") != 0)
        return TRUE;
    if (search->title != nullptr && WindowText(window) != search->title)
        return TRUE;
    search->found = window;
    search->count++;
    return TRUE;
}

// A visible dialog of the panel's process other than the panel: a message box or a popup.
HWND FindPanelWindow(const char *title, int *count) {
    WindowSearch search = {g_driver.process.dwProcessId, g_driver.dialog, title, nullptr, 0};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (count != nullptr)
        *count = search.count;
    return search.found;
}

static BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    char cls[32] = "";
    GetClassNameA(child, cls, sizeof cls);
    if (strcmp(cls, "Static") == 0)
        *reinterpret_cast<std::string *>(param) += WindowText(child);
    return TRUE;
}

std::string MessageBoxText(HWND box) {
    std::string text;
    EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
    return text;
}

bool LaunchPanel() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    char command[MAX_PATH + 2];
    snprintf(command, sizeof command, "\"%s\"", g_driver.panelExe);
    if (!CreateProcessA(g_driver.panelExe, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &g_driver.process)) {
        Check(false, "7340demo.exe started", std::to_string(GetLastError()));
        return false;
    }
    bool found = WaitUntil(
        [] {
            g_driver.dialog = FindWindowA("#32770", PANEL_TITLE);
            return g_driver.dialog != nullptr;
        },
        30000);
    // Found as soon as it exists; its controls are there once its initialisation has run.
    found = found && WaitUntil(
                         [] {
                             return IsWindowVisible(g_driver.dialog) &&
                                    Trimmed(IDC_CONNECTION_STATE) == "Offline";
                         },
                         15000);
    Check(found, "panel dialog found by its title");
    return found;
}

bool WaitForExit(int timeoutMs, DWORD *code) {
    if (WaitForSingleObject(g_driver.process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(g_driver.process.hProcess, code);
    return true;
}

void KillPanel() {
    if (PanelAlive())
        TerminateProcess(g_driver.process.hProcess, 1);
}

// --- panel actions --------------------------------------------------------------------------

// The trackbar as the operator leaves it: a new position, then the end of the drag.
void MoveTrackbar(int position) {
    HWND trackbar = Item(IDC_TRACKBAR);
    SendMessageA(trackbar, TBM_SETPOS, TRUE, position);
    SendMessageA(g_driver.dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position),
                 reinterpret_cast<LPARAM>(trackbar));
    SendMessageA(g_driver.dialog, WM_HSCROLL, TB_ENDTRACK, reinterpret_cast<LPARAM>(trackbar));
}

// A real click on the upper (up arrow) or lower half of the up-down.
void ClickFine(bool up) {
    HWND updown = Item(IDC_FINE);
    RECT client;
    GetClientRect(updown, &client);
    int x = client.right / 2;
    int y = up ? client.bottom / 4 : client.bottom * 3 / 4;
    PostMessageA(updown, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageA(updown, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

void Key(WORD key) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

void Foreground() {
    SetForegroundWindow(g_driver.dialog);
    WaitUntil([] { return GetForegroundWindow() == g_driver.dialog; }, 2000);
}

bool WaitOnline() {
    return WaitUntil([] { return Trimmed(IDC_CONNECTION_STATE) == "Online"; }, 15000);
}

// Waits for the voltage reading to settle near target; false if it does not within 10 s.
bool WaitForVolts(double target, double tolerance) {
    return WaitUntil(
        [&] {
            std::string text = Trimmed(IDC_VOLTAGE);
            return !text.empty() && text != "error" &&
                   std::fabs(Reading(IDC_VOLTAGE) - target) <= tolerance;
        },
        10000);
}

bool ChooseCom1AndStart() {
    Click(IDC_COM1);
    const bool enabled = WaitUntil([] { return Enabled(IDC_START); }, 3000);
    Click(IDC_START);
    return enabled;
}

HWND WaitForWarning() {
    HWND box = nullptr;
    WaitUntil(
        [&] {
            box = FindPanelWindow("Warning");
            return box != nullptr;
        },
        15000);
    return box;
}

bool ConnectThroughWarning() {
    ChooseCom1AndStart();
    PostMessageA(WaitForWarning(), WM_COMMAND, IDOK, 0);
    return WaitOnline();
}
