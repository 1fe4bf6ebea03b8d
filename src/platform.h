// What differs between operating systems: the process's start, the console,
// the command interpreter, and the system's calls on files and directories.
// The file calls are primitives only: which of them to make, and when, is
// decided once, in filepolicy.cpp.
#ifndef TORQUELIN_PLATFORM_H
#define TORQUELIN_PLATFORM_H

#include <cstddef>
#include <cstdio>

// Readies the process: closed standard streams reopened on the null device,
// a reader gone from a pipe no end of the run, and clean called before a
// signal (or the console's close) ends it, while nothing is Held.
void Prepare(void (*clean)(void));

// Reads one key from the console without echo; returns at once without one.
void KeyWait(void);

// Runs text through the command interpreter with vars ("NAME=value", up to
// a null) added to its environment, and waits for it; empty text runs
// nothing.  Returns 0 when the command could not be started; else *how and
// *code say how it ended: its exit status, the signal that ended it, or
// TimedOut once it ran timeout seconds (0: no limit) and was ended.
enum { Exited, Signalled, TimedOut };
int RunCommand(const char *text, const char *const *vars, int timeout,
    int *how, int *code);

// How a line of a text file ends: "\n", or "\r\n" where text mode says so.
extern const char LineEnd[];

// What a file is.
enum Kind { KindNone, KindFile, KindDir, KindPipe, KindLink, KindOther };
Kind StreamKind(FILE *fp);

// A file or directory is reached through a handle (a descriptor) and a
// name in it; Cwd stands for the current directory.  A call that fails
// returns -1 (or 0 where it says so) and leaves the reason in Err.
enum { Cwd = -100 };
enum Error { ErrNone, ErrMissing, ErrExists, ErrDenied, ErrLoop, ErrNotDir,
    ErrNoSpace, ErrBusy, ErrUnsupported, ErrOther };
extern int Err;

struct Info {
	Kind kind;
	unsigned long long dev, ino;  // its identity
	long uid, gid;                // owner and group
	int mode;                     // permission bits, sticky and set-id too
	long links;                   // names it has
	long long size;
	long long written;            // when, in seconds since 1970
};

// The root of path and its length: a handle on "/" (or a drive, a share)
// for a full path, Cwd and 0 for a relative one.
size_t Root(const char *path, int *dir);
// True for a byte that separates the parts of a path; and for the first
// byte of a two-byte character, whose second byte may look like one.
int IsSep(int c);
int IsLead(int c);
// The user the run acts as, and its file-creation mask.
long Runner(void);
int Umask(void);

// What name in dir is, itself and not what a link names.
int Look(int dir, const char *name, Info *in);
int Stat(int fd, Info *in);
// The text of the link name in dir, of at most size - 1 bytes; its length.
int ReadLink(int dir, const char *name, char *buf, size_t size);
// Opens the directory name in dir, never through a link.
int OpenDir(int dir, const char *name);
// Opens name in dir: to read, to write, to read and write, or made anew
// with mode (and never there before).  Never through a link, unless
// follow: then through the one the system itself resolves (such as
// /proc/self/fd/0, whose text names no file).  A pipe opened to write
// with no reader fails at once.
enum How { ForRead, ForWrite, ForUpdate, ForNew };
int Open(int dir, const char *name, How how, int mode, int follow);
void Close(int fd);

// Waits at most seconds for the file's exclusive lock, which lasts until
// the descriptor is closed: 1 when had, 0 when the time ran out, -1 where
// the file system has none.  With no time, only tries; safe in a signal
// handler then.
int Lock(int fd, double seconds);

// A file in dir with no name yet, where the system can make one (0600);
// -1 with ErrUnsupported where it cannot.
int Unnamed(int dir);
// Gives the file fd a name in dir; fails where the name is taken.
int Name(int fd, int dir, const char *name);
// Fills buf with n bytes nobody can guess.
void Random(unsigned char *buf, size_t n);
// Puts name from in dir in place of to, in one step.
int Rename(int dir, const char *from, const char *to);
// Moves name from in dir to to, only where to is not taken.
int Move(int dir, const char *from, const char *to);
int Remove(int dir, const char *name);

// Writes n bytes at off (or where the descriptor stands, with off < 0).
int WriteAt(int fd, const char *p, size_t n, long long off);
int Truncate(int fd, long long size);
// Reserves room for size bytes: 1 when had, 0 when the disk is full, -1
// where the file system cannot promise room.
int Reserve(int fd, long long size);
// Puts the file's data (or a directory's names) on disk.
int Sync(int fd);
// Copies in to out, each from where it stands; the bytes copied, or -1.
long long CopyData(int in, int out);
// Goes back to the start of the file.
int Rewind(int fd);
// Gives file to what file from is besides its data: owner, group, mode,
// access list and the user's extended attributes.  1 when done, 0 where
// any of it cannot be carried over, -1 where owner, group and mode are
// but the system cannot show what else the file has.
int Keep(int from, int to, const Info *st);
// Sets the file's permission bits.
int Chmod(int fd, int mode);
// A stream that reads the file from its start; fd stays open.
FILE *Reader(int fd);

// While held (Hold(1) to Hold(0)), the signals that end a run wait.
void Hold(int on);
// Seconds on a clock that never jumps.
double Clock(void);

// Whether RunCommand can end a command that runs too long.
int CanTimeOut(void);

// One line to the system log, where the platform has one.
enum { SevNotice, SevWarning, SevError };
void SysLog(int severity, const char *line);


#endif
