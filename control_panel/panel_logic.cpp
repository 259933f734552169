/*
 * panel_logic.cpp - the panel's arithmetic and tables (no Windows headers: tested natively).
 */
#include "panel_logic.h"
#include "resource.h"

#include <climits>

enum {
    HELP_SCREEN_MARGIN = 5, // a help popup keeps this far inside the screen's right and bottom
    HELP_SHIFT_LEFT = 10,   // and opens this far left of
    HELP_SHIFT_UP = 2,      // and this far above the point asked for, within the screen
    STATIC_ID = 0xFFFF,     // the low word of a group box's or label's identifier (IDC_STATIC)
};

const int kPortButtonIds[PORT_COUNT] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_COM5};

int SliderSteps(int vrange) {
    return vrange / SLIDER_VOLTS_STEP;
}

int SetpointFromSlider(int pos, int vrange, int sliderSteps) {
    if (sliderSteps == 0)
        return 0;
    return pos * vrange / sliderSteps;
}

int SetpointFromFine(int setpoint, int delta, int vrange) {
    if (vrange == 0)
        return 0;
    int n = setpoint - delta;
    if (n < 0)
        n = 0;
    else if (n > vrange)
        n = vrange;
    return n;
}

int SliderFromSetpoint(int setpoint, int vrange, int sliderSteps) {
    if (vrange == 0)
        return 0;
    return setpoint * sliderSteps / vrange;
}

int BarPosition(double reading, int range) {
    double position = reading / range * BAR_STEPS;
    // A reading never exceeds its range by much; the bound only keeps the conversion defined.
    if (!(position > INT_MIN && position < INT_MAX))
        return 0;
    return static_cast<int>(position);
}

double SetpointVolts(int setpoint, int outputEnabled) {
    return outputEnabled ? setpoint + 0.5 : 0.0;
}

void AboutReference(int left, int top, int right, int bottom, int *x, int *y) {
    *x = (left + right) / 2 - ABOUT_OFFSET;
    *y = (top + bottom) / 2 - ABOUT_OFFSET;
}

void PlaceHelpPopup(int x, int y, int w, int h, int sw, int sh, int panelLeft, int *left,
                    int *top) {
    if (sw - x - w - HELP_SCREEN_MARGIN < 0) {
        int c = sw - w - HELP_SCREEN_MARGIN;
        if (c > panelLeft)
            x = c;
    }
    if (sh - y - h - HELP_SCREEN_MARGIN < 0)
        y = sh - h - HELP_SCREEN_MARGIN;
    *left = x - HELP_SHIFT_LEFT < 0 ? 0 : x - HELP_SHIFT_LEFT;
    *top = y - HELP_SHIFT_UP < 0 ? 0 : y - HELP_SHIFT_UP;
}

int HelpTick(int *ticks) {
    int action = HELP_TICK_NOTHING;
    if (*ticks == HELP_LEAVE_TICK)
        action |= HELP_TICK_TRACK_LEAVE;
    *ticks += 1;
    if (*ticks > HELP_LAST_TICK)
        action |= HELP_TICK_CLOSE;
    return action;
}

struct HelpEntry {
    int id;
    const char *text;
};

// The about text's second line is the maker's web address.
static const HelpEntry HELP_TEXTS[] = {
    {IDH_ABOUT, "Vantrel\nvantrel.example"},
    {IDC_COM1, "Use COM1."},
    {IDC_COM2, "Use COM2."},
    {IDC_COM3, "Use COM3."},
    {IDC_COM4, "Use COM4."},
    {IDC_COM5, "Use COM5."},
    {IDC_CONNECTION_STATE, "Connection status."},
    {IDC_STOP, "Stop connection."},
    {IDC_START, "Start connection."},
    {IDC_FIRMWARE, "Firmware revision."},
    {IDC_TRACKBAR, "Output voltage to set."},
    {IDC_OUTPUT_ENABLE, "Enable output."},
    {IDC_FINE, "Output voltage to set (fine)."},
    {IDC_SETPOINT, "Output voltage to set."},
    // 0xB5 is the micro sign in the ANSI code page.
    {IDC_CURRENT, "Corrected and filtered data from internal current meter, \xB5"
                  "A."},
    {IDC_VOLTAGE, "Corrected and filtered data from internal voltage meter, V."},
    {IDC_ERROR_TEXT, "Error status."},
    {IDC_STATUS_OVERV, "Over Voltage status bit."},
    {IDC_STATUS_OVERI, "Over Current status bit."},
    {IDC_STATUS_ENABLE, "Enable Output status bit."},
    {IDC_STATUS_EEBUSY, "EEPROM busy (writing) status bit."},
    {IDC_STATUS_FAULT, "Fault status bit. See next line for details."},
    {IDC_STATUS_OVERT, "Over Temperature status bit."},
    {IDC_STATUS_COMERR, "COM Port Error status bit."},
    {IDC_STATUS_RESET, "Reset status bit."},
    {IDC_FAULT_DAC, "DAC error."},
    {IDC_FAULT_ADCI, "Current Meter ADC error."},
    {IDC_FAULT_ADCV, "Voltage Meter ADC error."},
    {IDC_FAULT_EESUM, "EEPROM Checksum error.."},
};

const char *HelpTextFor(int id) {
    for (const HelpEntry &entry : HELP_TEXTS)
        if (entry.id == id)
            return entry.text;
    return nullptr;
}

bool HelpRequestIgnored(int id) {
    return (id & STATIC_ID) == STATIC_ID || id == 0;
}

void IndicatorStates(int status, int fault, int ids[INDICATOR_COUNT],
                     int checked[INDICATOR_COUNT]) {
    for (int bit = 0; bit < FLAG_BITS; bit++) {
        ids[2 * bit] = IDC_STATUS_OVERV + bit;
        checked[2 * bit] = (status >> bit) & 1;
        ids[2 * bit + 1] = IDC_FAULT_BIT0 + bit;
        checked[2 * bit + 1] = (fault >> bit) & 1;
    }
}

int PortFromChecks(const int checked[PORT_COUNT], int current) {
    for (int port = 0; port < PORT_COUNT; port++)
        if (checked[port])
            return port;
    return current;
}

bool StartEnabled(int comPort, int online) {
    return comPort != -1 && online == 0;
}
