/*
 * resource.h - identifiers shared by 7340demo.rc, the dialog's handlers and the help table.
 * Plain numbers only: the resource compiler and the native unit tests include it too.
 */
#ifndef PANEL_RESOURCE_H
#define PANEL_RESOURCE_H

// Connection
#define IDC_COM1 1000
#define IDC_COM2 1010
#define IDC_COM3 1020
#define IDC_COM4 1030
#define IDC_COM5 1040
#define IDC_CONNECTION_STATE 1050
#define IDC_STOP 1060
#define IDC_START 1070

// Device info
#define IDC_FIRMWARE 1080
#define IDC_VOLTAGE_SCALE 1081
#define IDC_CURRENT_SCALE 1082
#define IDC_TEMPERATURE 1090

// Setpoint
#define IDC_TRACKBAR 1110
#define IDC_OUTPUT_ENABLE 1120
#define IDC_FINE 1160
#define IDC_SETPOINT 1210

// Meters
#define IDC_VOLTAGE_BAR 1170
#define IDC_CURRENT_BAR 1180
#define IDC_CURRENT 1350
#define IDC_VOLTAGE 1360

// Status
#define IDC_ERROR_TEXT 2900
#define IDC_STATUS_OVERV 3000
#define IDC_STATUS_OVERI 3001
#define IDC_STATUS_ENABLE 3002
#define IDC_STATUS_EEBUSY 3003
#define IDC_STATUS_FAULT 3004
#define IDC_STATUS_OVERT 3005
#define IDC_STATUS_COMERR 3006
#define IDC_STATUS_RESET 3007
#define IDC_FAULT_BIT0 3100
#define IDC_FAULT_BIT1 3101
#define IDC_FAULT_BIT2 3102
#define IDC_FAULT_DAC 3103
#define IDC_FAULT_BIT4 3104
#define IDC_FAULT_ADCI 3105
#define IDC_FAULT_ADCV 3106
#define IDC_FAULT_EESUM 3107

// The command that ends the panel; no control carries it.
#define IDM_EXIT 8000

// Help request identifier of the F1 about popup.
#define IDH_ABOUT 100

#endif
