/*
 * panel_driver.cpp - works 7340demo.exe from outside under Wine, the way an operator would:
 * finds the dialog by its title, clicks and moves its controls, reads texts, check marks and
 * enabled states back, and checks in k7340sim's traffic log what the supply received.
 *
 *   panel_driver SCENARIO PANEL_EXE SIM_LOG BRIDGE_DIR
 *
 * SCENARIO is main (a configured supply on COM1, nothing on COM5),
 * blank (a supply with a blank EEPROM on COM1) or demo (the scripted session of scripts/demo).
 * BRIDGE_DIR is where the driver asks the shell script for what a Windows program cannot do
 * itself: "N.shot" (a screenshot named by the file's text) and "N.ctl" (a line for the
 * simulator's control FIFO); the script answers each with "N.done".
 * Exit status 0 when every check passed; every check prints one line.
 */
#include "resource.h"

#include <windows.h>
#include <commctrl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kPanelTitle[] = "Vantrel 7340";

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

Driver g_driver;

void Check(bool ok, const char *what, const std::string &detail = std::string()) {
    ++g_driver.checks;
    if (!ok) {
        ++g_driver.failures;
    }
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : " -- ",
                detail.c_str());
    std::fflush(stdout);
}

template <typename Condition> bool WaitUntil(Condition condition, int timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) {
            return true;
        }
        if (static_cast<int>(GetTickCount() - start) > timeoutMs) {
            return false;
        }
        Sleep(20);
    }
}

HWND Item(int id) {
    return GetDlgItem(g_driver.dialog, id);
}

std::string WindowText(HWND window) {
    char text[512] = "";
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    return text;
}

std::string Text(int id) {
    return WindowText(Item(id));
}

// Trims the field's padding ("%9.0lf" right-aligns).
std::string Trimmed(int id) {
    std::string text = Text(id);
    size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

bool Checked(int id) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(Item(id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
    return result == BST_CHECKED;
}

bool Enabled(int id) {
    return IsWindowEnabled(Item(id)) != FALSE;
}

// Posted, so that a message box opened by the click cannot block the driver.
void Click(int id) {
    PostMessageA(Item(id), BM_CLICK, 0, 0);
}

bool PanelAlive() {
    return WaitForSingleObject(g_driver.process.hProcess, 0) == WAIT_TIMEOUT;
}

void CheckText(int id, const char *expected, int timeoutMs = 3000) {
    bool ok = WaitUntil([&] { return Trimmed(id) == expected; }, timeoutMs);
    char what[96];
    std::snprintf(what, sizeof what, "%d reads \"%s\"", id, expected);
    Check(ok, what, ok ? "" : "it reads \"" + Text(id) + "\"");
}

void CheckEnabled(int id, bool expected) {
    char what[64];
    std::snprintf(what, sizeof what, "%d %s", id, expected ? "enabled" : "disabled");
    Check(Enabled(id) == expected, what);
}

void CheckChecked(int id, bool expected, int timeoutMs = 3000) {
    char what[64];
    std::snprintf(what, sizeof what, "%d %s", id, expected ? "checked" : "unchecked");
    Check(WaitUntil([&] { return Checked(id) == expected; }, timeoutMs), what);
}

// --- the simulator's traffic log ------------------------------------------------------------

std::string ReadLog() {
    HANDLE file = CreateFileA(g_driver.simLog, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

size_t LogMark() {
    return ReadLog().size();
}

// Waits until the supply has received a command that the log decodes as `words`, after mark.
bool LogShows(size_t mark, const char *words, int timeoutMs) {
    return WaitUntil([&] { return ReadLog().find(words, mark) != std::string::npos; }, timeoutMs);
}

void CheckLog(size_t mark, const char *words, const char *what, int timeoutMs = 2000) {
    DWORD start = GetTickCount();
    bool ok = LogShows(mark, words, timeoutMs);
    char detail[64];
    std::snprintf(detail, sizeof detail, "after %lu ms",
                  static_cast<unsigned long>(GetTickCount() - start));
    Check(ok, what, ok ? detail : std::string("\"") + words + "\" not in the log");
}

// --- requests to the shell script -----------------------------------------------------------

bool Request(const char *kind, const char *text) {
    int n = ++g_driver.requests;
    char path[MAX_PATH], temp[MAX_PATH], done[MAX_PATH];
    std::snprintf(temp, sizeof temp, "%s\\%d.tmp", g_driver.bridgeDir, n);
    std::snprintf(path, sizeof path, "%s\\%d.%s", g_driver.bridgeDir, n, kind);
    std::snprintf(done, sizeof done, "%s\\%d.done", g_driver.bridgeDir, n);
    FILE *file = std::fopen(temp, "wb");
    if (file == nullptr) {
        return false;
    }
    std::fputs(text, file);
    std::fclose(file);
    MoveFileA(temp, path); // the script sees the request whole or not at all
    return WaitUntil([&] { return GetFileAttributesA(done) != INVALID_FILE_ATTRIBUTES; }, 20000);
}

void Simulator(const char *command) {
    Check(Request("ctl", command), "simulator told", command);
}

// --- finding windows ------------------------------------------------------------------------

struct WindowSearch {
    DWORD processId;
    HWND exclude;
    const char *title; // null: any title
    HWND found;
    int count;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    WindowSearch *search = reinterpret_cast<WindowSearch *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (pid != search->processId || window == search->exclude || !IsWindowVisible(window) ||
        std::strcmp(cls, "#32770") != 0) {
        return TRUE;
    }
    if (search->title != nullptr && WindowText(window) != search->title) {
        return TRUE;
    }
    search->found = window;
    ++search->count;
    return TRUE;
}

// A visible dialog of the panel's process other than the panel: a message box or a popup.
HWND FindPanelWindow(const char *title, int *count = nullptr) {
    WindowSearch search = {g_driver.process.dwProcessId, g_driver.dialog, title, nullptr, 0};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (count != nullptr) {
        *count = search.count;
    }
    return search.found;
}

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    char cls[32] = "";
    GetClassNameA(child, cls, sizeof cls);
    if (std::strcmp(cls, "Static") == 0) {
        *reinterpret_cast<std::string *>(param) += WindowText(child);
    }
    return TRUE;
}

std::string MessageBoxText(HWND box) {
    std::string text;
    EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
    return text;
}

// The panel and any popup of its process, with a margin: "NAME WxH+X+Y" for import -crop.
void Screenshot(const char *name) {
    RECT area;
    GetWindowRect(g_driver.dialog, &area);
    HWND popup = FindPanelWindow(nullptr);
    if (popup != nullptr) {
        RECT extra;
        GetWindowRect(popup, &extra);
        UnionRect(&area, &area, &extra);
    }
    InflateRect(&area, 12, 12);
    area.left = area.left < 0 ? 0 : area.left;
    area.top = area.top < 0 ? 0 : area.top;
    char request[128];
    std::snprintf(request, sizeof request, "%s %ldx%ld+%ld+%ld", name, area.right - area.left,
                  area.bottom - area.top, area.left, area.top);
    Check(Request("shot", request), "screenshot taken", request);
}

// --- the panel's process --------------------------------------------------------------------

bool LaunchPanel() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    char command[MAX_PATH + 2];
    std::snprintf(command, sizeof command, "\"%s\"", g_driver.panelExe);
    if (!CreateProcessA(g_driver.panelExe, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &g_driver.process)) {
        Check(false, "7340demo.exe started", std::to_string(GetLastError()));
        return false;
    }
    bool found = WaitUntil(
        [] {
            g_driver.dialog = FindWindowA("#32770", kPanelTitle);
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
    if (WaitForSingleObject(g_driver.process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(g_driver.process.hProcess, code);
    return true;
}

void KillPanel() {
    if (PanelAlive()) {
        TerminateProcess(g_driver.process.hProcess, 1);
    }
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

double Reading(int id) {
    return std::atof(Trimmed(id).c_str());
}

int BarPos(int id) {
    DWORD_PTR pos = 0;
    SendMessageTimeoutA(Item(id), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
    return static_cast<int>(pos);
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

void CheckStartState() {
    const int radios[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_COM5};
    bool noneChecked = true;
    for (int id : radios) {
        noneChecked = noneChecked && !Checked(id);
    }
    Check(noneChecked, "no port checked at start");
    CheckText(IDC_CONNECTION_STATE, "Offline");
    CheckEnabled(IDC_START, false);
    CheckEnabled(IDC_STOP, false);
    CheckEnabled(IDC_TRACKBAR, false);
    CheckEnabled(IDC_OUTPUT_ENABLE, false);
    CheckEnabled(IDC_FINE, true);
    CheckEnabled(IDC_COM1, true);
}

void CheckOnlineState() {
    CheckText(IDC_CONNECTION_STATE, "Online");
    const int radios[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_COM5};
    for (int id : radios) {
        CheckEnabled(id, false);
    }
    CheckEnabled(IDC_START, false);
    CheckEnabled(IDC_STOP, true);
    CheckEnabled(IDC_TRACKBAR, true);
    CheckEnabled(IDC_OUTPUT_ENABLE, true);
    CheckChecked(IDC_OUTPUT_ENABLE, false);
}

// Enter and Escape reach the dialog manager as IDOK and IDCANCEL, which must not close it.
void CheckEnterAndEscape() {
    Foreground();
    Key(VK_RETURN);
    Key(VK_ESCAPE);
    PostMessageA(g_driver.dialog, WM_COMMAND, IDOK, 0);
    PostMessageA(g_driver.dialog, WM_COMMAND, IDCANCEL, 0);
    Sleep(1000);
    Check(PanelAlive() && IsWindowVisible(g_driver.dialog), "Enter and Escape leave it open");
}

// --- help popups ----------------------------------------------------------------------------

// The panel's "Help" template, loaded from its executable and created here unseen: it has the
// panel's font, so it converts dialog units and measures text as the panel does (dialog units
// cannot be converted across processes).
INT_PTR CALLBACK QuietProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

HWND HelpTemplateHere() {
    static HWND dialog;
    if (dialog != nullptr) {
        return dialog;
    }
    HMODULE module = LoadLibraryExA(g_driver.panelExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC resource = FindResourceA(module, "Help", reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (resource == nullptr) {
        return nullptr;
    }
    DWORD size = SizeofResource(module, resource);
    static unsigned char copy[4096];
    if (size > sizeof copy) {
        return nullptr;
    }
    std::memcpy(copy, LockResource(LoadResource(module, resource)), size);
    reinterpret_cast<DLGTEMPLATE *>(copy)->style &= ~WS_VISIBLE;
    dialog = CreateDialogIndirectParamA(
        GetModuleHandleA(nullptr), reinterpret_cast<DLGTEMPLATE *>(copy), nullptr, QuietProc, 0);
    return dialog;
}

// Client size the panel gives a popup for text: the text measured within the template's client
// width in the default GUI font, plus the margins.
SIZE ExpectedPopupClient(const char *text) {
    SIZE size = {0, 0};
    HWND dialog = HelpTemplateHere();
    if (dialog == nullptr) {
        return size;
    }
    HDC dc = GetDC(dialog);
    RECT rect;
    GetClientRect(dialog, &rect);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    DrawTextA(dc, text, -1, &rect, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    ReleaseDC(dialog, dc);
    size.cx = rect.right - rect.left + 16;
    size.cy = rect.bottom - rect.top + 4;
    return size;
}

// --- the dialog's layout ---------------------------------------------------------------------

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

const DWORD GROUP_ON = BS_CENTER | WS_GROUP | WS_VISIBLE;
const DWORD SUNKEN_ON = SS_SUNKEN | WS_VISIBLE;
const DWORD RADIO_ON = WS_TABSTOP | WS_VISIBLE;
const DWORD LIT_ON = BS_PUSHLIKE | WS_DISABLED | WS_VISIBLE;
const DWORD DARK_ON = BS_PUSHLIKE | WS_DISABLED | BS_FLAT;
// Wine's progress bar takes its WS_BORDER off when it is created (the template check sees it).
const DWORD BAR_ON = WS_VISIBLE;

// Every control of the panel in template order, which is also the order of its child windows.
const ControlLayout kLayout[] = {
    {-1, "Button", "Connection", 8, 6, 120, 78, BS_GROUPBOX, GROUP_ON, 0, 0, 0},
    {IDC_COM1, "Button", "COM1", 16, 22, 38, 10, BS_AUTORADIOBUTTON, RADIO_ON, WS_GROUP, 0, 0},
    {IDC_COM2, "Button", "COM2", 16, 33, 38, 10, BS_AUTORADIOBUTTON, RADIO_ON, WS_GROUP, 0, 0},
    {IDC_COM3, "Button", "COM3", 16, 45, 38, 10, BS_AUTORADIOBUTTON, RADIO_ON, WS_GROUP, 0, 0},
    {IDC_COM4, "Button", "COM4", 16, 56, 38, 10, BS_AUTORADIOBUTTON, RADIO_ON, WS_GROUP, 0, 0},
    {IDC_COM5, "Button", "COM5", 16, 66, 38, 10, BS_AUTORADIOBUTTON, RADIO_ON, WS_GROUP, 0, 0},
    {IDC_CONNECTION_STATE, "Static", nullptr, 64, 25, 50, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {IDC_STOP, "Button", "Stop", 72, 60, 36, 12, BS_PUSHBUTTON, BS_CENTER | WS_TABSTOP, 0, 0, 0},
    {IDC_START, "Button", "Start", 72, 44, 36, 12, BS_PUSHBUTTON, BS_CENTER | WS_TABSTOP, 0, 0, 0},
    {-1, "Button", "Device Info", 7, 144, 119, 59, BS_GROUPBOX, GROUP_ON, 0, 0, 0},
    {-1, "Static", "Firmware Rev :", 19, 160, 53, 10, SS_CENTER, WS_VISIBLE, 0, WS_EX_RIGHT, 0},
    {IDC_FIRMWARE, "Static", "", 75, 160, 36, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {-1, "Static", "Temperature :", 303, 158, 53, 10, SS_CENTER, WS_VISIBLE, 0, 0, 0},
    {IDC_TEMPERATURE, "Static", "", 359, 158, 36, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {-1, "Button", "Setpoint Voltage", 8, 90, 395, 48, BS_GROUPBOX, BS_CENTER | WS_TABSTOP,
     WS_GROUP, 0, 0},
    {IDC_SETPOINT, "Static", "", 169, 101, 76, 12, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {IDC_TRACKBAR, "msctls_trackbar32", nullptr, 10, 115, 371, 16, ANY_TYPE, TBS_NOTICKS, TBS_VERT,
     0, MOVED_BY_BUDDY},
    {IDC_FINE, "msctls_updown32", nullptr, 382, 114, 11, 16, ANY_TYPE,
     UDS_AUTOBUDDY | UDS_ALIGNRIGHT | WS_TABSTOP, WS_DISABLED, 0, MOVED_BY_BUDDY},
    {-1, "Button", "Voltage Meter", 137, 6, 266, 36, BS_GROUPBOX, GROUP_ON, 0, 0, 0},
    {IDC_VOLTAGE, "Static", "", 350, 22, 42, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {IDC_VOLTAGE_BAR, "msctls_progress32", nullptr, 149, 22, 191, 8, ANY_TYPE, BAR_ON, 0, 0, 0},
    {IDC_CURRENT, "Static", "", 350, 60, 42, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {IDC_CURRENT_BAR, "msctls_progress32", nullptr, 149, 62, 192, 8, ANY_TYPE, BAR_ON, 0, 0, 0},
    {-1, "Button", "Status", 137, 144, 266, 60, BS_GROUPBOX, GROUP_ON, 0, 0, 0},
    {-1, "Static", "Error :", 143, 158, 20, 10, SS_CENTER, WS_VISIBLE, 0, 0, 0},
    {IDC_ERROR_TEXT, "Static", "", 166, 158, 132, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {IDC_STATUS_RESET, "Button", "Reset", 143, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_COMERR, "Button", "ComErr", 175, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_OVERT, "Button", "OverT", 207, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_FAULT, "Button", "Fault", 239, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_EEBUSY, "Button", "EEBusy", 271, 174, 32, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_ENABLE, "Button", "Enable", 303, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_OVERI, "Button", "OverI", 335, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_STATUS_OVERV, "Button", "OverV", 367, 174, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_FAULT_EESUM, "Button", "EESum", 143, 186, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_FAULT_ADCV, "Button", "AdcV", 175, 186, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_FAULT_ADCI, "Button", "AdcI", 207, 186, 31, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_FAULT_BIT4, "Button", "", 237, 186, 32, 11, BS_AUTOCHECKBOX, DARK_ON, WS_VISIBLE, 0, 0},
    {IDC_FAULT_DAC, "Button", "DAC", 271, 186, 32, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0},
    {IDC_FAULT_BIT2, "Button", "", 303, 186, 31, 11, BS_AUTOCHECKBOX, DARK_ON, WS_VISIBLE, 0, 0},
    {IDC_FAULT_BIT1, "Button", "", 333, 186, 31, 11, BS_AUTOCHECKBOX, DARK_ON, WS_VISIBLE, 0, 0},
    {IDC_FAULT_BIT0, "Button", "", 365, 186, 31, 11, BS_AUTOCHECKBOX, DARK_ON, WS_VISIBLE, 0, 0},
    {IDC_OUTPUT_ENABLE, "Button", "Output Enable", 85, 103, 66, 8, BS_AUTOCHECKBOX,
     WS_TABSTOP | WS_VISIBLE, 0, 0, 0},
    {-1, "Button", "Current Meter", 137, 49, 266, 35, BS_GROUPBOX, GROUP_ON, 0, 0, 0},
    {-1, "Static", "Fine", 366, 100, 18, 10, SS_CENTER, WS_VISIBLE, 0, 0, 0},
    {-1, "Static", "Coarse", 15, 103, 23, 10, SS_CENTER, WS_VISIBLE, 0, 0, 0},
    {-1, "Static", "Voltage Scale :", 19, 173, 53, 10, SS_CENTER, WS_VISIBLE, 0, WS_EX_RIGHT, 0},
    {IDC_VOLTAGE_SCALE, "Static", "", 75, 173, 36, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
    {-1, "Static", "Current Scale :", 19, 186, 53, 10, SS_CENTER, WS_VISIBLE, 0, WS_EX_RIGHT, 0},
    {IDC_CURRENT_SCALE, "Static", "", 75, 186, 36, 10, SS_CENTER, SUNKEN_ON, 0, 0, 0},
};
const int kLayoutCount = sizeof kLayout / sizeof kLayout[0];

struct ChildList {
    HWND windows[96];
    int count;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
    ChildList *list = reinterpret_cast<ChildList *>(param);
    if (GetParent(child) == g_driver.dialog && list->count < 96) {
        list->windows[list->count++] = child;
    }
    return TRUE;
}

// Position and size are converted apart, as the dialog manager does when it creates a control.
RECT Pixels(int x, int y, int w, int h) {
    RECT units = {x, y, w, h};
    MapDialogRect(HelpTemplateHere(), &units);
    RECT rect = {units.left, units.top, units.left + units.right, units.top + units.bottom};
    return rect;
}

RECT RectInPanel(HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, g_driver.dialog, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

std::string Describe(const RECT &r) {
    char text[64];
    std::snprintf(text, sizeof text, "(%ld,%ld)-(%ld,%ld)", r.left, r.top, r.right, r.bottom);
    return text;
}

// --- the resources as stored in the executable ----------------------------------------------

const unsigned char *PanelResource(const char *name, LPCSTR type, DWORD *size) {
    static HMODULE module;
    if (module == nullptr) {
        module = LoadLibraryExA(g_driver.panelExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    HRSRC resource = FindResourceA(module, name, type);
    if (resource == nullptr) {
        *size = 0;
        return nullptr;
    }
    *size = SizeofResource(module, resource);
    return static_cast<const unsigned char *>(LockResource(LoadResource(module, resource)));
}

// A name or ordinal field of a dialog template: text, or 0xFFFF and a number.
const WORD *ReadNameOrOrdinal(const WORD *p, std::string *text, int *ordinal) {
    *ordinal = -1;
    text->clear();
    if (*p == 0xFFFF) {
        *ordinal = p[1];
        return p + 2;
    }
    for (; *p != 0; ++p) {
        *text += static_cast<char>(*p);
    }
    return p + 1;
}

const WORD *AlignToDword(const WORD *p) {
    return reinterpret_cast<const WORD *>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));
}

#pragma pack(push, 1)
struct TemplateExHeader {
    WORD version, signature;
    DWORD helpId, exStyle, style;
    WORD items;
    short x, y, cx, cy;
};
struct TemplateExItem {
    DWORD helpId, exStyle, style;
    short x, y, cx, cy;
    DWORD id;
};
#pragma pack(pop)

const char *ClassOfOrdinal(int ordinal) {
    return ordinal == 0x80 ? "Button" : ordinal == 0x82 ? "Static" : "?";
}

// The "Edit" template field by field: the dialog's own header, then every item against the
// control table, in dialog units and with the styles exactly as stored.
void CheckEditTemplate() {
    DWORD size = 0;
    const unsigned char *data = PanelResource("Edit", reinterpret_cast<LPCSTR>(RT_DIALOG), &size);
    if (data == nullptr) {
        Check(false, "\"Edit\" template in 7340demo.exe");
        return;
    }
    const TemplateExHeader *head = reinterpret_cast<const TemplateExHeader *>(data);
    const WORD *p = reinterpret_cast<const WORD *>(head + 1);
    std::string menu, cls, title, font;
    int menuOrd = 0, clsOrd = 0;
    p = ReadNameOrOrdinal(p, &menu, &menuOrd);
    p = ReadNameOrOrdinal(p, &cls, &clsOrd);
    int titleOrd = 0;
    p = ReadNameOrOrdinal(p, &title, &titleOrd);
    WORD points = p[0];
    int fontOrd = 0;
    p = ReadNameOrOrdinal(p + 3, &font, &fontOrd); // point size, weight, italic and charset
    const DWORD style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                        DS_3DLOOK | DS_SETFONT | DS_CONTEXTHELP;
    Check(head->signature == 0xFFFF && head->style == style &&
              head->exStyle == (WS_EX_DLGMODALFRAME | WS_EX_CONTEXTHELP) && head->x == 0 &&
              head->y == 0 && head->cx == 410 && head->cy == 215 && menu.empty() && menuOrd == -1 &&
              title == "Vantrel 7340" && points == 8 && font == "MS Sans Serif",
          "\"Edit\": extended template at (0, 0), 410 x 215, \"Vantrel 7340\", 8 pt MS Sans Serif");
    Check(head->items == kLayoutCount, "\"Edit\" has one item per control",
          std::to_string(head->items));
    int wrong = 0;
    for (int i = 0; i < head->items && i < kLayoutCount; ++i) {
        p = AlignToDword(p);
        const TemplateExItem *item = reinterpret_cast<const TemplateExItem *>(p);
        p = reinterpret_cast<const WORD *>(item + 1);
        std::string itemClass, text;
        int classOrd = 0, textOrd = 0;
        p = ReadNameOrOrdinal(p, &itemClass, &classOrd);
        p = ReadNameOrOrdinal(p, &text, &textOrd);
        WORD extra = *p++;
        p = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(p) + extra);
        if (classOrd != -1) {
            itemClass = ClassOfOrdinal(classOrd);
        }
        const ControlLayout &want = kLayout[i];
        DWORD on = want.on;
        if (std::strcmp(want.cls, "msctls_progress32") == 0) {
            on |= WS_BORDER;
        }
        DWORD typeMask = std::strcmp(want.cls, "Static") == 0 ? SS_TYPEMASK : BS_TYPEMASK;
        bool ok =
            lstrcmpiA(itemClass.c_str(), want.cls) == 0 && static_cast<int>(item->id) == want.id &&
            item->x == want.x && item->y == want.y && item->cx == want.w && item->cy == want.h &&
            (want.text == nullptr || text == want.text) &&
            (want.type == ANY_TYPE || static_cast<int>(item->style & typeMask) == want.type) &&
            (item->style & on) == on && (item->style & want.off) == 0 &&
            (item->exStyle & want.exOn) == want.exOn && (item->style & WS_CHILD) != 0;
        if (!ok) {
            ++wrong;
            std::printf("    item %d: %s \"%s\" id %d at %d,%d %dx%d style 0x%08lx ex 0x%08lx\n", i,
                        itemClass.c_str(), text.c_str(), static_cast<int>(item->id), item->x,
                        item->y, item->cx, item->cy, item->style, item->exStyle);
        }
    }
    Check(wrong == 0, "\"Edit\" items: order, class, caption, identifier, rectangle, styles",
          std::to_string(wrong) + " differ");
}

void CheckHelpTemplate() {
    DWORD size = 0;
    const unsigned char *data = PanelResource("Help", reinterpret_cast<LPCSTR>(RT_DIALOG), &size);
    if (data == nullptr) {
        Check(false, "\"Help\" template in 7340demo.exe");
        return;
    }
    const DLGTEMPLATE *head = reinterpret_cast<const DLGTEMPLATE *>(data);
    const WORD *p = reinterpret_cast<const WORD *>(data + 18); // the packed DLGTEMPLATE
    std::string menu, cls, title, font;
    int ord = 0;
    p = ReadNameOrOrdinal(p, &menu, &ord);
    p = ReadNameOrOrdinal(p, &cls, &ord);
    p = ReadNameOrOrdinal(p, &title, &ord);
    WORD points = p[0];
    ReadNameOrOrdinal(p + 1, &font, &ord);
    const DWORD style =
        WS_POPUP | WS_VISIBLE | WS_BORDER | WS_DLGFRAME | DS_CENTERMOUSE | DS_SETFONT | DS_3DLOOK;
    Check(reinterpret_cast<const WORD *>(data)[1] != 0xFFFF && head->style == style &&
              head->dwExtendedStyle == 0 && head->cdit == 0 && head->x == 0 && head->y == 0 &&
              head->cx == 223 && head->cy == 17 && title.empty() && points == 8 &&
              font == "MS Sans Serif",
          "\"Help\": plain template, 223 x 17, no title, no controls, 8 pt MS Sans Serif");
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// "AIcon": 32 x 32 and 16 x 16 in 16 colours, 32 x 32 in 256; "Vantrel": 49 x 13 in 16.
void CheckIcons() {
    struct Expected {
        const char *name;
        int count;
        int sizes[3][3]; // width, height, bits per pixel
    } groups[] = {{"AIcon", 3, {{32, 32, 4}, {16, 16, 4}, {32, 32, 8}}},
                  {"Vantrel", 1, {{49, 13, 4}, {0, 0, 0}, {0, 0, 0}}}};
    for (const Expected &group : groups) {
        DWORD size = 0;
        const unsigned char *data =
            PanelResource(group.name, reinterpret_cast<LPCSTR>(RT_GROUP_ICON), &size);
        bool ok = data != nullptr && reinterpret_cast<const WORD *>(data)[2] == group.count;
        std::string found;
        for (int i = 0; ok && i < group.count; ++i) {
            const IconGroupEntry *entry = reinterpret_cast<const IconGroupEntry *>(data + 6) + i;
            found += std::to_string(entry->width) + "x" + std::to_string(entry->height) + "x" +
                     std::to_string(entry->bits) + " ";
            ok = entry->width == group.sizes[i][0] && entry->height == group.sizes[i][1] &&
                 entry->bits == group.sizes[i][2];
        }
        Check(ok, (std::string("icon group \"") + group.name + "\"").c_str(), found);
    }
}

// Every control where the template puts it, with its class, caption and styles, in template
// order; the dialog itself at (50, 50) with its caption, styles and client size.
void CheckLayout() {
    RECT window;
    GetWindowRect(g_driver.dialog, &window);
    Check(window.left == 50 && window.top == 50, "panel at (50, 50)", Describe(window));
    RECT client;
    GetClientRect(g_driver.dialog, &client);
    RECT size = Pixels(0, 0, 410, 215);
    Check(client.right == size.right && client.bottom == size.bottom,
          "client area is 410 x 215 dialog units", Describe(client) + " for " + Describe(size));
    Check(WindowText(g_driver.dialog) == "Vantrel 7340", "title \"Vantrel 7340\"");
    DWORD style = static_cast<DWORD>(GetWindowLongA(g_driver.dialog, GWL_STYLE));
    DWORD ex = static_cast<DWORD>(GetWindowLongA(g_driver.dialog, GWL_EXSTYLE));
    Check((style & (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CONTEXTHELP | WS_POPUP)) ==
                  (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CONTEXTHELP | WS_POPUP) &&
              (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) == 0 && (ex & WS_EX_CONTEXTHELP) != 0 &&
              (ex & WS_EX_DLGMODALFRAME) != 0,
          "panel styles: caption, system menu, context help, modal frame, no min/max box");
    // Not topmost in the end: Wine keeps an owned window's topmost flag, so that is not checked.

    ChildList children = {};
    EnumChildWindows(g_driver.dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
    Check(children.count == kLayoutCount, "one child window per template control",
          std::to_string(children.count) + " of " + std::to_string(kLayoutCount));
    int wrong = 0;
    for (int i = 0; i < kLayoutCount && i < children.count; ++i) {
        const ControlLayout &want = kLayout[i];
        HWND child = children.windows[i];
        std::string problems;
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, want.cls) != 0) {
            problems += std::string(" class ") + cls;
        }
        int id = GetDlgCtrlID(child);
        if ((want.id == -1 && (id & 0xFFFF) != 0xFFFF) || (want.id != -1 && id != want.id)) {
            problems += " id " + std::to_string(id);
        }
        if (want.text != nullptr && WindowText(child) != want.text) {
            problems += " text \"" + WindowText(child) + "\"";
        }
        DWORD cs = static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE));
        DWORD cex = static_cast<DWORD>(GetWindowLongA(child, GWL_EXSTYLE));
        DWORD typeMask = std::strcmp(want.cls, "Static") == 0 ? SS_TYPEMASK : BS_TYPEMASK;
        if ((want.type != ANY_TYPE && static_cast<int>(cs & typeMask) != want.type) ||
            (cs & want.on) != want.on || (cs & want.off) != 0 || (cex & want.exOn) != want.exOn ||
            (cs & WS_CHILD) == 0) {
            char bits[64];
            std::snprintf(bits, sizeof bits, " style 0x%08lx ex 0x%08lx", cs, cex);
            problems += bits;
        }
        RECT expected = Pixels(want.x, want.y, want.w, want.h);
        RECT actual = RectInPanel(child);
        if (want.flags == MOVED_BY_BUDDY) {
            // The up-down takes the trackbar's right end: same row, the pair spans the trackbar.
            RECT track = Pixels(10, 115, 371, 16);
            bool ok = actual.left >= track.left && actual.right <= track.right &&
                      (want.id == IDC_FINE ? actual.right == track.right
                                           : actual.left == track.left && actual.top == track.top &&
                                                 actual.bottom == track.bottom);
            if (!ok) {
                problems += " at " + Describe(actual) + " for " + Describe(track);
            }
        } else if (!EqualRect(&expected, &actual)) {
            problems += " at " + Describe(actual) + " for " + Describe(expected);
        }
        if (!problems.empty()) {
            ++wrong;
            std::printf("    control %d (%s \"%s\"):%s\n", i, want.cls,
                        want.text != nullptr ? want.text : "", problems.c_str());
        }
    }
    Check(wrong == 0, "controls match the template: order, class, caption, styles, rectangles",
          std::to_string(wrong) + " differ");
}

HWND WaitForPopup(int timeoutMs) {
    HWND popup = nullptr;
    WaitUntil(
        [&] {
            popup = FindPanelWindow(nullptr);
            return popup != nullptr;
        },
        timeoutMs);
    return popup;
}

void CheckPopupText(HWND popup, const char *text, const char *what) {
    RECT client;
    GetClientRect(popup, &client);
    SIZE expected = ExpectedPopupClient(text);
    char detail[96];
    std::snprintf(detail, sizeof detail, "client %ldx%ld, text needs %ldx%ld", client.right,
                  client.bottom, expected.cx, expected.cy);
    Check(expected.cx > 16 && client.right == expected.cx && client.bottom == expected.cy, what,
          detail);
    // Something dark is painted in the middle row band of the white client area: the text.
    HDC dc = GetDC(popup);
    int dark = 0;
    for (int y = 0; y < client.bottom; ++y) {
        for (int x = 0; x < client.right; ++x) {
            COLORREF pixel = GetPixel(dc, x, y);
            if (pixel != CLR_INVALID &&
                GetRValue(pixel) + GetGValue(pixel) + GetBValue(pixel) < 200) {
                ++dark;
            }
        }
    }
    ReleaseDC(popup, dc);
    Check(dark > 20, "popup shows its text in black on white", std::to_string(dark) + " dark px");
}

HELPINFO g_help; // Wine copies WM_HELP's record into the receiving process

DWORD WINAPI SendHelp(LPVOID) {
    // Blocks while the popup that it opens is up.
    SendMessageA(g_driver.dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&g_help));
    return 0;
}

void ParkMouse() {
    SetCursorPos(2, 700);
}

// The mouse on the middle of the popup's client area: the leave notice watches only that.
void RestOnPopup(HWND popup) {
    RECT client;
    GetClientRect(popup, &client);
    POINT middle = {client.right / 2, client.bottom / 2};
    ClientToScreen(popup, &middle);
    SetCursorPos(middle.x, middle.y);
}

bool PopupGone(HWND popup) {
    return !IsWindow(popup) || !IsWindowVisible(popup);
}

void CheckAboutPopup() {
    ParkMouse();
    Foreground();
    RECT panel;
    GetWindowRect(g_driver.dialog, &panel);
    Key(VK_F1);
    HWND popup = WaitForPopup(5000);
    Check(popup != nullptr, "F1 shows the about popup");
    if (popup == nullptr) {
        return;
    }
    RECT rect;
    GetWindowRect(popup, &rect);
    int midX = (panel.left + panel.right) / 2, midY = (panel.top + panel.bottom) / 2;
    char detail[96];
    std::snprintf(detail, sizeof detail, "top-left (%ld, %ld), middle (%d, %d)", rect.left,
                  rect.top, midX, midY);
    Check(rect.left == midX - 110 && rect.top == midY - 102,
          "about popup 110 px left of and 102 px above the panel's middle", detail);
    CheckPopupText(popup, "Vantrel\nvantrel.example", "about popup sized for its two lines");
    Screenshot("panel-about");
    // A click in the popup closes it at once.
    PostMessageA(popup, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    Check(WaitUntil([&] { return PopupGone(popup); }, 2000), "a click closes the popup");
}

void CheckContextHelp() {
    ParkMouse();
    // The caption's help button arms the panel; the next request names the clicked control.
    // Sent, not posted: a sent WM_HELP would overtake a posted command.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(g_driver.dialog, WM_SYSCOMMAND, SC_CONTEXTHELP, 0, SMTO_ABORTIFHUNG, 5000,
                        &ignored);
    RECT indicator;
    GetWindowRect(Item(IDC_STATUS_OVERV), &indicator);
    g_help = HELPINFO{};
    g_help.cbSize = sizeof g_help;
    g_help.iContextType = HELPINFO_WINDOW;
    g_help.iCtrlId = IDC_STATUS_OVERV;
    g_help.hItemHandle = Item(IDC_STATUS_OVERV);
    g_help.MousePos.x = (indicator.left + indicator.right) / 2;
    g_help.MousePos.y = (indicator.top + indicator.bottom) / 2;
    HANDLE sender = CreateThread(nullptr, 0, SendHelp, nullptr, 0, nullptr);
    HWND popup = WaitForPopup(5000);
    DWORD shown = GetTickCount();
    Check(popup != nullptr, "context help on 3000 shows a popup");
    if (popup != nullptr) {
        RECT rect;
        GetWindowRect(popup, &rect);
        char detail[96];
        std::snprintf(detail, sizeof detail, "top-left (%ld, %ld), mouse (%ld, %ld)", rect.left,
                      rect.top, g_help.MousePos.x, g_help.MousePos.y);
        Check(rect.left == g_help.MousePos.x - 10 && rect.top == g_help.MousePos.y - 2,
              "popup placed at the request's mouse position", detail);
        CheckPopupText(popup, "Over Voltage status bit.",
                       "popup shows \"Over Voltage status bit.\"");
        Screenshot("panel-help");
        // The mouse rests on the popup past the leave request of the 21st tick, then leaves.
        RestOnPopup(popup);
        WaitUntil([&] { return GetTickCount() - shown > 3000; }, 5000);
        Check(!PopupGone(popup), "popup stays while the mouse rests on it (3 s)");
        DWORD left = GetTickCount();
        ParkMouse();
        bool gone = WaitUntil([&] { return PopupGone(popup); }, 3000);
        Check(gone, "popup closes when the mouse leaves it",
              std::to_string(GetTickCount() - left) + " ms after leaving");
    }
    WaitForSingleObject(sender, 15000);
    CloseHandle(sender);
}

void CheckPopupTimesOut() {
    ParkMouse();
    Foreground();
    Key(VK_F1);
    HWND popup = WaitForPopup(5000);
    DWORD shown = GetTickCount();
    Check(popup != nullptr, "F1 shows the about popup again");
    if (popup == nullptr) {
        return;
    }
    RECT rect;
    GetWindowRect(popup, &rect);
    RestOnPopup(popup);
    // The panel keeps polling under the popup: a new status bit shows while it is open.
    Simulator("status-bits 0x20");
    CheckChecked(IDC_STATUS_OVERT, true, 3000);
    Check(!PopupGone(popup), "the over-temperature bit shows while the popup is open");
    Simulator("status-bits 0");
    WaitUntil([&] { return GetTickCount() - shown > 5000; }, 7000);
    Check(!PopupGone(popup), "popup with the mouse on it still open after 5 s");
    bool gone = WaitUntil([&] { return PopupGone(popup); }, 15000);
    Check(gone, "popup with the mouse on it closes by itself",
          std::to_string(GetTickCount() - shown) + " ms after it was shown");
    ParkMouse();
}

// --- scenarios ------------------------------------------------------------------------------

// A start on a port with no supply. Wine opens every mapped COM port, even one whose device
// has gone, so the only port that fails to open is one with no mapping at all, COM5 here, whose
// button the probe disables. It is chosen the way its click would: checked, then its command
// (a click on the disabled auto radio button itself sends Wine 8 into an endless group walk).
void ScenarioPortWithoutSupply() {
    CheckEnabled(IDC_COM5, false);
    SendMessageA(Item(IDC_COM5), BM_SETCHECK, BST_CHECKED, 0);
    PostMessageA(g_driver.dialog, WM_COMMAND, MAKEWPARAM(IDC_COM5, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Item(IDC_COM5)));
    Check(WaitUntil([] { return Enabled(IDC_START); }, 3000), "choosing a port enables Start");
    Click(IDC_START);
    CheckText(IDC_ERROR_TEXT, "COM port busy or not found", 10000);
    CheckText(IDC_CONNECTION_STATE, "Offline");
    CheckEnabled(IDC_START, true);
    CheckEnabled(IDC_STOP, false);
    CheckEnabled(IDC_TRACKBAR, false);
    SendMessageA(Item(IDC_COM5), BM_SETCHECK, BST_UNCHECKED, 0);
}

void ScenarioMain() {
    if (!LaunchPanel()) {
        return;
    }
    CheckEditTemplate();
    CheckHelpTemplate();
    CheckIcons();
    CheckLayout();
    CheckStartState();
    CheckEnterAndEscape();

    // Never connected: there is no range yet, so the up-down moves nothing.
    ClickFine(true);
    ClickFine(true);
    Sleep(300);
    DWORD_PTR position = 99;
    SendMessageTimeoutA(Item(IDC_TRACKBAR), TBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &position);
    Check(position == 0 && Trimmed(IDC_SETPOINT).empty(),
          "the up-down before the first connection moves nothing",
          "trackbar at " + std::to_string(position));
    ScenarioPortWithoutSupply();

    Click(IDC_COM1);
    CheckChecked(IDC_COM1, true);
    CheckChecked(IDC_COM5, false);
    size_t mark = LogMark();
    Click(IDC_START);
    Check(WaitOnline(), "Start connects");
    CheckOnlineState();
    CheckText(IDC_FIRMWARE, "0123");
    CheckText(IDC_VOLTAGE_SCALE, "50000");
    CheckText(IDC_CURRENT_SCALE, "200");
    CheckText(IDC_ERROR_TEXT, "No errors");
    CheckText(IDC_SETPOINT, "0");
    Check(!Trimmed(IDC_VOLTAGE).empty() && !Trimmed(IDC_CURRENT).empty() &&
              !Trimmed(IDC_TEMPERATURE).empty(),
          "first poll fills the readings",
          Text(IDC_VOLTAGE) + " V, " + Text(IDC_CURRENT) + " uA, " + Text(IDC_TEMPERATURE));
    CheckLog(mark, "output off", "connection sends a zero setpoint");
    CheckLog(mark, "watchdog 0 (off)", "connection switches the watchdog off");

    // Slider to 1000 V while the output is disabled: the supply gets 0.0.
    mark = LogMark();
    MoveTrackbar(10);
    CheckText(IDC_SETPOINT, "1000");
    CheckLog(mark, "output off", "slider with the output disabled sends 0.0");
    mark = LogMark();
    Click(IDC_OUTPUT_ENABLE);
    CheckChecked(IDC_OUTPUT_ENABLE, true);
    CheckLog(mark, "set 1000.5 V, output on", "Output Enable sends setpoint + 0.5 V");
    Check(WaitForVolts(1000, 1.0), "voltage reading follows to 1000 V", Text(IDC_VOLTAGE));
    int bar = BarPos(IDC_VOLTAGE_BAR);
    Check(bar == 20, "voltage bar at 1000 / 50000 * 1000", std::to_string(bar));
    CheckChecked(IDC_STATUS_ENABLE, true);

    mark = LogMark();
    MoveTrackbar(25);
    CheckLog(mark, "set 2500.5 V, output on", "slider to 2500 V reaches the supply");
    Check(WaitForVolts(2500, 1.0), "voltage reading follows to 2500 V", Text(IDC_VOLTAGE));
    bar = BarPos(IDC_VOLTAGE_BAR);
    Check(bar == 50, "voltage bar follows", std::to_string(bar));
    int currentBar = BarPos(IDC_CURRENT_BAR);
    double microamps = Reading(IDC_CURRENT);
    Check(currentBar == static_cast<int>(microamps / 200 * 1000), "current bar follows",
          std::to_string(currentBar) + " for " + Text(IDC_CURRENT) + " uA");

    // The up-down's halves: up raises the setpoint by one volt, down lowers it.
    mark = LogMark();
    ClickFine(true);
    CheckText(IDC_SETPOINT, "2501");
    CheckLog(mark, "set 2501.5 V, output on", "up arrow sends one volt more");
    mark = LogMark();
    ClickFine(false);
    ClickFine(false);
    CheckText(IDC_SETPOINT, "2499");
    CheckLog(mark, "set 2499.5 V, output on", "down arrow sends one volt less");
    Check(WaitForVolts(2499, 1.0), "voltage reading follows the fine steps", Text(IDC_VOLTAGE));
    Screenshot("panel-connected");

    mark = LogMark();
    Click(IDC_OUTPUT_ENABLE);
    CheckChecked(IDC_OUTPUT_ENABLE, false);
    CheckLog(mark, "output off", "unchecking Output Enable sends 0.0");
    CheckChecked(IDC_STATUS_ENABLE, false);

    // A silent supply: "error" in the voltage field, the error text, still online.
    Simulator("silent on");
    CheckText(IDC_VOLTAGE, "error", 5000);
    CheckText(IDC_ERROR_TEXT, "Device read failed");
    CheckText(IDC_CONNECTION_STATE, "Online");
    Simulator("silent off");
    CheckText(IDC_ERROR_TEXT, "No errors", 5000);
    Check(WaitUntil([] { return Trimmed(IDC_VOLTAGE) != "error"; }, 5000),
          "readings come back when the supply answers again", Text(IDC_VOLTAGE));

    // The reset bit: its indicator shows it (each poll then waits a second).
    Simulator("status-bits 0x80");
    CheckChecked(IDC_STATUS_RESET, true, 5000);
    Simulator("status-bits 0x20");
    CheckChecked(IDC_STATUS_RESET, false, 8000);
    CheckChecked(IDC_STATUS_OVERT, true, 5000);
    Simulator("fault-bits 0x88");
    CheckChecked(IDC_FAULT_EESUM, true, 5000);
    CheckChecked(IDC_FAULT_DAC, true);
    CheckChecked(IDC_STATUS_FAULT, true);
    CheckChecked(IDC_FAULT_ADCV, false);
    Simulator("fault-bits 0");
    Simulator("status-bits 0");
    CheckChecked(IDC_FAULT_EESUM, false, 5000);
    CheckChecked(IDC_STATUS_OVERT, false);

    CheckAboutPopup();
    CheckContextHelp();
    CheckPopupTimesOut();

    // Stop sends a zero setpoint and clears the fields; the error text stays.
    Click(IDC_OUTPUT_ENABLE);
    CheckLog(LogMark(), "set 2499.5 V, output on", "output on again before Stop");
    mark = LogMark();
    Click(IDC_STOP);
    CheckText(IDC_CONNECTION_STATE, "Offline");
    CheckLog(mark, "output off", "Stop sends a zero setpoint");
    const int cleared[] = {IDC_VOLTAGE,  IDC_CURRENT,       IDC_TEMPERATURE,  IDC_SETPOINT,
                           IDC_FIRMWARE, IDC_VOLTAGE_SCALE, IDC_CURRENT_SCALE};
    for (int id : cleared) {
        CheckText(id, "");
    }
    CheckText(IDC_ERROR_TEXT, "No errors");
    CheckChecked(IDC_OUTPUT_ENABLE, false);
    CheckEnabled(IDC_START, true);
    CheckEnabled(IDC_STOP, false);
    CheckEnabled(IDC_COM1, true);
    Check(BarPos(IDC_VOLTAGE_BAR) == 0, "voltage bar back to 0");

    // Start again, output on, then the close box: zero setpoint before the program ends.
    Click(IDC_START);
    Check(WaitOnline(), "Start again connects");
    MoveTrackbar(10);
    mark = LogMark();
    Click(IDC_OUTPUT_ENABLE);
    CheckLog(mark, "set 1000.5 V, output on", "output on before closing");
    mark = LogMark();
    PostMessageA(g_driver.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 99;
    bool ended = WaitForExit(10000, &code);
    Check(ended && code == 0, "SC_CLOSE ends the program with status 0",
          ended ? std::to_string(code) : "still running");
    CheckLog(mark, "output off", "SC_CLOSE sends a zero setpoint first", 500);
}

void ScenarioBlank() {
    if (!LaunchPanel()) {
        return;
    }
    Click(IDC_COM1);
    Check(WaitUntil([] { return Enabled(IDC_START); }, 3000), "choosing COM1 enables Start");
    Click(IDC_START);
    HWND box = nullptr;
    Check(WaitUntil(
              [&] {
                  box = FindPanelWindow("Warning");
                  return box != nullptr;
              },
              15000),
          "a blank EEPROM shows a warning box");
    if (box == nullptr) {
        return;
    }
    std::string text = MessageBoxText(box);
    Check(text == "Device is not configured; using default calibration and setpoint/meter ranges",
          "warning text", text);
    CheckText(IDC_CONNECTION_STATE, "Offline");
    // A second Start while the box is open is ignored: no second box.
    Click(IDC_START);
    Sleep(1500);
    int boxes = 0;
    FindPanelWindow("Warning", &boxes);
    Check(boxes == 1, "Start while the warning is open is ignored",
          std::to_string(boxes) + " boxes");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    Check(WaitOnline(), "connects after the warning");
    CheckText(IDC_VOLTAGE_SCALE, "60000");
    CheckText(IDC_CURRENT_SCALE, "500");
    CheckText(IDC_ERROR_TEXT, "No errors");
    CheckOnlineState();

    // Closing the owner window (the taskbar entry) must not leave the output on.
    MoveTrackbar(10);
    size_t mark = LogMark();
    Click(IDC_OUTPUT_ENABLE);
    CheckLog(mark, "output on", "output on before the owner window closes");
    HWND owner = FindWindowA("7340demo", "7340demo");
    Check(owner != nullptr, "owner window found by its class");
    mark = LogMark();
    PostMessageA(owner, WM_CLOSE, 0, 0);
    DWORD code = 99;
    bool ended = WaitForExit(10000, &code);
    Check(ended && code == 0, "closing the owner window ends the program");
    CheckLog(mark, "output off", "closing the owner window sends a zero setpoint", 500);

    // The exit command 8000, which no control carries, ends the panel the same way.
    if (!LaunchPanel()) {
        return;
    }
    Click(IDC_COM1);
    WaitUntil([] { return Enabled(IDC_START); }, 3000);
    Click(IDC_START);
    box = nullptr;
    WaitUntil(
        [&] {
            box = FindPanelWindow("Warning");
            return box != nullptr;
        },
        15000);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    Check(WaitOnline(), "connects again");
    MoveTrackbar(10);
    mark = LogMark();
    Click(IDC_OUTPUT_ENABLE);
    CheckLog(mark, "output on", "output on before the exit command");
    mark = LogMark();
    PostMessageA(g_driver.dialog, WM_COMMAND, IDM_EXIT, 0);
    ended = WaitForExit(10000, &code);
    Check(ended && code == 0, "command 8000 ends the program with status 0");
    CheckLog(mark, "output off", "command 8000 sends a zero setpoint first", 500);
}

// scripts/demo's session: COM1, Start, 1000 V, Output Enable, settle, report, close.
void ScenarioDemo() {
    if (!LaunchPanel()) {
        return;
    }
    Click(IDC_COM1);
    WaitUntil([] { return Enabled(IDC_START); }, 3000);
    Click(IDC_START);
    Check(WaitOnline(), "Start connects");
    MoveTrackbar(10);
    size_t mark = LogMark();
    Click(IDC_OUTPUT_ENABLE);
    CheckLog(mark, "output on", "the supply switches on");
    Check(WaitForVolts(1000, 1.0), "the reading settles at the setpoint");
    Sleep(500);
    std::printf("\nreadings: output %s V, current %s uA, temperature %s, setpoint %s V\n",
                Trimmed(IDC_VOLTAGE).c_str(), Trimmed(IDC_CURRENT).c_str(),
                Trimmed(IDC_TEMPERATURE).c_str(), Trimmed(IDC_SETPOINT).c_str());
    std::printf("supply: firmware %s, ranges %s V and %s uA, \"%s\"\n\n",
                Trimmed(IDC_FIRMWARE).c_str(), Trimmed(IDC_VOLTAGE_SCALE).c_str(),
                Trimmed(IDC_CURRENT_SCALE).c_str(), Trimmed(IDC_ERROR_TEXT).c_str());
    Screenshot("panel");
    mark = LogMark();
    PostMessageA(g_driver.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 99;
    Check(WaitForExit(10000, &code), "the panel closes");
    CheckLog(mark, "output off", "the output was set to zero", 500);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: panel_driver main|blank|demo PANEL_EXE SIM_LOG BRIDGE_DIR\n");
        return 2;
    }
    g_driver.panelExe = argv[2];
    g_driver.simLog = argv[3];
    g_driver.bridgeDir = argv[4];
    std::string scenario = argv[1];
    if (scenario == "main") {
        ScenarioMain();
    } else if (scenario == "blank") {
        ScenarioBlank();
    } else if (scenario == "demo") {
        ScenarioDemo();
    } else {
        std::fprintf(stderr, "panel_driver: unknown scenario %s\n", argv[1]);
        return 2;
    }
    KillPanel();
    std::printf("%s: %d checks, %d failed\n", scenario.c_str(), g_driver.checks, g_driver.failures);
    return g_driver.failures == 0 && g_driver.checks > 0 ? 0 : 1;
}
