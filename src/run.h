// The comparison run: everything after the command line has been read.
#ifndef TORQUELIN_RUN_H
#define TORQUELIN_RUN_H

extern float Value;   // compare-file-1's number, then the difference

// Compares, decides, keeps the log, runs the commands; returns the exit code.
int Run(void);

#endif
