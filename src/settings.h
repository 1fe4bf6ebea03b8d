// The run's settings, read once from the command line.
#ifndef TORQUELIN_SETTINGS_H
#define TORQUELIN_SETTINGS_H

#include "number.h"

extern int Voff;            // 1 two-file mode, 0 one-value mode
extern int Line;            // L: 1-based line that holds the value
extern int Word;            // W-1: 0-based word index
extern int Loop;            // X: further lines compared in two-file mode
extern Num Diff;            // D: the margin
extern Num ValueC;          // V, or the value of compare-file-2
extern int Inverse;         // swaps alarm and normal
extern int ParmCount;       // positional parameters stored
extern char Parms[5][256];  // positional parameters in order given
extern int Timeout;         // --timeout: seconds a command may run, 0 no end
extern int After;           // --after: the counter value that notifies
extern int Syslog;          // 0 after --no-syslog
extern const char Help[];   // the usage text

extern const char More[];   // --help's lines on the forms beside a check

// Reads the arguments into the settings; 0 to run, 5 after printing usage.
int ReadSettings(int argc, char **argv);

// What the command line asks for: a check, --help or --version (each the
// sole argument, or -h and -V), --words first, the rest read by
// ReadSettings, or --status first, the rest the names of status logs.
enum { CheckForm, HelpForm, VersionForm, WordsForm, StatusForm };
int Form(int argc, char **argv);

// Positional roles; which slot holds each depends on the mode.
const char *CompareFile1(void);
const char *CompareFile2(void);  // two-file mode only
const char *ErrProc(void);
const char *RetProc(void);
const char *LogFile(void);       // the status log name, default applied

// atoi, with out-of-range values saturated instead of undefined.  Reals
// are read by Real (number.h).
int Whole(const char *text);

#endif
