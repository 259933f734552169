/*
 * help_popup.cpp - context help: the caption's help button and F1 open a small white popup
 * with a control's text (or the about text), placed at the mouse or near the panel's middle,
 * which closes on a click, on losing the focus, when the mouse leaves it or after 10.1 s.
 */
#include "panel.h"
#include "panel_logic.h"
#include "resource.h"

enum {
    HELP_TIMER = 1,
    HELP_TICK_MS = 100,
    TEXT_MARGIN_X = 16, // client width beyond the text's
    TEXT_MARGIN_Y = 4,  // client height beyond the text's
};

static HELPINFO g_aboutRequest; // F1's own request: everything 0 but the identifier and position
static TRACKMOUSEEVENT g_leaveRequest = {sizeof(TRACKMOUSEEVENT), TME_LEAVE, nullptr, 0};

static INT_PTR ClosePopup(HWND popup) {
    KillTimer(popup, HELP_TIMER);
    EndDialog(popup, 0);
    return TRUE;
}

static INT_PTR InitPopup(HWND popup, const HELPINFO *request) {
    g_panel.helpText = HelpTextFor(request->iCtrlId);
    if (g_panel.helpText == nullptr)
        return ClosePopup(popup);
    RECT panel;
    GetWindowRect(g_panel.dialog, &panel);

    HDC dc = GetDC(popup);
    RECT text;
    GetClientRect(popup, &text);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    DrawTextA(dc, g_panel.helpText, -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    int tw = text.right - text.left;
    int th = text.bottom - text.top;
    int sw = GetSystemMetrics(SM_CXSCREEN);
    int sh = GetSystemMetrics(SM_CYSCREEN);

    // W x H is the client area the text needs; the caption bar that the template's border
    // styles give the popup comes on top of it.
    RECT outer = {0, 0, tw + TEXT_MARGIN_X, th + TEXT_MARGIN_Y};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongA(popup, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongA(popup, GWL_EXSTYLE)));
    int w = outer.right - outer.left;
    int h = outer.bottom - outer.top;

    int left = 0, top = 0;
    PlaceHelpPopup(request->MousePos.x, request->MousePos.y, w, h, sw, sh, panel.left, &left, &top);
    MoveWindow(popup, left, top, w, h, TRUE);
    ReleaseDC(popup, dc);

    g_panel.helpTicks = 0;
    SetTimer(popup, HELP_TIMER, HELP_TICK_MS, nullptr);
    return TRUE;
}

static INT_PTR PaintPopup(HWND popup) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(popup, &paint);
    RECT client;
    GetClientRect(popup, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    DrawTextA(dc, g_panel.helpText, -1, &client, DT_WORDBREAK | DT_CENTER);
    EndPaint(popup, &paint);
    return TRUE;
}

static INT_PTR TickPopup(HWND popup) {
    int action = HelpTick(&g_panel.helpTicks);
    if (action & HELP_TICK_TRACK_LEAVE) {
        g_leaveRequest.hwndTrack = popup;
        TrackMouseEvent(&g_leaveRequest);
    }
    if (action & HELP_TICK_CLOSE)
        return ClosePopup(popup);
    return TRUE;
}

void HelpRequest(const HELPINFO *request) {
    if (g_panel.contextHelpArmed) {
        g_panel.contextHelpArmed = 0;
        ShowHelpPopup(request);
        return;
    }
    RECT panel;
    GetWindowRect(g_panel.dialog, &panel);
    g_aboutRequest.iCtrlId = IDH_ABOUT;
    int x = 0, y = 0;
    AboutReference(panel.left, panel.top, panel.right, panel.bottom, &x, &y);
    g_aboutRequest.MousePos.x = x;
    g_aboutRequest.MousePos.y = y;
    ShowHelpPopup(&g_aboutRequest);
}

void ShowHelpPopup(const HELPINFO *request) {
    if (HelpRequestIgnored(request->iCtrlId))
        return;
    DialogBoxParamA(g_panel.instance, "Help", nullptr, HelpDlgProc,
                    reinterpret_cast<LPARAM>(request));
    InvalidateRect(g_panel.dialog, nullptr, TRUE);
    UpdateWindow(g_panel.dialog);
}

INT_PTR CALLBACK HelpDlgProc(HWND popup, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return InitPopup(popup, reinterpret_cast<const HELPINFO *>(lParam));
    case WM_PAINT:
        return PaintPopup(popup);
    case WM_TIMER:
        return TickPopup(popup);
    case WM_KILLFOCUS:
    case WM_LBUTTONDOWN:
    case WM_MOUSELEAVE:
        return ClosePopup(popup);
    default:
        return FALSE;
    }
}
