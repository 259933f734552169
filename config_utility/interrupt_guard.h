/*
 * interrupt_guard.h - holds off the signals that end k7340config while it programs a supply,
 * so that the six EEPROM writes run to their end and the supply keeps either its old ranges or
 * the new ones, never half of each.
 */
#ifndef K7340_INTERRUPT_GUARD_H
#define K7340_INTERRUPT_GUARD_H

// From here on the ending signals of ending_signals.h, SIGINT, SIGTERM, SIGHUP, SIGQUIT and the
// rest (Windows: the console's Ctrl-C, Ctrl-Break and close events) are held back instead of
// ending the program.
void DeferInterrupts();

// Ends the hold. Returns 1 when an interrupt came in meanwhile (it is then consumed: the caller
// says so and exits), else 0.
int ResumeInterrupts();

#endif // K7340_INTERRUPT_GUARD_H
