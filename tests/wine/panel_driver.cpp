/*
 * panel_driver.cpp - works 7340demo.exe from outside under Wine, the way an operator would:
 * finds the dialog by its title, clicks and moves its controls, reads texts, check marks and
 * enabled states back, and checks in k7340sim's traffic log what the supply received.
 *
 *   panel_driver SCENARIO PANEL_EXE SIM_LOG BRIDGE_DIR
 *
 * SCENARIO is main (a configured supply on COM1, nothing on COM5),
 * blank (a supply with a blank EEPROM on COM1) or demo (the scripted session of scripts/demo).
 * BRIDGE_DIR is where the driver asks the shell script for what a Windows program cannot do
 * itself: "N.shot" (a screenshot named by the file's text) and "N.ctl" (a line for the
 * simulator's control FIFO); the script answers each with "N.done".
 * Exit status 0 when every check passed; every check prints one line.
 */
#include "panel_driver.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: panel_driver main|blank|demo PANEL_EXE SIM_LOG BRIDGE_DIR\n");
        return 2;
    }
    g_driver.panelExe = argv[2];
    g_driver.simLog = argv[3];
    g_driver.bridgeDir = argv[4];
    std::string scenario = argv[1];
    if (scenario == "main") {
        ScenarioMain();
    } else if (scenario == "blank") {
        ScenarioBlank();
    } else if (scenario == "demo") {
        ScenarioDemo();
    } else {
        fprintf(stderr, "panel_driver: unknown scenario %s\n", argv[1]);
        return 2;
    }
    KillPanel();
    printf("%s: %d checks, %d failed\n", scenario.c_str(), g_driver.checks, g_driver.failures);
    return g_driver.failures == 0 && g_driver.checks > 0 ? 0 : 1;
}
