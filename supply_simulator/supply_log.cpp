/*
 * supply_log.cpp - the traffic log ring and the bounded text (see supply_log.h).
 */
#include "supply_log.h"

#include <cstdio>

void LogClear(SupplyLog *log) {
    log->head = 0;
    log->count = 0;
}

void LogPushV(SupplyLog *log, int64_t timeUs, const char *format, va_list args) {
    if (log->count == SUPPLY_LOG_LINES) { // full: drop the oldest
        log->head = (log->head + 1) % SUPPLY_LOG_LINES;
        log->count--;
    }
    SupplyLogLine *line = &log->lines[(log->head + log->count) % SUPPLY_LOG_LINES];
    line->timeUs = timeUs;
    vsnprintf(line->text, sizeof line->text, format, args);
    log->count++;
}

int LogTake(SupplyLog *log, char *text, int max, int64_t *timeUs, int64_t nowUs) {
    if (log->count == 0 || log->lines[log->head].timeUs > nowUs || max <= 0)
        return 0;
    const SupplyLogLine *line = &log->lines[log->head];
    snprintf(text, max, "%s", line->text);
    if (timeUs != nullptr)
        *timeUs = line->timeUs;
    log->head = (log->head + 1) % SUPPLY_LOG_LINES;
    log->count--;
    return 1;
}

void TextAppend(SupplyText *t, const char *format, ...) {
    if (t->len >= t->max - 1)
        return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(t->text + t->len, t->max - t->len, format, args);
    va_end(args);
    if (n > 0)
        t->len += n < t->max - 1 - t->len ? n : t->max - 1 - t->len;
}
