/*
 * standard_streams.h - standard input, output and error held open before the port is opened.
 */
#ifndef K7340_STANDARD_STREAMS_H
#define K7340_STANDARD_STREAMS_H

// POSIX: opens the null device onto each of descriptors 0, 1 and 2 that is closed, so that the
// port, opened later, can never become one of them (the yes/no key would then be read from the
// supply's line, and the prompts written to it). A closed standard input thus reads as end of
// input, which answers no. Returns 1, or 0 if a closed one could not be filled. Windows: the
// port is a handle, never a descriptor; returns 1.
int HoldStandardStreams();

#endif
