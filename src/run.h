// The comparison run: everything after the command line has been read.
#ifndef TORQUELIN_RUN_H
#define TORQUELIN_RUN_H

// Compares, decides, keeps the log, runs the commands; returns the exit code.
int Run(void);

#endif
