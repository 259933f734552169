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

// Client size the panel gives a popup for text: the text measured within the "Help" template's
// client width in the default GUI font, plus the margins. Measured here with the panel's own
// template, loaded from its executable, since dialog units cannot be converted across processes.
HMODULE g_panelModule;
const char *g_measureText;
SIZE g_measured;

INT_PTR CALLBACK MeasureProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        HDC dc = GetDC(dialog);
        RECT rect;
        GetClientRect(dialog, &rect);
        SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        DrawTextA(dc, g_measureText, -1, &rect, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
        g_measured.cx = rect.right - rect.left + 16;
        g_measured.cy = rect.bottom - rect.top + 4;
        ReleaseDC(dialog, dc);
        return TRUE;
    }
    return FALSE;
}

SIZE ExpectedPopupClient(const char *text) {
    g_measured = SIZE{0, 0};
    if (g_panelModule == nullptr) {
        g_panelModule = LoadLibraryExA(g_driver.panelExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    HRSRC resource = FindResourceA(g_panelModule, "Help", reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (resource == nullptr) {
        return g_measured;
    }
    DWORD size = SizeofResource(g_panelModule, resource);
    static unsigned char copy[4096];
    if (size > sizeof copy) {
        return g_measured;
    }
    std::memcpy(copy, LockResource(LoadResource(g_panelModule, resource)), size);
    reinterpret_cast<DLGTEMPLATE *>(copy)->style &= ~WS_VISIBLE; // measure unseen
    g_measureText = text;
    HWND dialog = CreateDialogIndirectParamA(
        GetModuleHandleA(nullptr), reinterpret_cast<DLGTEMPLATE *>(copy), nullptr, MeasureProc, 0);
    if (dialog != nullptr) {
        DestroyWindow(dialog);
    }
    return g_measured;
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
    CheckStartState();
    CheckEnterAndEscape();
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
    Check(WaitOnline(), "polling went on under the popups");

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
