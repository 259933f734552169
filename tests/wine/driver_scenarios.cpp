/*
 * driver_scenarios.cpp - the scenarios the shell script runs: main (a configured supply on
 * COM1, nothing on COM5), blank (a supply with a blank EEPROM on COM1) and demo (the scripted
 * session of scripts/demo), each a list of named steps.
 */
#include "panel_driver.h"

#include <commctrl.h>

#include <cstdio>

static void CheckStartState() {
    const int radios[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_COM5};
    bool noneChecked = true;
    for (int id : radios)
        noneChecked = noneChecked && !Checked(id);
    Check(noneChecked, "no port checked at start");
    CheckText(IDC_CONNECTION_STATE, "Offline");
    CheckEnabled(IDC_START, false);
    CheckEnabled(IDC_STOP, false);
    CheckEnabled(IDC_TRACKBAR, false);
    CheckEnabled(IDC_OUTPUT_ENABLE, false);
    CheckEnabled(IDC_FINE, true);
    CheckEnabled(IDC_COM1, true);
}

static void CheckOnlineState() {
    CheckText(IDC_CONNECTION_STATE, "Online");
    const int radios[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_COM5};
    for (int id : radios)
        CheckEnabled(id, false);
    CheckEnabled(IDC_START, false);
    CheckEnabled(IDC_STOP, true);
    CheckEnabled(IDC_TRACKBAR, true);
    CheckEnabled(IDC_OUTPUT_ENABLE, true);
    CheckChecked(IDC_OUTPUT_ENABLE, false);
}

// Enter and Escape reach the dialog manager as IDOK and IDCANCEL, which must not close it.
static void CheckEnterAndEscape() {
    Foreground();
    Key(VK_RETURN);
    Key(VK_ESCAPE);
    PostMessageA(g_driver.dialog, WM_COMMAND, IDOK, 0);
    PostMessageA(g_driver.dialog, WM_COMMAND, IDCANCEL, 0);
    Sleep(1000);
    Check(PanelAlive() && IsWindowVisible(g_driver.dialog), "Enter and Escape leave it open");
}

// A start on a port with no supply. Wine opens every mapped COM port, even one whose device
// has gone, so the only port that fails to open is one with no mapping at all, COM5 here, whose
// button the probe disables. It is chosen the way its click would: checked, then its command
// (a click on the disabled auto radio button itself sends Wine 8 into an endless group walk).
static void ScenarioPortWithoutSupply() {
    CheckEnabled(IDC_COM5, false);
    SendMessageA(Item(IDC_COM5), BM_SETCHECK, BST_CHECKED, 0);
    PostMessageA(g_driver.dialog, WM_COMMAND, MAKEWPARAM(IDC_COM5, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Item(IDC_COM5)));
    Check(WaitUntil([] { return Enabled(IDC_START); }, 3000), "choosing a port enables Start");
    Click(IDC_START);
    CheckText(IDC_ERROR_TEXT, "COM port busy or not found", 10000);
    CheckText(IDC_CONNECTION_STATE, "Offline");
    CheckEnabled(IDC_START, true);
    CheckEnabled(IDC_STOP, false);
    CheckEnabled(IDC_TRACKBAR, false);
    SendMessageA(Item(IDC_COM5), BM_SETCHECK, BST_UNCHECKED, 0);
}

// Never connected: there is no range yet, so the up-down moves nothing.
static void CheckFineBeforeConnecting() {
    ClickFine(true);
    ClickFine(true);
    Sleep(300);
    DWORD_PTR position = 99;
    SendMessageTimeoutA(Item(IDC_TRACKBAR), TBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &position);
    Check(position == 0 && Trimmed(IDC_SETPOINT).empty(),
          "the up-down before the first connection moves nothing",
          "trackbar at " + std::to_string(position));
}

static void ConnectToConfiguredSupply() {
    Click(IDC_COM1);
    CheckChecked(IDC_COM1, true);
    CheckChecked(IDC_COM5, false);
    const size_t mark = LogMark();
    Click(IDC_START);
    Check(WaitOnline(), "Start connects");
    CheckOnlineState();
    CheckText(IDC_FIRMWARE, "0123");
    CheckText(IDC_VOLTAGE_SCALE, "50000");
    CheckText(IDC_CURRENT_SCALE, "200");
    CheckText(IDC_ERROR_TEXT, "No errors");
    CheckText(IDC_SETPOINT, "0");
    Check(!Trimmed(IDC_VOLTAGE).empty() && !Trimmed(IDC_CURRENT).empty() &&
              !Trimmed(IDC_TEMPERATURE).empty(),
          "first poll fills the readings",
          Text(IDC_VOLTAGE) + " V, " + Text(IDC_CURRENT) + " uA, " + Text(IDC_TEMPERATURE));
    CheckLog(mark, "output off", "connection sends a zero setpoint");
    CheckLog(mark, "watchdog 0 (off)", "connection switches the watchdog off");
}

// Slider to 1000 V while the output is disabled: the supply gets 0.0; Output Enable sends it.
static void SliderAndOutputEnable() {
    CheckSent("output off", "slider with the output disabled sends 0.0", [] {
        MoveTrackbar(10);
        CheckText(IDC_SETPOINT, "1000");
    });
    CheckSent("set 1000.5 V, output on", "Output Enable sends setpoint + 0.5 V", [] {
        Click(IDC_OUTPUT_ENABLE);
        CheckChecked(IDC_OUTPUT_ENABLE, true);
    });
    Check(WaitForVolts(1000, 1.0), "voltage reading follows to 1000 V", Text(IDC_VOLTAGE));
    int bar = BarPos(IDC_VOLTAGE_BAR);
    Check(bar == 20, "voltage bar at 1000 / 50000 * 1000", std::to_string(bar));
    CheckChecked(IDC_STATUS_ENABLE, true);

    CheckSent("set 2500.5 V, output on", "slider to 2500 V reaches the supply",
              [] { MoveTrackbar(25); });
    Check(WaitForVolts(2500, 1.0), "voltage reading follows to 2500 V", Text(IDC_VOLTAGE));
    bar = BarPos(IDC_VOLTAGE_BAR);
    Check(bar == 50, "voltage bar follows", std::to_string(bar));
    const int currentBar = BarPos(IDC_CURRENT_BAR);
    const double microamps = Reading(IDC_CURRENT);
    Check(currentBar == static_cast<int>(microamps / 200 * 1000), "current bar follows",
          std::to_string(currentBar) + " for " + Text(IDC_CURRENT) + " uA");
}

// The up-down's halves: up raises the setpoint by one volt, down lowers it.
static void FineSteps() {
    CheckSent("set 2501.5 V, output on", "up arrow sends one volt more", [] {
        ClickFine(true);
        CheckText(IDC_SETPOINT, "2501");
    });
    CheckSent("set 2499.5 V, output on", "down arrow sends one volt less", [] {
        ClickFine(false);
        ClickFine(false);
        CheckText(IDC_SETPOINT, "2499");
    });
    Check(WaitForVolts(2499, 1.0), "voltage reading follows the fine steps", Text(IDC_VOLTAGE));
    Screenshot("panel-connected");
    CheckSent("output off", "unchecking Output Enable sends 0.0", [] {
        Click(IDC_OUTPUT_ENABLE);
        CheckChecked(IDC_OUTPUT_ENABLE, false);
    });
    CheckChecked(IDC_STATUS_ENABLE, false);
}

// A silent supply: "error" in the voltage field, the error text, still online.
static void SilentSupply() {
    Simulator("silent on");
    CheckText(IDC_VOLTAGE, "error", 5000);
    CheckText(IDC_ERROR_TEXT, "Device read failed");
    CheckText(IDC_CONNECTION_STATE, "Online");
    Simulator("silent off");
    CheckText(IDC_ERROR_TEXT, "No errors", 5000);
    Check(WaitUntil([] { return Trimmed(IDC_VOLTAGE) != "error"; }, 5000),
          "readings come back when the supply answers again", Text(IDC_VOLTAGE));
}

// The reset bit shows on its indicator (each poll then waits a second), then the others.
static void StatusAndFaultBits() {
    Simulator("status-bits 0x80");
    CheckChecked(IDC_STATUS_RESET, true, 5000);
    Simulator("status-bits 0x20");
    CheckChecked(IDC_STATUS_RESET, false, 8000);
    CheckChecked(IDC_STATUS_OVERT, true, 5000);
    Simulator("fault-bits 0x88");
    CheckChecked(IDC_FAULT_EESUM, true, 5000);
    CheckChecked(IDC_FAULT_DAC, true);
    CheckChecked(IDC_STATUS_FAULT, true);
    CheckChecked(IDC_FAULT_ADCV, false);
    Simulator("fault-bits 0");
    Simulator("status-bits 0");
    CheckChecked(IDC_FAULT_EESUM, false, 5000);
    CheckChecked(IDC_STATUS_OVERT, false);
}

// Stop sends a zero setpoint and clears the fields; the error text stays.
static void StopClearsTheFields() {
    CheckSent("set 2499.5 V, output on", "output on again before Stop",
              [] { Click(IDC_OUTPUT_ENABLE); });
    CheckSent("output off", "Stop sends a zero setpoint", [] {
        Click(IDC_STOP);
        CheckText(IDC_CONNECTION_STATE, "Offline");
    });
    const int cleared[] = {IDC_VOLTAGE,  IDC_CURRENT,       IDC_TEMPERATURE,  IDC_SETPOINT,
                           IDC_FIRMWARE, IDC_VOLTAGE_SCALE, IDC_CURRENT_SCALE};
    for (int id : cleared)
        CheckText(id, "");
    CheckText(IDC_ERROR_TEXT, "No errors");
    CheckChecked(IDC_OUTPUT_ENABLE, false);
    CheckEnabled(IDC_START, true);
    CheckEnabled(IDC_STOP, false);
    CheckEnabled(IDC_COM1, true);
    Check(BarPos(IDC_VOLTAGE_BAR) == 0, "voltage bar back to 0");
}

// The slider to 1000 V and the output on, as it is before each way of ending the program.
static void OutputOnAt1000(const char *what, const char *words = "output on") {
    MoveTrackbar(10);
    CheckSent(words, what, [] { Click(IDC_OUTPUT_ENABLE); });
}

// Ends the panel with message on window: status 0, and a zero setpoint reached the supply first.
static void CheckEndsWithZeroSetpoint(HWND window, UINT message, WPARAM wParam, const char *ends,
                                      const char *zero) {
    CheckSent(
        "output off", zero,
        [&] {
            PostMessageA(window, message, wParam, 0);
            DWORD code = 99;
            const bool ended = WaitForExit(10000, &code);
            Check(ended && code == 0, ends, ended ? std::to_string(code) : "still running");
        },
        500);
}

void ScenarioMain() {
    if (!LaunchPanel())
        return;
    CheckEditTemplate();
    CheckHelpTemplate();
    CheckIcons();
    CheckLayout();
    CheckStartState();
    CheckEnterAndEscape();
    CheckFineBeforeConnecting();
    ScenarioPortWithoutSupply();

    ConnectToConfiguredSupply();
    SliderAndOutputEnable();
    FineSteps();
    SilentSupply();
    StatusAndFaultBits();
    CheckAboutPopup();
    CheckContextHelp();
    CheckPopupTimesOut();
    StopClearsTheFields();

    // Start again, output on, then the close box: zero setpoint before the program ends.
    Click(IDC_START);
    Check(WaitOnline(), "Start again connects");
    OutputOnAt1000("output on before closing", "set 1000.5 V, output on");
    CheckEndsWithZeroSetpoint(g_driver.dialog, WM_SYSCOMMAND, SC_CLOSE,
                              "SC_CLOSE ends the program with status 0",
                              "SC_CLOSE sends a zero setpoint first");
}

// The warning a blank EEPROM brings, and a second Start while it is open; false when none came.
static bool WarningOfABlankEeprom() {
    Check(ChooseCom1AndStart(), "choosing COM1 enables Start");
    HWND box = WaitForWarning();
    Check(box != nullptr, "a blank EEPROM shows a warning box");
    if (box == nullptr)
        return false;
    const std::string text = MessageBoxText(box);
    Check(text == "Device is not configured; using default calibration and setpoint/meter ranges",
          "warning text", text);
    CheckText(IDC_CONNECTION_STATE, "Offline");
    Click(IDC_START);
    Sleep(1500);
    int boxes = 0;
    FindPanelWindow("Warning", &boxes);
    Check(boxes == 1, "Start while the warning is open is ignored",
          std::to_string(boxes) + " boxes");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    Check(WaitOnline(), "connects after the warning");
    CheckText(IDC_VOLTAGE_SCALE, "60000");
    CheckText(IDC_CURRENT_SCALE, "500");
    CheckText(IDC_ERROR_TEXT, "No errors");
    CheckOnlineState();
    return true;
}

void ScenarioBlank() {
    if (!LaunchPanel())
        return;
    if (!WarningOfABlankEeprom())
        return;

    // Closing the owner window (the taskbar entry) must not leave the output on.
    OutputOnAt1000("output on before the owner window closes");
    HWND owner = FindWindowA("7340demo", "7340demo");
    Check(owner != nullptr, "owner window found by its class");
    CheckEndsWithZeroSetpoint(owner, WM_CLOSE, 0, "closing the owner window ends the program",
                              "closing the owner window sends a zero setpoint");

    // The exit command 8000, which no control carries, ends the panel the same way.
    if (!LaunchPanel())
        return;
    Check(ConnectThroughWarning(), "connects again");
    OutputOnAt1000("output on before the exit command");
    CheckEndsWithZeroSetpoint(g_driver.dialog, WM_COMMAND, IDM_EXIT,
                              "command 8000 ends the program with status 0",
                              "command 8000 sends a zero setpoint first");
}

// scripts/demo's session: COM1, Start, 1000 V, Output Enable, settle, report, close.
void ScenarioDemo() {
    if (!LaunchPanel())
        return;
    ChooseCom1AndStart();
    Check(WaitOnline(), "Start connects");
    OutputOnAt1000("the supply switches on");
    Check(WaitForVolts(1000, 1.0), "the reading settles at the setpoint");
    Sleep(500);
    printf("\nreadings: output %s V, current %s uA, temperature %s, setpoint %s V\n",
           Trimmed(IDC_VOLTAGE).c_str(), Trimmed(IDC_CURRENT).c_str(),
           Trimmed(IDC_TEMPERATURE).c_str(), Trimmed(IDC_SETPOINT).c_str());
    printf("supply: firmware %s, ranges %s V and %s uA, \"%s\"\n\n", Trimmed(IDC_FIRMWARE).c_str(),
           Trimmed(IDC_VOLTAGE_SCALE).c_str(), Trimmed(IDC_CURRENT_SCALE).c_str(),
           Trimmed(IDC_ERROR_TEXT).c_str());
    Screenshot("panel");
    CheckSent(
        "output off", "the output was set to zero",
        [] {
            PostMessageA(g_driver.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            DWORD code = 99;
            Check(WaitForExit(10000, &code), "the panel closes");
        },
        500);
}
