/*
 * supply_log.h - the simulated supply's traffic log ring and the bounded text it is written
 * with. A leaf: it knows nothing of the supply, so every other file of the model may use it.
 */
#ifndef K7340_SUPPLY_LOG_H
#define K7340_SUPPLY_LOG_H

#include <cstdarg>
#include <cstdint>

enum {
    SUPPLY_LOG_LINES = 64, // log lines kept until taken (oldest dropped)
    SUPPLY_LOG_TEXT = 160, // one log line, terminator included
};

struct SupplyLogLine {
    int64_t timeUs;
    char text[SUPPLY_LOG_TEXT];
};

// Lines head .. head + count - 1 (modulo SUPPLY_LOG_LINES) wait to be taken, oldest first.
struct SupplyLog {
    SupplyLogLine lines[SUPPLY_LOG_LINES];
    int head;
    int count;
};

void LogClear(SupplyLog *log);

// Adds a line stamped timeUs; a full ring drops its oldest line first.
void LogPushV(SupplyLog *log, int64_t timeUs, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

// Takes the oldest line whose time has come: 1 and text (cut to max), else 0.
int LogTake(SupplyLog *log, char *text, int max, int64_t *timeUs, int64_t nowUs);

// Text that grows at len and never runs past max - 1 (max > 0).
struct SupplyText {
    char *text;
    int max;
    int len;
};

void TextAppend(SupplyText *t, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
