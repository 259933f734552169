/*
 * fuzz_check.h - a failed expectation in a fuzz target: say which, then abort so that libFuzzer
 * keeps the input as a crash.
 */
#ifndef K7340_FUZZ_CHECK_H
#define K7340_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: expectation failed: %s: ", __FILE__, __LINE__, #condition);    \
            fprintf(stderr, __VA_ARGS__);                                                          \
            fputc('\n', stderr);                                                                   \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

#endif
