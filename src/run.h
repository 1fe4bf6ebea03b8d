// The comparison run: everything after the command line has been read.
#ifndef TORQUELIN_RUN_H
#define TORQUELIN_RUN_H

// Compares, decides, keeps the log, runs the commands; returns the exit code.
int Run(void);
// Prints line L of the compare file as a check reads it, and every word with
// the W that selects it and the number it reads as; returns 0, or 5.
int Words(void);

#endif
