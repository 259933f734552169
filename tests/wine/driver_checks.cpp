/*
 * driver_checks.cpp - the driver's checks, and reading the panel's controls back.
 */
#include "panel_driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

Driver g_driver;

void Check(bool ok, const char *what, const std::string &detail) {
    g_driver.checks++;
    if (!ok)
        g_driver.failures++;
    printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : " -- ", detail.c_str());
    fflush(stdout);
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

void CheckText(int id, const char *expected, int timeoutMs) {
    bool ok = WaitUntil([&] { return Trimmed(id) == expected; }, timeoutMs);
    char what[96];
    snprintf(what, sizeof what, "%d reads \"%s\"", id, expected);
    Check(ok, what, ok ? "" : "it reads \"" + Text(id) + "\"");
}

void CheckEnabled(int id, bool expected) {
    char what[64];
    snprintf(what, sizeof what, "%d %s", id, expected ? "enabled" : "disabled");
    Check(Enabled(id) == expected, what);
}

void CheckChecked(int id, bool expected, int timeoutMs) {
    char what[64];
    snprintf(what, sizeof what, "%d %s", id, expected ? "checked" : "unchecked");
    Check(WaitUntil([&] { return Checked(id) == expected; }, timeoutMs), what);
}

double Reading(int id) {
    return atof(Trimmed(id).c_str());
}

int BarPos(int id) {
    DWORD_PTR pos = 0;
    SendMessageTimeoutA(Item(id), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
    return static_cast<int>(pos);
}
