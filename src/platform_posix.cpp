// POSIX: the shell, the terminal, and the file calls through directory
// descriptors.  Linux's own calls are used where CMake found them and the
// build is not TORQUELIN_PORTABLE; each has a POSIX way beside it.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#if HAVE_SENDFILE
#include <sys/sendfile.h>
#endif
#if HAVE_LINUX_XATTR
#include <sys/xattr.h>
#endif
#if HAVE_GETRANDOM
#include <sys/random.h>
#endif

extern char **environ;

int Err;
const char LineEnd[] = "\n";

static void (*Clean)(void);
static int PipeIgnored;  // SIGPIPE was ignored before we ignored it
// The signals whose default ends the run, and that a run can catch: it
// cleans up before it ends by them, and holds them while it writes a file
// in place.
static const int Ends[] = { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1,
    SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ };

static void
Ended(int sig)
{
	if (Clean)
		Clean();
	signal(sig, SIG_DFL);
	raise(sig);
}

void
Prepare(void (*clean)(void))
{
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
	Clean = clean;
	// With SIGCHLD ignored a command's status would be thrown away.
	signal(SIGCHLD, SIG_DFL);
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = Ended;
	sigemptyset(&sa.sa_mask);
	for (int sig : Ends) {
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

// Waits for pid to end, at most until deadline when one is given, and
// leaves it unreaped so that its process group stays its own.  SIGCHLD is
// blocked: it wakes the wait without a poll.  1 when it ended.
static int
Ended(pid_t pid, const struct timespec *deadline, const sigset_t *chld)
{
	struct timespec now, left;
	siginfo_t si;

	for (;;) {
		si.si_pid = 0;
		if (waitid(P_PID, pid, &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
		    si.si_pid == pid)
			return 1;
		clock_gettime(CLOCK_MONOTONIC, &now);
		left.tv_sec = deadline->tv_sec - now.tv_sec;
		left.tv_nsec = deadline->tv_nsec - now.tv_nsec;
		if (left.tv_nsec < 0) {
			left.tv_sec--;
			left.tv_nsec += 1000000000L;
		}
		if (left.tv_sec < 0)
			return 0;
#if HAVE_SIGTIMEDWAIT
		sigtimedwait(chld, NULL, &left);
#else
		// Without a wait for a signal (macOS), a short sleep between looks.
		(void)chld;
		if (left.tv_sec > 0 || left.tv_nsec > 20000000L) {
			left.tv_sec = 0;
			left.tv_nsec = 20000000L;
		}
		nanosleep(&left, NULL);
#endif
	}
}

// Ends a command that ran out of time: its whole process group, politely
// first.  The group leader is not reaped yet, so the group's number can
// belong to no one else.
static void
EndGroup(pid_t pid, const sigset_t *chld)
{
	struct timespec grace;

	kill(-pid, SIGTERM);
	clock_gettime(CLOCK_MONOTONIC, &grace);
	grace.tv_sec += 2;
	Ended(pid, &grace, chld);
	kill(-pid, SIGKILL);
}

int
RunCommand(const char *text, const char *const *vars, int timeout, int *how,
    int *code)
{
	char *argv[] = { (char *)"sh", (char *)"-c", (char *)text, NULL };
	posix_spawnattr_t attr;
	struct timespec deadline;
	sigset_t dfl, chld, old;
	char **env;
	size_t n = 0, i, k;
	pid_t pid;
	int status, err;
	short flags = POSIX_SPAWN_SETSIGMASK;

	*how = Exited;
	*code = 0;
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
	sigemptyset(&chld);
	sigaddset(&chld, SIGCHLD);
	sigprocmask(SIG_BLOCK, &chld, &old);
	// The command gets SIGPIPE as the caller left it, and the signal
	// mask it had before we blocked SIGCHLD.
	posix_spawnattr_init(&attr);
	posix_spawnattr_setsigmask(&attr, &old);
	sigemptyset(&dfl);
	if (!PipeIgnored) {
		sigaddset(&dfl, SIGPIPE);
		posix_spawnattr_setsigdefault(&attr, &dfl);
		flags |= POSIX_SPAWN_SETSIGDEF;
	}
	// A command with a time limit gets a process group of its own, so
	// that what it started ends with it.
	if (timeout > 0) {
		posix_spawnattr_setpgroup(&attr, 0);
		flags |= POSIX_SPAWN_SETPGROUP;
	}
	posix_spawnattr_setflags(&attr, flags);
	fflush(stdout);
	fflush(stderr);
	clock_gettime(CLOCK_MONOTONIC, &deadline);
	deadline.tv_sec += timeout;
	err = posix_spawn(&pid, "/bin/sh", NULL, &attr, argv, env);
	posix_spawnattr_destroy(&attr);
	free(env);
	if (err == 0 && timeout > 0 && !Ended(pid, &deadline, &chld)) {
		EndGroup(pid, &chld);
		*how = TimedOut;
		*code = timeout;
	}
	if (err == 0)
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
			;
	sigprocmask(SIG_SETMASK, &old, NULL);
	if (err != 0)
		return 0;
	if (*how == TimedOut)
		return 1;
	if (WIFSIGNALED(status)) {
		*how = Signalled;
		*code = WTERMSIG(status);
	} else {
		*code = WEXITSTATUS(status);
	}
	return 1;
}

static Kind
KindOfMode(mode_t m)
{
	return S_ISREG(m) ? KindFile : S_ISDIR(m) ? KindDir :
	    S_ISFIFO(m) ? KindPipe : S_ISLNK(m) ? KindLink : KindOther;
}

Kind
StreamKind(FILE *fp)
{
	struct stat st;

	return fstat(fileno(fp), &st) == 0 ? KindOfMode(st.st_mode) : KindNone;
}

// The reason for errno, and -1.
static int
Fail(void)
{
	switch (errno) {
	case ENOENT:
		Err = ErrMissing;
		break;
	case EEXIST:
		Err = ErrExists;
		break;
	case EACCES: case EPERM: case EROFS: case ENXIO: case ETXTBSY:
		Err = ErrDenied;
		break;
	case ELOOP: case EMLINK:  // EMLINK: a link met by O_NOFOLLOW on FreeBSD
		Err = ErrLoop;
		break;
	case ENOTDIR:
		Err = ErrNotDir;
		break;
	case ENOSPC: case EDQUOT:
		Err = ErrNoSpace;
		break;
	case EBUSY:
		Err = ErrBusy;
		break;
	case EOPNOTSUPP: case ENOSYS: case EINVAL: case EXDEV:
		Err = ErrUnsupported;
		break;
	default:
		Err = ErrOther;
	}
	return -1;
}

static int
At(int dir)
{
	return dir == Cwd ? AT_FDCWD : dir;
}

size_t
Root(const char *path, int *dir)
{
	if (path[0] != '/') {
		*dir = Cwd;
		return 0;
	}
	if ((*dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
		Fail();
	return 1;
}

int
IsSep(int c)
{
	return c == '/';
}

int
IsLead(int)
{
	return 0;
}

long
Runner(void)
{
	return (long)geteuid();
}

int
Umask(void)
{
	mode_t m = umask(077);

	umask(m);
	return (int)m;
}

static void
Fill(const struct stat *st, Info *in)
{
	in->kind = KindOfMode(st->st_mode);
	in->dev = (unsigned long long)st->st_dev;
	in->ino = (unsigned long long)st->st_ino;
	in->uid = (long)st->st_uid;
	in->gid = (long)st->st_gid;
	in->mode = (int)(st->st_mode & 07777);
	in->links = (long)st->st_nlink;
	in->size = (long long)st->st_size;
	in->written = (long long)st->st_mtime;
}

int
Look(int dir, const char *name, Info *in)
{
	struct stat st;

	if (fstatat(At(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return Fail();
	Fill(&st, in);
	return 0;
}

int
Stat(int fd, Info *in)
{
	struct stat st;

	if ((fd == Cwd ? stat(".", &st) : fstat(fd, &st)) != 0)
		return Fail();
	Fill(&st, in);
	return 0;
}

int
ReadLink(int dir, const char *name, char *buf, size_t size)
{
	ssize_t n = readlinkat(At(dir), name, buf, size - 1);

	if (n < 0)
		return Fail();
	buf[n] = 0;
	return (int)n;
}

int
OpenDir(int dir, const char *name)
{
	// A directory that may be passed through but not listed opens too.
#ifdef O_PATH
	const int flags = O_PATH;
#else
	const int flags = O_RDONLY;
#endif
	int fd = openat(At(dir), name, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);

	return fd < 0 ? Fail() : fd;
}

int
Open(int dir, const char *name, How how, int mode, int follow)
{
	static const int flags[] = { O_RDONLY, O_WRONLY | O_NONBLOCK,
	    O_RDWR | O_NONBLOCK, O_RDWR | O_CREAT | O_EXCL };
	int fd;

	fd = openat(At(dir), name, flags[how] | O_NOCTTY | O_CLOEXEC |
	    (follow ? 0 : O_NOFOLLOW), (mode_t)mode);
	if (fd < 0)
		return Fail();
	// Not blocking only while opening: a pipe with no reader fails then
	// rather than waits.
	if (flags[how] & O_NONBLOCK)
		fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
	return fd;
}

void
Close(int fd)
{
	if (fd >= 0)
		close(fd);
}

static void
Wake(int)
{
}

int
Lock(int fd, double seconds)
{
	struct sigaction sa, old;
	struct itimerval it, off;
	sigset_t set, mask;
	double end = Clock() + seconds, left;
	int r;

	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return 1;
	if (errno != EWOULDBLOCK)
		return -1;
	if (seconds <= 0)
		return 0;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = Wake;  // no SA_RESTART: the alarm ends the wait
	sigemptyset(&sa.sa_mask);
	sigaction(SIGALRM, &sa, &old);
	// A caller that blocked the alarm must not make the wait endless.
	sigemptyset(&set);
	sigaddset(&set, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &set, &mask);
	memset(&off, 0, sizeof off);
	for (r = 0; r == 0 && (left = end - Clock()) > 0;) {
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

int
Unnamed(int dir)
{
#if HAVE_O_TMPFILE
	char proc[64];
	int fd;

	if ((fd = openat(At(dir), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) < 0)
		return Fail();
	// Naming it later needs /proc, or the privilege to link any
	// descriptor.
	snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
	if (geteuid() == 0 || access(proc, F_OK) == 0)
		return fd;
	close(fd);
#else
	(void)dir;
#endif
	Err = ErrUnsupported;
	return -1;
}

int
Name(int fd, int dir, const char *name)
{
#if HAVE_O_TMPFILE
	char proc[64];

	snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
	if (linkat(fd, "", At(dir), name, AT_EMPTY_PATH) == 0 ||
	    linkat(AT_FDCWD, proc, At(dir), name, AT_SYMLINK_FOLLOW) == 0)
		return 0;
	return Fail();
#else
	(void)fd, (void)dir, (void)name;
	Err = ErrUnsupported;
	return -1;
#endif
}

void
Random(unsigned char *buf, size_t n)
{
	static unsigned long long mix;
	size_t i = 0;
	ssize_t k;
	int fd;

#if HAVE_GETRANDOM
	for (; i < n && (k = getrandom(buf + i, n - i, 0)) > 0; i += (size_t)k)
		;
#endif
	if (i < n && (fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC)) >= 0) {
		for (; i < n && (k = read(fd, buf + i, n - i)) > 0; i += (size_t)k)
			;
		close(fd);
	}
	// With neither, a name still differs from run to run; that it can be
	// guessed costs only the replacement.
	for (mix += (unsigned long long)getpid() * 2654435761u +
	    (unsigned long long)(Clock() * 1e9); i < n; i++) {
		mix = mix * 6364136223846793005ull + 1442695040888963407ull;
		buf[i] = (unsigned char)(mix >> 56);
	}
}

int
Rename(int dir, const char *from, const char *to)
{
	return renameat(At(dir), from, At(dir), to) == 0 ? 0 : Fail();
}

int
Move(int dir, const char *from, const char *to)
{
	struct stat st;

#if HAVE_RENAMEAT2
	if (renameat2(At(dir), from, At(dir), to, RENAME_NOREPLACE) == 0)
		return 0;
	if (errno != EINVAL && errno != ENOSYS)
		return Fail();
#endif
	if (linkat(At(dir), from, At(dir), to, 0) == 0) {
		unlinkat(At(dir), from, 0);
		return 0;
	}
	if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
		return Fail();
	// A file system without hard links: a rename, where the name is free.
	if (fstatat(At(dir), to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
		Err = ErrExists;
		return -1;
	}
	return Rename(dir, from, to);
}

int
Remove(int dir, const char *name)
{
	return unlinkat(At(dir), name, 0) == 0 ? 0 : Fail();
}

int
WriteAt(int fd, const char *p, size_t n, long long off)
{
	ssize_t w;

	while (n > 0) {
		w = off < 0 ? write(fd, p, n) : pwrite(fd, p, n, (off_t)off);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			return Fail();
		}
		p += w;
		n -= (size_t)w;
		if (off >= 0)
			off += w;
	}
	return 0;
}

int
Truncate(int fd, long long size)
{
	return ftruncate(fd, (off_t)size) == 0 ? 0 : Fail();
}

int
Reserve(int fd, long long size)
{
	int e;

	if (size <= 0)
		return 1;
#if HAVE_FALLOCATE
	e = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)size) == 0 ? 0 : errno;
#elif HAVE_POSIX_FALLOCATE
	e = posix_fallocate(fd, 0, (off_t)size);
#else
	(void)fd;
	e = EOPNOTSUPP;
#endif
	if (e == 0)
		return 1;
	errno = e;
	Fail();
	return e == ENOSPC || e == EDQUOT ? 0 : -1;
}

int
Sync(int fd)
{
	int d, r;

	if (fd != Cwd && fsync(fd) == 0)
		return 0;
	// A directory opened only to pass through is opened again to sync.
	if ((d = openat(At(fd), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
		return Fail();
	r = fsync(d);
	close(d);
	return r == 0 ? 0 : Fail();
}

long long
CopyData(int in, int out)
{
	static char buf[1 << 16];
	long long total = 0;
	ssize_t n = -1;

	// The kernel copies without a trip through user space where it can;
	// a file it reports empty (as /proc does) is read plainly.
#if HAVE_COPY_FILE_RANGE
	while ((n = copy_file_range(in, NULL, out, NULL, 1 << 30, 0)) > 0)
		total += n;
#endif
#if HAVE_SENDFILE
	if (n < 0 && total == 0)
		while ((n = sendfile(out, in, NULL, 1 << 30)) > 0)
			total += n;
#endif
	if (n == 0 && total > 0)
		return total;
	if (total > 0)
		return Fail();
	while ((n = read(in, buf, sizeof buf)) != 0) {
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return Fail();
		}
		if (WriteAt(out, buf, (size_t)n, -1) != 0)
			return -1;
		total += n;
	}
	return total;
}

int
Rewind(int fd)
{
	return lseek(fd, 0, SEEK_SET) == 0 ? 0 : Fail();
}

#if HAVE_LINUX_XATTR
// Carries over the extended attributes that make what a file is to its
// users: the access list and the user's own.  A SELinux label is the new
// file's own by the system's rules; anything else cannot be carried over.
static int
KeepAttrs(int from, int to)
{
	static char names[1 << 16], value[1 << 16];
	ssize_t n, v;
	char *p;

	if ((n = flistxattr(from, names, sizeof names)) < 0)
		return errno == ENOTSUP;
	for (p = names; p < names + n; p += strlen(p) + 1) {
		if (strcmp(p, "security.selinux") == 0)
			continue;
		if (strncmp(p, "user.", 5) != 0 &&
		    strcmp(p, "system.posix_acl_access") != 0)
			return 0;
		if ((v = fgetxattr(from, p, value, sizeof value)) < 0 ||
		    fsetxattr(to, p, value, (size_t)v, 0) != 0)
			return 0;
	}
	return 1;
}
#endif

int
Keep(int from, int to, const Info *st)
{
	if ((st->uid != (long)geteuid() || st->gid != (long)getegid()) &&
	    fchown(to, (uid_t)st->uid, (gid_t)st->gid) != 0)
		return 0;
	if (fchmod(to, (mode_t)st->mode) != 0)
		return 0;
#if HAVE_LINUX_XATTR
	return KeepAttrs(from, to);
#else
	// What else the file has cannot be known here.
	(void)from;
	return -1;
#endif
}

int
Chmod(int fd, int mode)
{
	return fchmod(fd, (mode_t)mode) == 0 ? 0 : Fail();
}

FILE *
Reader(int fd)
{
	FILE *f;
	int d;

	if ((d = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
		return NULL;
	lseek(d, 0, SEEK_SET);
	if ((f = fdopen(d, "r")) == NULL)
		close(d);
	return f;
}

void
Hold(int on)
{
	static int depth;
	static sigset_t old;
	sigset_t set;

	if (on && depth++ == 0) {
		sigemptyset(&set);
		for (int sig : Ends)
			sigaddset(&set, sig);
		sigprocmask(SIG_BLOCK, &set, &old);
	} else if (!on && depth > 0 && --depth == 0) {
		sigprocmask(SIG_SETMASK, &old, NULL);
	}
}

double
Clock(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int
CanTimeOut(void)
{
	return 1;
}

void
SysLog(int severity, const char *line)
{
	static const int level[] = { LOG_NOTICE, LOG_WARNING, LOG_ERR };

	openlog("torquelin", LOG_PID, LOG_USER);
	syslog(level[severity], "%s", line);
	closelog();
}
