/*
 * driver_log.cpp - the bridge to the supply: k7340sim's traffic log, read to check what the
 * supply received, and the requests to the shell script for what a Windows program cannot do
 * itself ("N.shot", a screenshot; "N.ctl", a line for the simulator's control FIFO; the script
 * answers each with "N.done").
 */
#include "panel_driver.h"

#include <cstdio>

static std::string ReadLog() {
    HANDLE file = CreateFileA(g_driver.simLog, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

size_t LogMark() {
    return ReadLog().size();
}

// Waits until the supply has received a command that the log decodes as `words`, after mark.
static bool LogShows(size_t mark, const char *words, int timeoutMs) {
    return WaitUntil([&] { return ReadLog().find(words, mark) != std::string::npos; }, timeoutMs);
}

void CheckLog(size_t mark, const char *words, const char *what, int timeoutMs) {
    DWORD start = GetTickCount();
    bool ok = LogShows(mark, words, timeoutMs);
    char detail[64];
    snprintf(detail, sizeof detail, "after %lu ms",
             static_cast<unsigned long>(GetTickCount() - start));
    Check(ok, what, ok ? detail : std::string("\"") + words + "\" not in the log");
}

// --- requests to the shell script -----------------------------------------------------------

static bool Request(const char *kind, const char *text) {
    int n = ++g_driver.requests;
    char path[MAX_PATH], temp[MAX_PATH], done[MAX_PATH];
    snprintf(temp, sizeof temp, "%s\\%d.tmp", g_driver.bridgeDir, n);
    snprintf(path, sizeof path, "%s\\%d.%s", g_driver.bridgeDir, n, kind);
    snprintf(done, sizeof done, "%s\\%d.done", g_driver.bridgeDir, n);
    FILE *file = fopen(temp, "wb");
    if (file == nullptr)
        return false;
    fputs(text, file);
    fclose(file);
    MoveFileA(temp, path); // the script sees the request whole or not at all
    return WaitUntil([&] { return GetFileAttributesA(done) != INVALID_FILE_ATTRIBUTES; }, 20000);
}

void Simulator(const char *command) {
    Check(Request("ctl", command), "simulator told", command);
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
    snprintf(request, sizeof request, "%s %ldx%ld+%ld+%ld", name, area.right - area.left,
             area.bottom - area.top, area.left, area.top);
    Check(Request("shot", request), "screenshot taken", request);
}
