/*
 * config_args.h - the command line of k7340config, without any I/O or library call.
 *
 * The three arguments are COM port number, vrange (volts) and irange (microamperes), each read
 * like the "%d" conversion: leading white space, an optional sign, decimal digits; the first
 * character that cannot continue the number ends it and the rest is ignored. Numbers beyond
 * 32 bits saturate, so they fall outside the range bounds.
 */
#ifndef K7340_CONFIG_ARGS_H
#define K7340_CONFIG_ARGS_H

// The utility's own bounds, both included. They are wider than the library's for irange
// (10..500): a pair that passes here can still be refused by K7340_SetRanges.
enum {
    CONFIG_VRANGE_LOWEST = 2000,
    CONFIG_VRANGE_HIGHEST = 60000,
    CONFIG_IRANGE_LOWEST = 50,
    CONFIG_IRANGE_HIGHEST = 20000,
};

// Outcomes of ParseConfigArgs, in the order the checks are made.
enum {
    CONFIG_ARGS_OK = 0,
    CONFIG_ARGS_WRONG_COUNT = 1, // not exactly three arguments: error line, then usage
    CONFIG_ARGS_VRANGE = 2,      // vrange missing or out of bounds: its message, then usage
    CONFIG_ARGS_IRANGE = 3,      // irange missing or out of bounds: its message, then usage
    CONFIG_ARGS_USAGE = 4,       // no number in the COM port argument: usage alone
};

struct ConfigArgs {
    int comPort;
    int vrange;
    int irange;
};

// Reads a leading decimal number from text into *value, saturating at the 32-bit limits.
// Returns 1 when digits were found, else 0 and *value is left alone. text may be null.
int ConvertDecimal(const char *text, int *value);

// Checks argv[1..argc-1] and returns one of the CONFIG_ARGS_ codes. All three arguments are
// converted before any check; the vrange check comes before the irange check, so at most one
// range message applies. *args is written only when the result is CONFIG_ARGS_OK. argv may hold
// null entries (counted as arguments without a number).
int ParseConfigArgs(int argc, const char *const *argv, ConfigArgs *args);

// 1 for the keys that mean yes ('y' and 'Y'), 0 for every other key and for no key (-1).
int AnswerIsYes(int key);

#endif
