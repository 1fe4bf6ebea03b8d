// What differs between operating systems: the console, the command
// interpreter, replacing a file in one step and keeping runs apart.
#ifndef TORQUELIN_PLATFORM_H
#define TORQUELIN_PLATFORM_H

#include <cstdio>

// Reads one key from the console without echo; returns at once without one.
void KeyWait(void);

// Runs text through the command interpreter and waits for it; empty runs nothing.
void RunCommand(const char *text);

// A file being replaced: new content goes to a temporary file beside the
// target (a symbolic link's target), which Commit renames over it.
struct Replacement {
	FILE *fp;             // where the new content is written
	int inplace;          // target is no regular file: written directly
	char target[4096];    // the file finally replaced
	char temp[4096];      // the temporary file, empty when none
};

// Opens a replacement for path; 0 when the target cannot be written.
int ReplaceOpen(Replacement *r, const char *path);
// Flushes, syncs and puts the new content in place; 0 on failure, old file kept.
int ReplaceCommit(Replacement *r);
// Drops the new content and removes the temporary file.
void ReplaceAbort(Replacement *r);

// Replaces to's content with from's, safely; 0 on failure, to left whole.
int CopyFile(const char *from, const char *to);

// Waits for the lock that keeps runs on one log apart; 0 when none is had.
int LockStatus(const char *logname);
// Lets the next run on the log go on; harmless when no lock is held.
void UnlockStatus(void);

#endif
