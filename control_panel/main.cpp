/*
 * main.cpp - start-up of 7340demo: the minimised owner window and the modal panel dialog.
 */
#include "panel.h"

#include <commctrl.h>

PanelState g_panel = {};

static const char CLASS_NAME[] = "7340demo";

static LRESULT CALLBACK OwnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_DESTROY:
        // Closed from its taskbar entry: never leave high voltage on behind the program.
        if (!g_panel.exited && g_panel.dialog != nullptr)
            ExitPanel();
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    g_panel.instance = instance;
    g_panel.comPort = -1;

    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = OwnerWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, "AIcon");
    windowClass.lpszClassName = CLASS_NAME;
    if (RegisterClassA(&windowClass) == 0)
        return 0;

    InitCommonControls();

    HWND owner = CreateWindowExA(0, CLASS_NAME, CLASS_NAME, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                 CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, nullptr);
    if (owner == nullptr)
        return 0;
    ShowWindow(owner, SW_MINIMIZE);

    DialogBoxParamA(instance, "Edit", owner, PanelDlgProc, 0);
    return 0;
}
