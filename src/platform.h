// What differs between operating systems: the process's start, the console,
// the command interpreter, the kinds of files, and rewriting the status log
// and compare-file-2 safely among other users and other runs.
#ifndef TORQUELIN_PLATFORM_H
#define TORQUELIN_PLATFORM_H

#include <cstddef>
#include <cstdio>

// Readies the process: closed standard streams reopened on the null device,
// a reader gone from a pipe no end of the run, and temporary files removed
// when a signal ends it.
void Prepare(void);

// Reads one key from the console without echo; returns at once without one.
void KeyWait(void);

// Runs text through the command interpreter with vars ("NAME=value", up to
// a null) added to its environment, and waits for it; empty text runs
// nothing.  Returns 0 when the command could not be started.
int RunCommand(const char *text, const char *const *vars);

// What an open stream is.
enum Kind { KindNone, KindFile, KindDir, KindPipe, KindOther };
Kind StreamKind(FILE *fp);

// Opens the status log and waits for its lock, at most LockWait seconds
// (then says so and goes on without it).  Returns a stream to read the old
// log from, null when there is none; *writable tells whether LogWrite may
// replace it.  A link that another user could have planted is not followed:
// such a log is not writable and nothing is read through it.
enum { LockWait = 10 };
FILE *LogOpen(const char *name, int *writable);
// Makes text, of len bytes with lines ending in line feeds, the whole log,
// on disk before it returns; 0 on failure, the old log left whole.
int LogWrite(const char *text, size_t len);
// Lets the next run on the log go on; a log this run made and never wrote
// is removed again.
void LogClose(void);

// Replaces to's content with from's, byte for byte; a new to gets from's
// permission bits under the umask.  0 on failure.
int CopyOver(const char *from, const char *to);

#endif
