/*
 * panel_logic.h - the panel's arithmetic and tables, kept free of the Windows headers so that it
 * builds and is tested natively: slider and fine-step scaling, bar positions, the help popup's
 * placement and timing, the help texts, the indicator map and the port choice.
 */
#ifndef K7340_PANEL_LOGIC_H
#define K7340_PANEL_LOGIC_H

enum {
    PORT_COUNT = 5,          // COM1 to COM5 are offered
    SLIDER_VOLTS_STEP = 100, // one trackbar step is about this many volts
    BAR_STEPS = 1000,        // the meter bars run from 0 to this
    ABOUT_OFFSET = 100,   // the about popup's reference point lies this far up-left of the middle
    HELP_LEAVE_TICK = 20, // the mouse-leave notice is asked for on the tick after this count
    HELP_LAST_TICK = 100, // the popup closes once the count passes this
};

// Trackbar steps for a full-scale voltage: about 100 V each.
int SliderSteps(int vrange);

// Whole volts for trackbar position pos (product first, truncated); 0 while there are no steps.
int SetpointFromSlider(int pos, int vrange, int sliderSteps);

// The up-down reports delta -1 for its up arrow: the setpoint moves against the delta, held
// within 0 to vrange. While vrange is 0 (never connected) the setpoint stays 0.
int SetpointFromFine(int setpoint, int delta, int vrange);

// Trackbar position that shows a setpoint; 0 while vrange is 0.
int SliderFromSetpoint(int setpoint, int vrange, int sliderSteps);

// Bar position for a reading: reading / range * 1000, truncated toward zero, not clamped.
int BarPosition(double reading, int range);

// Volts handed to the library for a pending setpoint: half a volt up so that the supply's
// rounding lands on the whole volt asked for; 0.0 switches the output off.
double SetpointVolts(int setpoint, int outputEnabled);

// Reference point of the F1 about popup, from the panel's window rectangle.
void AboutReference(int left, int top, int right, int bottom, int *x, int *y);

// Top-left corner of a help popup of outer size w x h asked for at (x, y), kept on a screen of
// sw x sh. panelLeft is the panel window's left edge: the popup is pulled left from the right
// screen edge only while it then still starts right of the panel's left edge.
void PlaceHelpPopup(int x, int y, int w, int h, int sw, int sh, int panelLeft, int *left, int *top);

enum { HELP_TICK_NOTHING = 0, HELP_TICK_TRACK_LEAVE = 1, HELP_TICK_CLOSE = 2 };

// One 100 ms tick of an open help popup: advances *ticks and says what to do (bit flags).
int HelpTick(int *ticks);

// Help text of a control, or 0 for a control without one. Single-byte ANSI texts.
const char *HelpTextFor(int id);

// True when a help request names no control (0) or a group box or label (low word 0xFFFF).
bool HelpRequestIgnored(int id);

// The sixteen indicators in the order they are set: for bit i = 0 to 7, IDC_STATUS_OVERV + i,
// then IDC_FAULT_BIT0 + i. ids and checked receive 16 entries each.
enum { FLAG_BITS = 8, INDICATOR_COUNT = 2 * FLAG_BITS };
void IndicatorStates(int status, int fault, int ids[INDICATOR_COUNT], int checked[INDICATOR_COUNT]);

// The radio buttons' identifiers, COM1 to COM5.
extern const int kPortButtonIds[PORT_COUNT];

// comPort after a port selection: the first checked button in COM1..COM5 order, else current.
int PortFromChecks(const int checked[PORT_COUNT], int current);

// Start is offered once a port is chosen and while offline.
bool StartEnabled(int comPort, int online);

#endif
