/*
 * config_args.cpp - argument conversion, bounds decision and the yes answer of k7340config.
 */
#include "config_args.h"

#include <climits>

static int IsConversionSpace(char c) {
    // The white space that "%d" skips in the C locale.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int ConvertDecimal(const char *text, int *value) {
    if (text == nullptr)
        return 0;
    const char *p = text;
    while (IsConversionSpace(*p))
        p++;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        p++;
    }
    if (*p < '0' || *p > '9')
        return 0;
    // Accumulate the magnitude with a ceiling just past the 32-bit range, so any length of
    // digits saturates instead of wrapping.
    const long long ceiling = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        if (magnitude < ceiling)
            magnitude = magnitude * 10 + (*p - '0');
        p++;
    }
    if (magnitude > ceiling)
        magnitude = ceiling;
    if (negative)
        *value = static_cast<int>(-magnitude);
    else
        *value = magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
    return 1;
}

static int InBounds(int value, int lowest, int highest) {
    return value >= lowest && value <= highest;
}

int ParseConfigArgs(int argc, const char *const *argv, ConfigArgs *args) {
    if (argc != 4 || argv == nullptr)
        return CONFIG_ARGS_WRONG_COUNT;
    int comPort = 0;
    int vrange = 0;
    int irange = 0;
    const int haveComPort = ConvertDecimal(argv[1], &comPort);
    const int haveVrange = ConvertDecimal(argv[2], &vrange);
    const int haveIrange = ConvertDecimal(argv[3], &irange);

    if (!haveVrange || !InBounds(vrange, CONFIG_VRANGE_LOWEST, CONFIG_VRANGE_HIGHEST))
        return CONFIG_ARGS_VRANGE;
    if (!haveIrange || !InBounds(irange, CONFIG_IRANGE_LOWEST, CONFIG_IRANGE_HIGHEST))
        return CONFIG_ARGS_IRANGE;
    // The COM port has no bounds; it is only refused when it holds no number at all.
    if (!haveComPort)
        return CONFIG_ARGS_USAGE;
    args->comPort = comPort;
    args->vrange = vrange;
    args->irange = irange;
    return CONFIG_ARGS_OK;
}

int AnswerIsYes(int key) {
    return key == 'y' || key == 'Y';
}
