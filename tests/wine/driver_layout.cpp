/*
 * driver_layout.cpp - the panel's controls as the template lays them out, checked against its
 * live child windows: order, class, caption, identifier, styles and rectangles.
 */
#include "panel_driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

const DWORD GROUP_ON = BS_CENTER | WS_GROUP | WS_VISIBLE;
const DWORD SUNKEN_ON = SS_SUNKEN | WS_VISIBLE;
const DWORD RADIO_ON = WS_TABSTOP | WS_VISIBLE;
const DWORD LIT_ON = BS_PUSHLIKE | WS_DISABLED | WS_VISIBLE;
const DWORD DARK_ON = BS_PUSHLIKE | WS_DISABLED | BS_FLAT;
// Wine's progress bar takes its WS_BORDER off when it is created (the template check sees it).
const DWORD BAR_ON = WS_VISIBLE;

// The status and fault indicators: push-like check boxes 11 units high, the unnamed bits dark.
#define LIT(id, text, x, y, w)                                                                     \
    { id, "Button", text, x, y, w, 11, BS_AUTOCHECKBOX, LIT_ON, 0, 0, 0 }
#define DARK(id, x, y, w)                                                                          \
    { id, "Button", "", x, y, w, 11, BS_AUTOCHECKBOX, DARK_ON, WS_VISIBLE, 0, 0 }

// Every control of the panel in template order, which is also the order of its child windows.
const ControlLayout LAYOUT[] = {
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
    // clang-format off
    LIT(IDC_STATUS_RESET, "Reset", 143, 174, 31),   LIT(IDC_STATUS_COMERR, "ComErr", 175, 174, 31),
    LIT(IDC_STATUS_OVERT, "OverT", 207, 174, 31),   LIT(IDC_STATUS_FAULT, "Fault", 239, 174, 31),
    LIT(IDC_STATUS_EEBUSY, "EEBusy", 271, 174, 32), LIT(IDC_STATUS_ENABLE, "Enable", 303, 174, 31),
    LIT(IDC_STATUS_OVERI, "OverI", 335, 174, 31),   LIT(IDC_STATUS_OVERV, "OverV", 367, 174, 31),
    LIT(IDC_FAULT_EESUM, "EESum", 143, 186, 31),    LIT(IDC_FAULT_ADCV, "AdcV", 175, 186, 31),
    LIT(IDC_FAULT_ADCI, "AdcI", 207, 186, 31),      DARK(IDC_FAULT_BIT4, 237, 186, 32),
    LIT(IDC_FAULT_DAC, "DAC", 271, 186, 32),        DARK(IDC_FAULT_BIT2, 303, 186, 31),
    DARK(IDC_FAULT_BIT1, 333, 186, 31),             DARK(IDC_FAULT_BIT0, 365, 186, 31),
    // clang-format on
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
const int LAYOUT_COUNT = sizeof LAYOUT / sizeof LAYOUT[0];

struct ChildList {
    HWND windows[96];
    int count;
};

static BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
    ChildList *list = reinterpret_cast<ChildList *>(param);
    if (GetParent(child) == g_driver.dialog && list->count < 96)
        list->windows[list->count++] = child;
    return TRUE;
}

// Position and size are converted apart, as the dialog manager does when it creates a control.
static RECT Pixels(int x, int y, int w, int h) {
    RECT units = {x, y, w, h};
    MapDialogRect(HelpTemplateHere(), &units);
    RECT rect = {units.left, units.top, units.left + units.right, units.top + units.bottom};
    return rect;
}

static RECT RectInPanel(HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, g_driver.dialog, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

static std::string Describe(const RECT &r) {
    char text[64];
    snprintf(text, sizeof text, "(%ld,%ld)-(%ld,%ld)", r.left, r.top, r.right, r.bottom);
    return text;
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
    Check(children.count == LAYOUT_COUNT, "one child window per template control",
          std::to_string(children.count) + " of " + std::to_string(LAYOUT_COUNT));
    int wrong = 0;
    for (int i = 0; i < LAYOUT_COUNT && i < children.count; i++) {
        const ControlLayout &want = LAYOUT[i];
        HWND child = children.windows[i];
        std::string problems;
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, want.cls) != 0)
            problems += std::string(" class ") + cls;
        int id = GetDlgCtrlID(child);
        if ((want.id == -1 && (id & 0xFFFF) != 0xFFFF) || (want.id != -1 && id != want.id))
            problems += " id " + std::to_string(id);
        if (want.text != nullptr && WindowText(child) != want.text)
            problems += " text \"" + WindowText(child) + "\"";
        DWORD cs = static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE));
        DWORD cex = static_cast<DWORD>(GetWindowLongA(child, GWL_EXSTYLE));
        DWORD typeMask = strcmp(want.cls, "Static") == 0 ? SS_TYPEMASK : BS_TYPEMASK;
        if ((want.type != ANY_TYPE && static_cast<int>(cs & typeMask) != want.type) ||
            (cs & want.on) != want.on || (cs & want.off) != 0 || (cex & want.exOn) != want.exOn ||
            (cs & WS_CHILD) == 0) {
            char bits[64];
            snprintf(bits, sizeof bits, " style 0x%08lx ex 0x%08lx", cs, cex);
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
            if (!ok)
                problems += " at " + Describe(actual) + " for " + Describe(track);
        } else if (!EqualRect(&expected, &actual)) {
            problems += " at " + Describe(actual) + " for " + Describe(expected);
        }
        if (!problems.empty()) {
            wrong++;
            printf("    control %d (%s \"%s\"):%s\n", i, want.cls,
                   want.text != nullptr ? want.text : "", problems.c_str());
        }
    }
    Check(wrong == 0, "controls match the template: order, class, caption, styles, rectangles",
          std::to_string(wrong) + " differ");
}
