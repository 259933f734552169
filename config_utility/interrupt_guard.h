/*
 * interrupt_guard.h - holds off the signals that end k7340config while it programs a supply,
 * so that the six EEPROM writes run to their end and the supply keeps either its old ranges or
 * the new ones, never half of each.
 */
#ifndef INTERRUPT_GUARD_H
#define INTERRUPT_GUARD_H

/* From here on SIGINT, SIGTERM and SIGHUP (Windows: the console's Ctrl-C, Ctrl-Break and close
 * events) are held back instead of ending the program. */
void DeferInterrupts(void);

/* Ends the hold. Returns 1 when an interrupt came in meanwhile (it is then consumed: the caller
 * says so and exits), else 0. */
int ResumeInterrupts(void);

#endif /* INTERRUPT_GUARD_H */
