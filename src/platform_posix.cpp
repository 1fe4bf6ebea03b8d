#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

enum { PathMax = 4096 };

// Names a signal handler removes: a temporary file that has a name, and a
// log this run made and has not written yet.
static char TempName[PathMax];
static volatile sig_atomic_t TempSet;
static char MadeName[PathMax];
static volatile sig_atomic_t MadeSet;
static int PipeIgnored;  // SIGPIPE was ignored before we ignored it

static void
Cleanup(int sig)
{
	if (TempSet)
		unlink(TempName);
	if (MadeSet)
		unlink(MadeName);
	signal(sig, SIG_DFL);
	raise(sig);
}

void
Prepare(void)
{
	static const int sigs[] = { SIGHUP, SIGINT, SIGTERM };
	struct sigaction sa, old;
	int fd;

	// A file opened later must never become standard error, or the
	// messages would be written into it.
	for (fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
		    open("/dev/null", O_RDWR) != fd)
			_exit(5);
	// A reader that went away only costs the messages, never the log,
	// the commands or the copy.
	PipeIgnored = signal(SIGPIPE, SIG_IGN) == SIG_IGN;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = Cleanup;
	sigemptyset(&sa.sa_mask);
	for (int sig : sigs) {
		sigaction(sig, NULL, &old);
		if (old.sa_handler != SIG_IGN)
			sigaction(sig, &sa, NULL);
	}
}

static struct termios Saved;

static void
RestoreAndDie(int sig)
{
	tcsetattr(0, TCSANOW, &Saved);
	signal(sig, SIG_DFL);
	raise(sig);
}

void
KeyWait(void)
{
	static const int sigs[] = { SIGHUP, SIGTERM, SIGINT, SIGQUIT };
	struct sigaction sa, old[4];
	struct termios raw;
	char c;
	int i;

	// A pipe, a file or a closed input has no key to give, and a
	// background job reading its terminal would be stopped: never wait.
	if (!isatty(0) || tcgetpgrp(0) != getpgrp() || tcgetattr(0, &Saved) != 0)
		return;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = RestoreAndDie;
	for (i = 0; i < 4; i++)
		sigaction(sigs[i], &sa, &old[i]);
	raw = Saved;
	// Without ISIG a Ctrl-C is one more key, as on the console it mimics.
	raw.c_lflag &= ~(ICANON | ECHO | ISIG);
	raw.c_cc[VMIN] = 1;
	raw.c_cc[VTIME] = 0;
	if (tcsetattr(0, TCSANOW, &raw) == 0) {
		while (read(0, &c, 1) < 0 && errno == EINTR)
			;
		tcsetattr(0, TCSANOW, &Saved);
	}
	for (i = 0; i < 4; i++)
		sigaction(sigs[i], &old[i], NULL);
}

// True when the environment entry e sets the variable that var sets.
static int
SameName(const char *e, const char *var)
{
	size_t n = strcspn(var, "=");

	return strncmp(e, var, n) == 0 && e[n] == '=';
}

int
RunCommand(const char *text, const char *const *vars)
{
	char *argv[] = { (char *)"sh", (char *)"-c", (char *)text, NULL };
	posix_spawnattr_t attr;
	sigset_t dfl;
	char **env;
	size_t n = 0, i, k;
	pid_t pid;
	int status, err;

	if (text[0] == 0)
		return 1;
	while (environ[n])
		n++;
	for (k = 0; vars && vars[k]; k++)
		;
	if ((env = (char **)malloc((n + k + 1) * sizeof *env)) == NULL)
		return 0;
	// Our variables replace any of the same name the caller had.
	for (n = 0, i = 0; environ[i]; i++) {
		for (k = 0; vars && vars[k] && !SameName(environ[i], vars[k]); k++)
			;
		if (!vars || !vars[k])
			env[n++] = environ[i];
	}
	for (k = 0; vars && vars[k]; k++)
		env[n++] = (char *)vars[k];
	env[n] = NULL;
	// The command gets SIGPIPE as the caller left it.
	posix_spawnattr_init(&attr);
	sigemptyset(&dfl);
	if (!PipeIgnored) {
		sigaddset(&dfl, SIGPIPE);
		posix_spawnattr_setsigdefault(&attr, &dfl);
		posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
	}
	fflush(stdout);
	fflush(stderr);
	err = posix_spawn(&pid, "/bin/sh", NULL, &attr, argv, env);
	posix_spawnattr_destroy(&attr);
	free(env);
	if (err != 0)
		return 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	return 1;
}

static Kind
KindOfMode(mode_t m)
{
	return S_ISREG(m) ? KindFile : S_ISDIR(m) ? KindDir :
	    S_ISFIFO(m) ? KindPipe : KindOther;
}

Kind
StreamKind(FILE *fp)
{
	struct stat st;

	return fstat(fileno(fp), &st) == 0 ? KindOfMode(st.st_mode) : KindNone;
}

// The directory that holds path, into dir; 0 when it does not fit.
static int
DirOf(const char *path, char *dir, size_t size)
{
	const char *slash = strrchr(path, '/');
	size_t n;

	if (slash == NULL)
		return snprintf(dir, size, ".") < (int)size;
	n = slash == path ? 1 : (size_t)(slash - path);
	if (n >= size)
		return 0;
	memcpy(dir, path, n);
	dir[n] = 0;
	return 1;
}

// The kernel's protected-symlinks rule, kept whether or not the kernel
// keeps it: in a sticky directory that all may write, a link is followed
// only when it is the runner's or the directory owner's, so that nobody
// can point another user's run at a file of their choosing.
static int
MayFollow(const char *link, const struct stat *st)
{
	char dir[PathMax];
	struct stat ds;

	if (!DirOf(link, dir, sizeof dir) || stat(dir, &ds) != 0)
		return 0;
	if (!(ds.st_mode & S_ISVTX) || !(ds.st_mode & S_IWOTH))
		return 1;
	return st->st_uid == geteuid() || st->st_uid == ds.st_uid;
}

// Rewrites path with its symbolic links replaced by what they name, every
// one of them checked by MayFollow, so that the name left can be opened
// without following a link.  The file itself need not exist.  0 when a
// link is refused, unreadable or loops, or the name grows too long.
static int
Resolve(const char *path, char *out, size_t size)
{
	char link[PathMax], next[PathMax], dir[PathMax];
	struct stat st;
	size_t at, end;
	ssize_t n;
	int hops = 0;

	if (strlen(path) >= size || path[0] == 0)
		return 0;
	strcpy(out, path);
	for (at = 0; out[at];) {
		// The next component ends at end; out[0..end) names it.
		for (end = at; out[end] == '/'; end++)
			;
		while (out[end] && out[end] != '/')
			end++;
		memcpy(next, out, end);
		next[end] = 0;
		if (lstat(next, &st) != 0 || !S_ISLNK(st.st_mode)) {
			at = end;
			continue;
		}
		if (++hops > 40 || !MayFollow(next, &st))
			return 0;
		if ((n = readlink(next, link, sizeof link - 1)) < 0)
			return 0;
		link[n] = 0;
		// The link's text takes its place: after its directory when
		// relative, and the rest of the path follows it.
		if (link[0] == '/' || !strchr(next, '/'))
			dir[0] = 0;
		else if (!DirOf(next, dir, sizeof dir))
			return 0;
		if (snprintf(next, sizeof next, "%s%s%s%s", dir,
		    dir[0] && strcmp(dir, "/") != 0 ? "/" : "", link, out + end) >=
		    (int)sizeof next || strlen(next) >= size)
			return 0;
		strcpy(out, next);
		at = 0;
	}
	return 1;
}

// Seconds on a clock that never jumps.
static double
Now(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void
Wake(int)
{
}

// Waits for an exclusive lock on fd until the clock reaches deadline:
// 1 when had, 0 when the time ran out, -1 where the file system has none.
static int
LockUntil(int fd, double deadline)
{
	struct sigaction sa, old;
	struct itimerval it, off;
	sigset_t set, mask;
	double left;
	int r;

	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return 1;
	if (errno != EWOULDBLOCK)
		return -1;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = Wake;  // no SA_RESTART: the alarm ends the wait
	sigemptyset(&sa.sa_mask);
	sigaction(SIGALRM, &sa, &old);
	// A caller that blocked the alarm must not make the wait endless.
	sigemptyset(&set);
	sigaddset(&set, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &set, &mask);
	memset(&off, 0, sizeof off);
	for (r = 0; r == 0 && (left = deadline - Now()) > 0;) {
		memset(&it, 0, sizeof it);
		it.it_value.tv_sec = (time_t)left;
		it.it_value.tv_usec =
		    (suseconds_t)((left - (double)it.it_value.tv_sec) * 1e6) + 1;
		setitimer(ITIMER_REAL, &it, NULL);
		if (flock(fd, LOCK_EX) == 0)
			r = 1;
		else if (errno != EINTR)
			r = -1;
		setitimer(ITIMER_REAL, &off, NULL);
	}
	sigprocmask(SIG_SETMASK, &mask, NULL);
	sigaction(SIGALRM, &old, NULL);
	return r;
}

// A temporary file in a directory, unnamed where the file system allows,
// so that even a run killed outright leaves none behind.
struct Temp {
	int fd;
	int named;                 // has a name: TempName
	char dir[PathMax];
};

static int
TempOpen(Temp *t, const char *dir, mode_t mode)
{
	char name[PathMax];
	char proc[64];
	mode_t mask;

	t->named = 0;
	if (snprintf(t->dir, sizeof t->dir, "%s", dir) >= (int)sizeof t->dir)
		return 0;
	t->fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
	if (t->fd >= 0) {
		// Naming it later needs /proc, or the privilege to link any
		// descriptor.
		snprintf(proc, sizeof proc, "/proc/self/fd/%d", t->fd);
		if (geteuid() == 0 || access(proc, F_OK) == 0)
			return 1;
		close(t->fd);
	} else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
		return 0;
	}
	if (snprintf(name, sizeof name, "%s/.torquelin-XXXXXX", dir) >=
	    (int)sizeof name)
		return 0;
	if ((t->fd = mkostemp(name, O_CLOEXEC)) < 0)
		return 0;
	strcpy(TempName, name);
	TempSet = 1;
	t->named = 1;
	mask = umask(0);
	umask(mask);
	fchmod(t->fd, mode & ~mask);
	return 1;
}

static void
TempDrop(Temp *t)
{
	close(t->fd);
	if (t->named) {
		TempSet = 0;
		unlink(TempName);
	}
}

// Puts the temporary file in target's place in one step; 0 on failure,
// with the temporary file gone and target as it was.
static int
TempPut(Temp *t, const char *target)
{
	static unsigned seq;
	char proc[64];
	int i, ok;

	if (!t->named) {
		// Named for an instant only, just before the rename.
		snprintf(proc, sizeof proc, "/proc/self/fd/%d", t->fd);
		for (i = 0; i < 100; i++) {
			if (snprintf(TempName, sizeof TempName, "%s/.torquelin-%x%x",
			    t->dir, (unsigned)getpid(), ++seq) >= (int)sizeof TempName)
				break;
			TempSet = 1;
			if (linkat(t->fd, "", AT_FDCWD, TempName, AT_EMPTY_PATH) == 0 ||
			    linkat(AT_FDCWD, proc, AT_FDCWD, TempName,
			    AT_SYMLINK_FOLLOW) == 0)
				break;
			TempSet = 0;
			if (errno != EEXIST) {
				close(t->fd);
				return 0;
			}
		}
		if (i == 100 || !TempSet) {
			close(t->fd);
			return 0;
		}
		t->named = 1;
	}
	// Closed only after the rename, so that the name lives no longer
	// than the two calls.
	ok = rename(TempName, target) == 0;
	if (!ok)
		unlink(TempName);
	TempSet = 0;
	return close(t->fd) == 0 && ok;
}

// Makes a rename in dir durable.
static void
SyncDir(const char *dir)
{
	int fd;

	if ((fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0) {
		fsync(fd);
		close(fd);
	}
}

// Opens a temporary file beside target that will stand in for the file st
// describes (or a new one of mode, when st is null).  0 when that would
// change what the file is, so that it must be written in place: it is no
// regular file of one link, or the new one cannot be made or given its
// owner and group.
static int
StandIn(Temp *t, const char *target, const struct stat *st, mode_t mode)
{
	char dir[PathMax];

	if (st && (!S_ISREG(st->st_mode) || st->st_nlink != 1 ||
	    (geteuid() != 0 && st->st_uid != geteuid())))
		return 0;
	if (!DirOf(target, dir, sizeof dir) ||
	    !TempOpen(t, dir, st ? 0600 : mode))
		return 0;
	if (st == NULL)
		return 1;
	if ((st->st_uid != geteuid() || st->st_gid != getegid()) &&
	    fchown(t->fd, st->st_uid, st->st_gid) != 0) {
		TempDrop(t);
		return 0;
	}
	fchmod(t->fd, st->st_mode & 07777);
	return 1;
}

// Writes len bytes at the descriptor's position; 0 on failure.
static int
WriteAll(int fd, const char *p, size_t len)
{
	ssize_t w;

	while (len > 0) {
		if ((w = write(fd, p, len)) < 0) {
			if (errno == EINTR)
				continue;
			return 0;
		}
		p += w;
		len -= w;
	}
	return 1;
}

// Opens the file that name leads to with flags, never through a link that
// Resolve refuses, without making it; path receives its resolved name.
// -1 with errno EACCES for a refused link, ENOENT when there is no file.
static int
OpenNamed(const char *name, char *path, int flags)
{
	int tries, fd;

	for (tries = 0; tries < 8; tries++) {
		if (!Resolve(name, path, PathMax)) {
			errno = EACCES;
			return -1;
		}
		fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
		// A link put in the file's place meanwhile: look again.
		if (fd >= 0 || errno != ELOOP)
			return fd;
	}
	return -1;
}

// The status log of this run: open from LogOpen to LogClose, locked where
// the file system allows.
static int LogFd = -1;
static char LogName[PathMax];  // its name with every link resolved

// Opens name's file, making it when it does not exist; 0 when it cannot be
// opened at all.  A file that may not be written is opened for reading.
static int
LogFind(const char *name, int *writable)
{
	int tries, fd;

	for (tries = 0; tries < 8; tries++) {
		*writable = 1;
		fd = OpenNamed(name, LogName, O_RDWR);
		if (fd < 0 && errno == ENOENT) {
			// The lock needs a file; one the run ends without
			// writing goes again.
			fd = open(LogName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW |
			    O_CLOEXEC, 0666);
			if (fd >= 0) {
				strcpy(MadeName, LogName);
				MadeSet = 1;
			}
		}
		if (fd < 0 && (errno == EACCES || errno == EPERM ||
		    errno == EROFS || errno == EISDIR || errno == ETXTBSY)) {
			*writable = 0;
			fd = OpenNamed(name, LogName, O_RDONLY);
		}
		// The file made by another run meanwhile: look again.
		if (fd < 0 && errno == EEXIST)
			continue;
		if (fd >= 0)
			LogFd = fd;
		return fd >= 0;
	}
	return 0;
}

FILE *
LogOpen(const char *name, int *writable)
{
	struct stat st, now;
	double deadline = Now() + LockWait;
	int fd, r;

	LogClose();
	*writable = 0;
	for (;;) {
		if (!LogFind(name, writable)) {
			*writable = 0;
			return NULL;
		}
		if (fstat(LogFd, &st) != 0) {
			LogClose();
			*writable = 0;
			return NULL;
		}
		if (S_ISFIFO(st.st_mode)) {
			// A pipe keeps no state and needs no lock; it is
			// written only while someone reads it.
			close(LogFd);
			LogFd = open(LogName, O_WRONLY | O_NONBLOCK | O_NOFOLLOW |
			    O_CLOEXEC);
			*writable = LogFd >= 0;
			return NULL;
		}
		if (!S_ISREG(st.st_mode))
			return NULL;  // a device keeps no state either
		if ((r = LockUntil(LogFd, deadline)) == 0) {
			fprintf(stderr, "\nLog file >%s< still locked after %d s,"
			    " going on without the lock.\n\n", name, (int)LockWait);
			break;
		}
		// The file may have been replaced or removed while we waited:
		// the lock must be on the file that now has the name.
		if (r < 0 || (lstat(LogName, &now) == 0 && now.st_dev == st.st_dev &&
		    now.st_ino == st.st_ino))
			break;
		close(LogFd);
		LogFd = -1;
	}
	if ((fd = dup(LogFd)) < 0)
		return NULL;
	fcntl(fd, F_SETFD, FD_CLOEXEC);
	lseek(fd, 0, SEEK_SET);
	return fdopen(fd, "r");
}

int
LogWrite(const char *text, size_t len)
{
	struct stat st;
	Temp t;
	char dir[PathMax], name[PathMax];
	int fd;

	if (LogFd < 0 || fstat(LogFd, &st) != 0)
		return 0;
	// A run that went on without the lock may find its log replaced by
	// another run meanwhile: the new content goes to the file that has the
	// name now, not to one that no name leads to.
	if (S_ISREG(st.st_mode) && st.st_nlink == 0) {
		strcpy(name, LogName);
		if ((fd = OpenNamed(name, LogName, O_RDWR)) < 0)
			return 0;
		close(LogFd);
		LogFd = fd;
		if (fstat(LogFd, &st) != 0)
			return 0;
	}
	if (!S_ISREG(st.st_mode)) {
		fcntl(LogFd, F_SETFL, fcntl(LogFd, F_GETFL) & ~O_NONBLOCK);
		return WriteAll(LogFd, text, len);
	}
	if (StandIn(&t, LogName, &st, 0)) {
		if (!WriteAll(t.fd, text, len) || fsync(t.fd) != 0) {
			TempDrop(&t);
			return 0;
		}
		// From here a signal must leave the log alone: the new one, or
		// at worst the empty one made for the lock, which reads as 0.
		MadeSet = 0;
		if (!TempPut(&t, LogName))
			return 0;
		if (DirOf(LogName, dir, sizeof dir))
			SyncDir(dir);
		return 1;
	}
	// Written where it is, as a plain write would, but never shorter than
	// the new content while being written.
	MadeSet = 0;
	return pwrite(LogFd, text, len, 0) == (ssize_t)len &&
	    ftruncate(LogFd, (off_t)len) == 0 && fsync(LogFd) == 0;
}

void
LogClose(void)
{
	struct stat a, b;

	if (LogFd < 0)
		return;
	if (MadeSet && fstat(LogFd, &a) == 0 && a.st_size == 0 &&
	    lstat(LogName, &b) == 0 && a.st_ino == b.st_ino &&
	    a.st_dev == b.st_dev)
		unlink(LogName);
	MadeSet = 0;
	close(LogFd);
	LogFd = -1;
}

// Errors after which the next, plainer way of copying may still work.
static int
TryNext(int err)
{
	return err == ENOSYS || err == EXDEV || err == EINVAL ||
	    err == EOPNOTSUPP || err == EPERM || err == ETXTBSY || err == EBADF;
}

// Copies in to out from where each stands; 0 on failure.
static int
CopyFd(int in, int out, const struct stat *st)
{
	static char buf[1 << 16];
	ssize_t n = 0;
	off_t total = 0;

	// The kernel copies without a trip through user space where it can;
	// a regular file it reports empty (as /proc does) is read plainly.
	if (S_ISREG(st->st_mode)) {
		while ((n = copy_file_range(in, NULL, out, NULL, 1 << 30, 0)) > 0)
			total += n;
		if (n < 0 && TryNext(errno))
			while ((n = sendfile(out, in, NULL, 1 << 30)) > 0)
				total += n;
	}
	if (n < 0 && !TryNext(errno))
		return 0;
	if (n < 0 || total == 0) {
		while ((n = read(in, buf, sizeof buf)) != 0) {
			if (n < 0) {
				if (errno == EINTR)
					continue;
				return 0;
			}
			if (!WriteAll(out, buf, n))
				return 0;
		}
	}
	return 1;
}

int
CopyOver(const char *from, const char *to)
{
	char target[PathMax];
	struct stat in_st, st;
	Temp t;
	off_t end;
	int in, out = -1, ok;

	if ((in = open(from, O_RDONLY | O_CLOEXEC)) < 0)
		return 0;
	if (fstat(in, &in_st) != 0 || S_ISDIR(in_st.st_mode) ||
	    ((out = OpenNamed(to, target, O_WRONLY)) < 0 && errno != ENOENT) ||
	    (out >= 0 && fstat(out, &st) != 0)) {
		if (out >= 0)
			close(out);
		close(in);
		return 0;
	}
	// Not synced, unlike the log: writing a large file through to the
	// disk costs many times the copy itself, and from still holds the
	// data.
	if (out < 0 ? StandIn(&t, target, NULL, in_st.st_mode & 0777) :
	    StandIn(&t, target, &st, 0)) {
		if (out >= 0)
			close(out);
		ok = CopyFd(in, t.fd, &in_st);
		close(in);
		if (!ok) {
			TempDrop(&t);
			return 0;
		}
		return TempPut(&t, target);
	}
	if (out < 0) {
		close(in);
		return 0;
	}
	// In place: over the old content from the start, then cut to length.
	fcntl(out, F_SETFL, fcntl(out, F_GETFL) & ~O_NONBLOCK);
	ok = CopyFd(in, out, &in_st);
	if (ok && S_ISREG(st.st_mode))
		ok = (end = lseek(out, 0, SEEK_CUR)) >= 0 && ftruncate(out, end) == 0;
	ok = close(out) == 0 && ok;
	close(in);
	return ok;
}
