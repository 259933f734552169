/*
 * connection.cpp - connecting to the supply, the 50 ms poll, the setpoint from the slider, the
 * fine adjuster and Output Enable, the error text and the status and fault indicators.
 * Every library call uses device index 0.
 */
#include "k7340.h"
#include "panel.h"
#include "panel_logic.h"
#include "resource.h"

#include <commctrl.h>

enum { RESET_SETTLE_MS = 1000 }; // after a reset the supply is given this long before the next poll

// The EEPROM could not be used; the library carries on with its default ranges.
static void WarnAboutDefaults(int code) {
    const char *text = code == K7340_ERR_EEPROM_CHECKSUM
                           ? "Device is not configured; using default calibration and "
                             "setpoint/meter ranges"
                           : "Unprogrammed setpoint/meter ranges; using defaults (run "
                             "k7340config.exe to program)";
    MessageBoxA(nullptr, text, "Warning", MB_OK | MB_ICONWARNING);
}

// Steps 2 to 7 of a Start: 0, or the code of the step that failed.
static int OpenAndPrepare(int *revision) {
    int r = K7340_OpenDevice(DEVICE, g_panel.comPort);
    if (r == K7340_ERR_EEPROM_CHECKSUM || r == K7340_ERR_RANGES)
        WarnAboutDefaults(r);
    else if (r != K7340_OK)
        return r;
    r = K7340_GetFwVersion(DEVICE, revision);
    if (r != K7340_OK)
        return r;
    r = K7340_GetRanges(DEVICE, &g_panel.vrange, &g_panel.irange);
    if (r != K7340_OK)
        return r;
    r = K7340_SetVoltage(DEVICE, 0.0);
    if (r != K7340_OK)
        return r;
    return K7340_SetWD(DEVICE, 0);
}

static void SetBars(int voltage, int current) {
    SendMessageA(g_panel.voltageBar, PBM_SETPOS, voltage, 0);
    SendMessageA(g_panel.currentBar, PBM_SETPOS, current, 0);
}

void StartConnection() {
    // The warning box runs its own message loop, in which Start can be pressed again.
    if (g_panel.starting)
        return;
    g_panel.starting = 1;
    g_panel.setpoint = 0;
    int revision = 0;
    int r = OpenAndPrepare(&revision);
    g_panel.starting = 0;
    if (r != K7340_OK) {
        ShowErrorAndStatus(r);
        StopConnection();
        return;
    }

    g_panel.online = 1;
    SetDlgItemTextA(g_panel.dialog, IDC_CONNECTION_STATE, "Online");
    g_panel.sliderSteps = SliderSteps(g_panel.vrange);
    SendMessageA(g_panel.trackbar, TBM_SETRANGE, TRUE, MAKELPARAM(0, g_panel.sliderSteps));
    SendMessageA(g_panel.voltageBar, PBM_SETRANGE, 0, MAKELPARAM(0, BAR_STEPS));
    SendMessageA(g_panel.currentBar, PBM_SETRANGE, 0, MAKELPARAM(0, BAR_STEPS));
    SetItemTextF(IDC_FIRMWARE, "%04x", revision);
    SetItemTextF(IDC_VOLTAGE_SCALE, "%d", g_panel.vrange);
    SetItemTextF(IDC_CURRENT_SCALE, "%d", g_panel.irange);
    UpdateControlStates();
}

void StopCommand() {
    K7340_SetVoltage(DEVICE, 0.0);
    StopConnection();
}

void StopConnection() {
    g_panel.online = 0;
    K7340_CloseDevice(DEVICE);
    SetDlgItemTextA(g_panel.dialog, IDC_CONNECTION_STATE, "Offline");
    const int cleared[] = {IDC_VOLTAGE,  IDC_CURRENT,       IDC_TEMPERATURE,  IDC_SETPOINT,
                           IDC_FIRMWARE, IDC_VOLTAGE_SCALE, IDC_CURRENT_SCALE};
    for (int id : cleared)
        SetDlgItemTextA(g_panel.dialog, id, "");
    SendMessageA(g_panel.trackbar, TBM_SETPOS, TRUE, 0);
    SetBars(0, 0);
    SendDlgItemMessageA(g_panel.dialog, IDC_OUTPUT_ENABLE, BM_SETCHECK, BST_UNCHECKED, 0);
    g_panel.outputEnabled = 0;
    UpdateControlStates();
}

void ExitPanel() {
    g_panel.exited = 1;
    K7340_SetVoltage(DEVICE, 0.0); // -1 when not connected
    StopConnection();
    KillTimer(g_panel.dialog, POLL_TIMER);
    PostQuitMessage(0);
}

void OutputEnableCommand() {
    g_panel.outputEnabled =
        SendDlgItemMessageA(g_panel.dialog, IDC_OUTPUT_ENABLE, BM_GETCHECK, 0, 0) == BST_CHECKED;
    g_panel.setpointPending = 1;
}

void SetSetpointFromSlider() {
    int position = static_cast<int>(SendMessageA(g_panel.trackbar, TBM_GETPOS, 0, 0));
    g_panel.setpoint = SetpointFromSlider(position, g_panel.vrange, g_panel.sliderSteps);
    g_panel.setpointPending = g_panel.online;
}

void SetSetpointFromFine(const NMUPDOWN *notification) {
    // Never connected: there is no range to scale by, so nothing moves.
    if (g_panel.vrange == 0)
        return;
    int n = SetpointFromFine(g_panel.setpoint, notification->iDelta, g_panel.vrange);
    SendMessageA(g_panel.trackbar, TBM_SETPOS, TRUE,
                 SliderFromSetpoint(n, g_panel.vrange, g_panel.sliderSteps));
    g_panel.setpoint = n;
    g_panel.setpointPending = g_panel.online;
}

void PollDevice() {
    double volts = 0.0, microamps = 0.0, temperature = 0.0;
    int r = K7340_ReadMeter(DEVICE, K7340_METER_VOLTAGE, &volts);
    if (r != K7340_OK) {
        SetDlgItemTextA(g_panel.dialog, IDC_VOLTAGE, "error");
        ShowErrorAndStatus(r);
        return;
    }
    r = K7340_ReadMeter(DEVICE, K7340_METER_CURRENT, &microamps);
    if (r != K7340_OK) {
        SetDlgItemTextA(g_panel.dialog, IDC_CURRENT, "error");
        ShowErrorAndStatus(r);
        return;
    }
    r = K7340_ReadMeter(DEVICE, K7340_METER_TEMPERATURE, &temperature);
    if (r != K7340_OK) {
        SetDlgItemTextA(g_panel.dialog, IDC_TEMPERATURE, "error");
        ShowErrorAndStatus(r);
        return;
    }
    SetItemTextF(IDC_VOLTAGE, "%9.0lf", volts);
    SetItemTextF(IDC_CURRENT, "%9.3lf", microamps);
    SetItemTextF(IDC_TEMPERATURE, "%5.2lf", temperature);
    SetItemTextF(IDC_SETPOINT, "%d", g_panel.setpoint);
    SetBars(BarPosition(volts, g_panel.vrange), BarPosition(microamps, g_panel.irange));

    if (g_panel.setpointPending) {
        r = K7340_SetVoltage(DEVICE, SetpointVolts(g_panel.setpoint, g_panel.outputEnabled));
        g_panel.setpointPending = 0; // a failed send waits for the operator's next change
    }
    ShowErrorAndStatus(r);
}

void ShowErrorAndStatus(int code) {
    SetDlgItemTextA(g_panel.dialog, IDC_ERROR_TEXT, K7340_GetErrString(code));
    int status = 0, fault = 0;
    if (K7340_GetStatusFlags(DEVICE, &status) != K7340_OK)
        return;
    if (K7340_GetFaultFlags(DEVICE, &fault) != K7340_OK)
        return;
    int ids[INDICATOR_COUNT], checked[INDICATOR_COUNT];
    IndicatorStates(status, fault, ids, checked);
    for (int i = 0; i < INDICATOR_COUNT; i++) {
        SendDlgItemMessageA(g_panel.dialog, ids[i], BM_SETCHECK,
                            checked[i] ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if (status & K7340_STATUS_RESET)
        Sleep(RESET_SETTLE_MS);
}
