/*
 * sim_options.cpp - k7340sim's options: one table whose rows drive the command line, the words
 * of the control FIFO and --help. It writes only the settings, configuration and faults it is
 * given.
 */
#include "k7340sim.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum OptionKind {
    KIND_FLAG,     // bool; no value on the command line, on|off in the control FIFO
    KIND_PATH,     // const char *
    KIND_EEPROM,   // EepromPreset: configured|blank|bad-ranges
    KIND_INT,      // int, decimal or 0x hex, low..high
    KIND_REAL,     // double, low..high
    KIND_POSITIVE, // double above 0, at most high
    KIND_MS,       // milliseconds (low..high) into an int64_t of microseconds
    KIND_ACTION,   // control word without a value: hangup, quit
};

enum OptionHome { IN_CONFIG, IN_FAULTS, IN_PATHS, IN_NONE };

// How --help shows an option's default (from a value-initialised SimSettings): not at all, as
// its kind writes values, or as 0x and four hex digits. A row that shows it has one %s for it.
enum DefaultShown { NO_DEFAULT, DEFAULT, DEFAULT_HEX };

struct Option {
    const char *flag;    // command-line option, or nullptr (control only)
    const char *control; // control FIFO word, or nullptr (command line only)
    int controlRank;     // place of the control word in --help's list of them
    OptionKind kind;
    double low, high;
    OptionHome home;
    size_t field;             // offset of the target field in its home
    const char *value;        // the value's name in --help
    const char *controlValue; // the value's name in the control FIFO's word list
    DefaultShown shown;
    const char *help; // lines of --help after the first are separated by '\n'
};

#define CONFIG(f) IN_CONFIG, offsetof(SupplyConfig, f)
#define FAULTS(f) IN_FAULTS, offsetof(SupplyFaults, f)
#define PATHS(f) IN_PATHS, offsetof(SimPaths, f)

static const Option OPTIONS[] = {
    {"--link", nullptr, 0, KIND_PATH, 0, 0, PATHS(link), "PATH", nullptr, NO_DEFAULT,
     "symbolic link to create (replaces an existing one)"},
    {"--log", nullptr, 0, KIND_FLAG, 0, 0, CONFIG(log), nullptr, nullptr, NO_DEFAULT,
     "decoded traffic log on standard output"},
    {"--vrange", nullptr, 0, KIND_INT, 0, 65535, CONFIG(vrange), "N", nullptr, DEFAULT,
     "full-scale volts in the EEPROM (default %s)"},
    {"--irange", nullptr, 0, KIND_INT, 0, 65535, CONFIG(irange), "N", nullptr, DEFAULT,
     "full-scale microamperes in the EEPROM (default %s)"},
    {"--eeprom", nullptr, 0, KIND_EEPROM, 0, 0, CONFIG(eeprom), "configured|blank|bad-ranges",
     nullptr, DEFAULT, "EEPROM contents (default %s)"},
    {"--eeprom-file", nullptr, 0, KIND_PATH, 0, 0, PATHS(eepromFile), "PATH", nullptr, NO_DEFAULT,
     "load the EEPROM from PATH if it exists (128 bytes);\n"
     "PATH is written at start and after every EEPROM write"},
    {"--load-ohms", nullptr, 0, KIND_POSITIVE, 0, HUGE_VAL, CONFIG(loadOhms), "R", nullptr, DEFAULT,
     "output load in ohms (default %s)"},
    {"--fw", nullptr, 0, KIND_INT, 0, 65535, CONFIG(firmware), "N", nullptr, DEFAULT_HEX,
     "firmware revision, decimal or 0x hex (default %s)"},
    {"--status-bits", "status-bits", 6, KIND_INT, 0, 255, CONFIG(forceStatus), "X", "X", NO_DEFAULT,
     "bits OR-ed into every status byte"},
    {"--fault-bits", "fault-bits", 7, KIND_INT, 0, 255, CONFIG(forceFault), "X", "X", NO_DEFAULT,
     "bits OR-ed into the fault byte"},
    {"--slew", nullptr, 0, KIND_REAL, 0, HUGE_VAL, CONFIG(slewVPerS), "V_PER_S", nullptr, DEFAULT,
     "output slew rate (default %s; 0 = instant)"},
    {"--silent", "silent", 1, KIND_FLAG, 0, 0, FAULTS(silent), nullptr, "on|off", NO_DEFAULT,
     "consume commands, answer nothing"},
    {"--silent-after-writes", nullptr, 0, KIND_INT, 0, 1000000, FAULTS(silentAfterWrites), "N",
     nullptr, NO_DEFAULT, "go silent once N EEPROM writes were answered"},
    {"--corrupt", "corrupt", 2, KIND_FLAG, 0, 0, FAULTS(corrupt), nullptr, "on|off", NO_DEFAULT,
     "every reply's checksum is off by one"},
    {"--split-gap-ms", "split", 4, KIND_MS, 0, HUGE_VAL, FAULTS(splitGapUs), "N", "MS", NO_DEFAULT,
     "send each reply in two pieces N ms apart"},
    {"--delay-ms", "delay", 3, KIND_MS, 0, HUGE_VAL, FAULTS(delayUs), "N", "MS", NO_DEFAULT,
     "delay each reply by N ms"},
    {"--noise", "noise", 5, KIND_INT, 0, SUPPLY_NOISE_MAX, FAULTS(noiseBytes), "N", "N", NO_DEFAULT,
     "N junk bytes after each reply"},
    {"--noise-delay-ms", nullptr, 0, KIND_MS, 0, HUGE_VAL, FAULTS(noiseDelayUs), "N", nullptr,
     DEFAULT, "junk comes N ms after the reply (default %s)"},
    {"--wire", nullptr, 0, KIND_FLAG, 0, 0, CONFIG(wire), nullptr, nullptr, NO_DEFAULT,
     "emulate wire time at 57600 baud, 10 bits a byte"},
    {"--usb-latency", nullptr, 0, KIND_MS, 0, 255, CONFIG(usbLatencyUs), "MS", nullptr, NO_DEFAULT,
     "emulate a USB serial adapter's latency timer: reply bytes reach the host in bursts,\n"
     "when the timer fires every MS ms (16 on common chips; 0 = off)"},
    {"--control", nullptr, 0, KIND_PATH, 0, 0, PATHS(control), "FIFO", nullptr, NO_DEFAULT,
     "create FIFO; each line written to it is a command:"},
    {nullptr, "hangup", 8, KIND_ACTION, 0, 0, IN_NONE, 0, nullptr, nullptr, NO_DEFAULT, nullptr},
    {nullptr, "quit", 9, KIND_ACTION, 0, 0, IN_NONE, 0, nullptr, nullptr, NO_DEFAULT, nullptr},
};

static const char *const EEPROM_NAMES[] = {"configured", "blank", "bad-ranges"};
static const EepromPreset EEPROM_PRESETS[] = {EEPROM_CONFIGURED, EEPROM_BLANK, EEPROM_BAD_RANGES};
enum { EEPROM_PRESET_COUNT = sizeof EEPROM_PRESETS / sizeof EEPROM_PRESETS[0] };

static const int HELP_COLUMN = 27; // where the option texts start
static const int HELP_WIDTH = 80;

static bool ParseLong(const char *text, long *value) {
    if (text == nullptr || *text == '\0')
        return false;
    const int base = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    char *end;
    errno = 0;
    const long v = strtol(text, &end, base);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

static bool ParseDouble(const char *text, double *value) {
    if (text == nullptr || *text == '\0')
        return false;
    char *end;
    const double v = strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

static bool ParseOnOff(const char *text, bool *value) {
    if (text != nullptr && strcmp(text, "on") == 0)
        *value = true;
    else if (text != nullptr && strcmp(text, "off") == 0)
        *value = false;
    else
        return false;
    return true;
}

static bool ParseEeprom(const char *text, EepromPreset *value) {
    for (int i = 0; i < EEPROM_PRESET_COUNT; i++) {
        if (text != nullptr && strcmp(text, EEPROM_NAMES[i]) == 0) {
            *value = EEPROM_PRESETS[i];
            return true;
        }
    }
    return false;
}

// The option's field in the records given; paths is nullptr where no path may be set.
static void *Target(const Option *o, SupplyConfig *config, SupplyFaults *faults, SimPaths *paths) {
    switch (o->home) {
    case IN_CONFIG:
        return reinterpret_cast<char *>(config) + o->field;
    case IN_FAULTS:
        return reinterpret_cast<char *>(faults) + o->field;
    case IN_PATHS:
        return paths != nullptr ? reinterpret_cast<char *>(paths) + o->field : nullptr;
    default:
        return nullptr;
    }
}

// Stores text as the option's value; false when it is not one.
static bool SetValue(const Option *o, const char *text, void *target) {
    long n = 0;
    double d = 0;
    switch (o->kind) {
    case KIND_FLAG:
        return ParseOnOff(text, static_cast<bool *>(target));
    case KIND_PATH:
        *static_cast<const char **>(target) = text;
        return text != nullptr;
    case KIND_EEPROM:
        return ParseEeprom(text, static_cast<EepromPreset *>(target));
    case KIND_INT:
        if (!ParseLong(text, &n) || n < o->low || n > o->high)
            return false;
        *static_cast<int *>(target) = static_cast<int>(n);
        return true;
    case KIND_REAL:
    case KIND_POSITIVE:
    case KIND_MS:
        if (!ParseDouble(text, &d) || (o->kind == KIND_POSITIVE ? !(d > 0) : d < o->low) ||
            d > o->high)
            return false;
        if (o->kind == KIND_MS)
            *static_cast<int64_t *>(target) = static_cast<int64_t>(d * 1000.0);
        else
            *static_cast<double *>(target) = d;
        return true;
    default:
        return false;
    }
}

// What a value of the option must be, for the message that refuses one.
static void Allowed(const Option *o, char *text, size_t size) {
    switch (o->kind) {
    case KIND_INT:
        snprintf(text, size, "a whole number %.0f..%.0f (decimal or 0x hex)", o->low, o->high);
        break;
    case KIND_REAL:
        snprintf(text, size, "a number %g..%g", o->low, o->high);
        break;
    case KIND_POSITIVE:
        if (o->high == HUGE_VAL)
            snprintf(text, size, "a number above 0");
        else
            snprintf(text, size, "a number above 0, at most %g", o->high);
        break;
    case KIND_MS:
        snprintf(text, size, "milliseconds %g..%g", o->low, o->high);
        break;
    case KIND_EEPROM:
        snprintf(text, size, "configured, blank or bad-ranges");
        break;
    default:
        snprintf(text, size, "%s", o->value != nullptr ? o->value : "a value");
        break;
    }
}

int ParseArguments(int argc, char **argv, SimSettings *settings) {
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0)
            return 1;
        const Option *o = nullptr;
        for (const Option &row : OPTIONS)
            if (row.flag != nullptr && strcmp(row.flag, name) == 0)
                o = &row;
        if (o == nullptr) {
            fprintf(stderr, "k7340sim: unknown option %s (see --help)\n", name);
            return -1;
        }
        void *target = Target(o, &settings->config, &settings->faults, &settings->paths);
        if (o->kind == KIND_FLAG) {
            *static_cast<bool *>(target) = true;
        } else if (!SetValue(o, i + 1 < argc ? argv[++i] : nullptr, target)) {
            char allowed[96];
            Allowed(o, allowed, sizeof allowed);
            fprintf(stderr, "k7340sim: %s needs a valid value: %s (see --help)\n", name, allowed);
            return -1;
        }
    }
    if (settings->paths.link == nullptr) {
        fprintf(stderr, "k7340sim: --link PATH is required (see --help)\n");
        return -1;
    }
    return 0;
}

ControlOutcome ApplyControl(char *line, SupplyConfig *config, SupplyFaults *faults,
                            const char **word, const char **arg) {
    *word = strtok(line, " \t\r");
    *arg = strtok(nullptr, " \t\r");
    if (*word == nullptr)
        return CONTROL_EMPTY;
    for (const Option &o : OPTIONS) {
        if (o.control == nullptr || strcmp(o.control, *word) != 0)
            continue;
        if (o.kind == KIND_ACTION)
            return strcmp(*word, "hangup") == 0 ? CONTROL_HANGUP : CONTROL_QUIT;
        void *target = Target(&o, config, faults, nullptr);
        return target != nullptr && SetValue(&o, *arg, target) ? CONTROL_SET : CONTROL_REFUSED;
    }
    return CONTROL_REFUSED;
}

// The control FIFO's words, wrapped under the --control row.
static void PrintControlWords() {
    int column = HELP_WIDTH;
    const char *sep = "";
    for (int rank = 1; rank <= static_cast<int>(sizeof OPTIONS / sizeof OPTIONS[0]); rank++) {
        for (const Option &o : OPTIONS) {
            if (o.controlRank != rank)
                continue;
            char word[64];
            snprintf(word, sizeof word, "%s%s%s", o.control, o.controlValue ? " " : "",
                     o.controlValue ? o.controlValue : "");
            const int width = static_cast<int>(strlen(word)) + 2;
            if (column + width > HELP_WIDTH) {
                printf("%s\n%*s%s", sep, HELP_COLUMN, "", word);
                column = HELP_COLUMN + width - 2;
            } else {
                printf("%s %s", sep, word);
                column += width;
            }
            sep = ",";
        }
    }
    printf("\n");
}

// A number as %g writes it, or, where %g would take an exponent, as a whole number and a power
// of ten in steps of three (250e6).
static void NumberText(double value, char *text, size_t size) {
    snprintf(text, size, "%g", value);
    if (strchr(text, 'e') == nullptr)
        return;
    int exponent = 0;
    while (value != 0 && std::fmod(value, 1000.0) == 0) {
        value /= 1000.0;
        exponent += 3;
    }
    snprintf(text, size, "%ge%d", value, exponent);
}

// The option's default as --help shows it, from the value-initialised defaults.
static void DefaultText(const Option *o, SimSettings *defaults, char *text, size_t size) {
    const void *field = Target(o, &defaults->config, &defaults->faults, &defaults->paths);
    switch (o->kind) {
    case KIND_INT:
        snprintf(text, size, o->shown == DEFAULT_HEX ? "0x%04X" : "%d",
                 *static_cast<const int *>(field));
        break;
    case KIND_EEPROM:
        for (int i = 0; i < EEPROM_PRESET_COUNT; i++)
            if (EEPROM_PRESETS[i] == *static_cast<const EepromPreset *>(field))
                snprintf(text, size, "%s", EEPROM_NAMES[i]);
        break;
    case KIND_MS:
        NumberText(*static_cast<const int64_t *>(field) / 1000.0, text, size);
        break;
    default:
        NumberText(*static_cast<const double *>(field), text, size);
        break;
    }
}

void PrintUsage() {
    SimSettings defaults = {};
    printf("usage: k7340sim --link PATH [options]\n"
           "Serves a simulated 7340 supply on a pseudo-terminal; PATH becomes a symbolic link\n"
           "to the terminal once it is ready. Stops on SIGTERM or SIGINT and removes PATH.\n"
           "\n");
    for (const Option &o : OPTIONS) {
        if (o.flag == nullptr)
            continue;
        char left[64];
        snprintf(left, sizeof left, "%s%s%s", o.flag, o.value ? " " : "", o.value ? o.value : "");
        const int pad = static_cast<int>(strlen(left)) < HELP_COLUMN - 3 ? HELP_COLUMN - 2 : 0;
        printf("  %-*s%s", pad, left, pad ? "" : "   ");
        char help[256];
        snprintf(help, sizeof help, "%s", o.help);
        if (o.shown != NO_DEFAULT) {
            char value[32] = "";
            DefaultText(&o, &defaults, value, sizeof value);
            snprintf(help, sizeof help, o.help, value);
        }
        for (const char *p = help; *p != '\0'; p++) {
            if (*p == '\n')
                printf("\n%*s", HELP_COLUMN, "");
            else
                putchar(*p);
        }
        if (o.home == IN_PATHS && o.field == offsetof(SimPaths, control))
            PrintControlWords();
        else
            printf("\n");
    }
    printf("  %-*s%s\n", HELP_COLUMN - 2, "--help", "this text");
    printf("Numbers X and N are decimal or 0x hex.\n"
           "\n"
           "The simulated supply: a non-zero watchdog count that runs out without a command\n"
           "switches the output off and latches fault bit 0x01; the fault follow-up command\n"
           "(0xF8) clears latched faults; after a reset the status bit 0x80 is in the reset's\n"
           "reply and in the next one; EEPROM writes take effect at once (EEBusy never set).\n");
}
