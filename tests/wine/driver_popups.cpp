/*
 * driver_popups.cpp - the panel's help popups: the about popup on F1, context help on a
 * control, their placement, size and text, and how they close.
 */
#include "panel_driver.h"

#include <cstdio>

// Client size the panel gives a popup for text: the text measured within the template's client
// width in the default GUI font, plus the margins.
static SIZE ExpectedPopupClient(const char *text) {
    SIZE size = {0, 0};
    HWND dialog = HelpTemplateHere();
    if (dialog == nullptr)
        return size;
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

static HWND WaitForPopup(int timeoutMs) {
    HWND popup = nullptr;
    WaitUntil(
        [&] {
            popup = FindPanelWindow(nullptr);
            return popup != nullptr;
        },
        timeoutMs);
    return popup;
}

static void CheckPopupText(HWND popup, const char *text, const char *what) {
    RECT client;
    GetClientRect(popup, &client);
    SIZE expected = ExpectedPopupClient(text);
    char detail[96];
    snprintf(detail, sizeof detail, "client %ldx%ld, text needs %ldx%ld", client.right,
             client.bottom, expected.cx, expected.cy);
    Check(expected.cx > 16 && client.right == expected.cx && client.bottom == expected.cy, what,
          detail);
    // Something dark is painted in the middle row band of the white client area: the text.
    HDC dc = GetDC(popup);
    int dark = 0;
    for (int y = 0; y < client.bottom; y++) {
        for (int x = 0; x < client.right; x++) {
            COLORREF pixel = GetPixel(dc, x, y);
            if (pixel != CLR_INVALID &&
                GetRValue(pixel) + GetGValue(pixel) + GetBValue(pixel) < 200)
                dark++;
        }
    }
    ReleaseDC(popup, dc);
    Check(dark > 20, "popup shows its text in black on white", std::to_string(dark) + " dark px");
}

static HELPINFO g_help; // Wine copies WM_HELP's record into the receiving process

static DWORD WINAPI SendHelp(LPVOID) {
    // Blocks while the popup that it opens is up.
    SendMessageA(g_driver.dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&g_help));
    return 0;
}

static void ParkMouse() {
    SetCursorPos(2, 700);
}

// The mouse on the middle of the popup's client area: the leave notice watches only that.
static void RestOnPopup(HWND popup) {
    RECT client;
    GetClientRect(popup, &client);
    POINT middle = {client.right / 2, client.bottom / 2};
    ClientToScreen(popup, &middle);
    SetCursorPos(middle.x, middle.y);
}

static bool PopupGone(HWND popup) {
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
    if (popup == nullptr)
        return;
    RECT rect;
    GetWindowRect(popup, &rect);
    int midX = (panel.left + panel.right) / 2, midY = (panel.top + panel.bottom) / 2;
    char detail[96];
    snprintf(detail, sizeof detail, "top-left (%ld, %ld), middle (%d, %d)", rect.left, rect.top,
             midX, midY);
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
        snprintf(detail, sizeof detail, "top-left (%ld, %ld), mouse (%ld, %ld)", rect.left,
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
    if (popup == nullptr)
        return;
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
