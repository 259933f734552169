/*
 * console_key.h - one keystroke from the console, without echo and without waiting for Enter.
 */
#ifndef K7340_CONSOLE_KEY_H
#define K7340_CONSOLE_KEY_H

// Reads exactly one character code (0..255). Returns -1 when there is none to read: end of
// input on a pipe or file, or a read error.
//
// Windows: _getch. POSIX: when standard input is a terminal it is switched to non-canonical
// mode without echo for the one byte and restored before returning (any further bytes of a
// multi-byte key are discarded); SIGINT, SIGTERM, SIGHUP and SIGQUIT during the wait restore it
// too before the signal takes its default course, and a stop (Ctrl-Z) hands the terminal back
// until the program continues. When standard input is not a terminal one
// byte is read from it as it comes, so that a script can pipe the answer.
int ReadConsoleKey();

#endif
