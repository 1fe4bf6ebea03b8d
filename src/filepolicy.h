// How the tool opens, locks, replaces and cleans up the files it is given
// by name, among other users and other runs: the rules are written out at
// the top of filepolicy.cpp.
#ifndef TORQUELIN_FILEPOLICY_H
#define TORQUELIN_FILEPOLICY_H

#include <cstddef>
#include <cstdio>

#include "platform.h"

enum { NameMax = 256, PathMax = 4096 };

// Where a path leads: a name in a directory, every link on the way trusted.
struct Place {
	int dir;              // the directory, or -1
	Info at;              // what the directory is
	char name[NameMax];   // the last part
	int ldir;             // a last link whose text names no file here (a
	char lname[NameMax];  // /proc link): its directory, or -1, and name
};

// The status log of one run, from LogOpen to LogDone.
struct Log {
	const char *path;
	Place p;
	int fd;               // open on it, or -1
	Info st;              // what it was when opened
	int how;              // Replace or InPlace
	int sys;              // reached through a link the system resolved
};
enum { Refuse, Replace, InPlace };

// Opens a compare file to read; null when it cannot be, or is refused.
FILE *ReadOpen(const char *path);
// Opens a file to read only when it is a regular file, never waiting on a
// pipe or a device; *written gets the time it was last written.
FILE *ReadRegular(const char *path, long long *written);

// Opens the log to be rewritten, making an empty one (the runner's alone)
// where there is none; 0 when it cannot be written or is refused.
int LogOpen(const char *path, Log *l);
// Waits at most seconds for the log's lock, on the file that has the name
// once it is had: LockHad, LockNone (no locks to be had), LockTimedOut, or
// LockLost when the file now at the name is refused.
enum { LockHad, LockNone, LockTimedOut, LockLost };
int LogLock(Log *l, double seconds);
// A stream that reads the old log; null when it keeps no state.
FILE *LogText(Log *l);
// Makes text the whole log, on disk before it returns; 0 on failure, the
// old log left whole.
int LogPut(Log *l, const char *text, size_t len);
// Lets go of the log (and its lock); a log this run made and never wrote
// is removed again.
void LogDone(Log *l);

// Replaces to's content with from's, byte for byte.  0 on failure.
int CopyOver(const char *from, const char *to);

// Removes what the run made and still owns: called when a signal ends it.
void Cleanup(void);

#endif
