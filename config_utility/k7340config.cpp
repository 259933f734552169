/*
 * k7340config.cpp - programs a 7340 supply's full-scale ranges into its EEPROM.
 *
 *   k7340config <comport> <vrange> <irange>
 *
 * One pass: check the command line, open the supply on device index 0, warn and ask where the
 * supply already holds a configuration or none that checks out, program the ranges, close,
 * report. Every message goes to standard output. The exit status is 0 when the ranges were
 * programmed ("OK") or when the operator chose to keep an existing configuration, 1 otherwise.
 * An interrupt during the programming waits for its end, then the run exits with 1.
 */
#include "config_args.h"
#include "console_key.h"
#include "interrupt_guard.h"
#include "k7340.h"
#include "standard_streams.h"

#include <cstdio>

enum { EXIT_DONE = 0, EXIT_TROUBLE = 1 };

static const int DEVICE_INDEX = 0;

static int g_interruptedWhileProgramming = 0;

static void PrintUsage() {
    printf("Usage: k7340config <comport> <vrange> <irange>\n");
    printf(" comport - COM port designator: 0=COM1, 1=COM2, etc.\n");
    printf(" vrange  - maximum \"output voltage swing\" from data sheet (%d to %d)\n",
           CONFIG_VRANGE_LOWEST, CONFIG_VRANGE_HIGHEST);
    printf(" irange  - \"I Limit\" from data sheet (%d to %d)\n", CONFIG_IRANGE_LOWEST,
           CONFIG_IRANGE_HIGHEST);
    printf("Examples:\n");
    printf(" \"k7340config 0 50000 500\"  - COM1, 50 kV, 500 uA\n");
    printf(" \"k7340config 1 20000 1000\" - COM2, 20 kV, 1 mA\n");
}

// Prints the command-line complaint for a ParseConfigArgs outcome, then the usage text.
static void ReportBadArguments(int outcome) {
    switch (outcome) {
    case CONFIG_ARGS_WRONG_COUNT:
        printf("ERROR: wrong number of arguments\n");
        break;
    case CONFIG_ARGS_VRANGE:
        printf("ERROR: vrange must fall within %d:%d\n", CONFIG_VRANGE_LOWEST,
               CONFIG_VRANGE_HIGHEST);
        break;
    case CONFIG_ARGS_IRANGE:
        printf("ERROR: irange must fall within %d:%d\n", CONFIG_IRANGE_LOWEST,
               CONFIG_IRANGE_HIGHEST);
        break;
    default:
        break; // a COM port without a number: the usage text says it all
    }
    PrintUsage();
}

// Shows the prompt, takes one keystroke and echoes it. Returns 1 for yes.
static int AskYesNo(const char *prompt) {
    printf("%s", prompt);
    fflush(stdout); // the prompt must be visible before the key is awaited
    const int key = ReadConsoleKey();
    if (key >= 0)
        printf("%c\n", key);
    else
        printf("\n"); // end of input: no key to echo, the answer is no
    return AnswerIsYes(key);
}

static int ConfigureUnit(const ConfigArgs *args) {
    printf("configuring unit ... \n");
    fflush(stdout); // six EEPROM writes follow: at least 600 ms
    // The supply must end with the old ranges or the new ones, not half of each.
    DeferInterrupts();
    const int code = K7340_SetRanges(DEVICE_INDEX, args->vrange, args->irange);
    g_interruptedWhileProgramming = ResumeInterrupts();
    if (code == K7340_OK)
        printf("OK");
    else
        printf("FAILED!\n");
    return code;
}

// Open, ask, program. Returns the run's result code; the caller closes the device.
static int ProgramRanges(const ConfigArgs *args) {
    int code = K7340_OpenDevice(DEVICE_INDEX, args->comPort);
    if (code == K7340_ERR_EEPROM_CHECKSUM) {
        printf("WARNING: unit is not calibrated\n");
        if (AskYesNo("proceed anyway (Y/N)? "))
            code = ConfigureUnit(args);
        else
            printf("configuration canceled\n");
    } else if (code == K7340_ERR_RANGES) {
        code = ConfigureUnit(args);
    } else if (code == K7340_OK) {
        int vrange = 0;
        int irange = 0;
        code = K7340_GetRanges(DEVICE_INDEX, &vrange, &irange);
        if (code != K7340_OK)
            return code;
        printf("WARNING: unit is already configured (vrange=%d, irange=%d)\n", vrange, irange);
        if (AskYesNo("overwrite existing configuration (Y/N)? "))
            code = ConfigureUnit(args);
        else
            printf("configuration canceled\n");
    } else {
        printf("Can't open the power supply\n");
    }
    return code;
}

int main(int argc, char **argv) {
    if (!HoldStandardStreams())
        return EXIT_TROUBLE; // nothing has been said, nothing sent
    printf("Vantrel MODEL 7340 CONFIGURATION UTILITY\n");

    ConfigArgs args;
    const int outcome = ParseConfigArgs(argc, argv, &args);
    if (outcome != CONFIG_ARGS_OK) {
        ReportBadArguments(outcome);
        return EXIT_TROUBLE;
    }

    const int code = ProgramRanges(&args);
    K7340_CloseDevice(DEVICE_INDEX);   // also after a failed open; its -1 means nothing then
    if (g_interruptedWhileProgramming) // "OK" has no line end
        printf("%sINTERRUPTED: stopped once the programming had ended\n",
               code == K7340_OK ? "\n" : "");
    if (code != K7340_OK) {
        printf("ERROR: %s\n", K7340_GetErrString(code));
        return EXIT_TROUBLE;
    }
    return g_interruptedWhileProgramming ? EXIT_TROUBLE : EXIT_DONE;
}
