#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

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

void
RunCommand(const char *text)
{
	char *argv[] = { (char *)"sh", (char *)"-c", (char *)text, NULL };
	pid_t pid;
	int status;

	if (text[0] == 0)
		return;
	fflush(stdout);
	fflush(stderr);
	if (posix_spawn(&pid, "/bin/sh", NULL, NULL, argv, environ) != 0)
		return;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
}

// Follows symbolic links from path to the file they finally name, which
// need not exist yet; 0 when a link cannot be read or loops.
static int
Resolve(const char *path, char *out, size_t size)
{
	char link[4096], next[4096];
	struct stat st;
	ssize_t n;
	int hops;

	if (strlen(path) >= size)
		return 0;
	strcpy(out, path);
	for (hops = 0; hops < 40; hops++) {
		if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode))
			return 1;
		if ((n = readlink(out, link, sizeof link - 1)) < 0)
			return 0;
		link[n] = 0;
		if (link[0] == '/') {
			strcpy(next, link);
		} else {
			const char *slash = strrchr(out, '/');
			size_t dir = slash ? (size_t)(slash - out) + 1 : 0;

			if (dir + n >= sizeof next)
				return 0;
			memcpy(next, out, dir);
			strcpy(next + dir, link);
		}
		if (strlen(next) >= size)
			return 0;
		strcpy(out, next);
	}
	return 0;
}

int
ReplaceOpen(Replacement *r, const char *path)
{
	struct stat st;
	const char *slash, *base;
	size_t dir;
	mode_t mask;
	int fd, exists;

	r->fp = NULL;
	r->inplace = 0;
	r->temp[0] = 0;
	if (!Resolve(path, r->target, sizeof r->target))
		return 0;
	exists = stat(r->target, &st) == 0;
	if (exists && !S_ISREG(st.st_mode)) {
		// A device or a pipe is written where it is; without a reader a
		// pipe refuses rather than blocks.
		if ((fd = open(r->target, O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
			return 0;
		fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
		r->inplace = 1;
	} else {
		// The file must be writable as it stands, as a plain open would
		// require, though it is only replaced at commit.
		if (exists) {
			if ((fd = open(r->target, O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
				return 0;
			close(fd);
		}
		slash = strrchr(r->target, '/');
		dir = slash ? (size_t)(slash - r->target) + 1 : 0;
		base = r->target + dir;
		if (dir + 1 + strlen(base) + 8 >= sizeof r->temp)
			return 0;
		memcpy(r->temp, r->target, dir);
		sprintf(r->temp + dir, ".%s.XXXXXX", base);
		if ((fd = mkostemp(r->temp, O_CLOEXEC)) < 0) {
			r->temp[0] = 0;
			return 0;
		}
		if (exists) {
			if (fchown(fd, st.st_uid, st.st_gid) != 0) {
				// Only the owner's own files keep their owner; fine.
			}
			fchmod(fd, st.st_mode & 07777);
		} else {
			mask = umask(0);
			umask(mask);
			fchmod(fd, 0666 & ~mask);
		}
	}
	if ((r->fp = fdopen(fd, "w")) == NULL) {
		close(fd);
		ReplaceAbort(r);
		return 0;
	}
	return 1;
}

// Makes a rename durable by syncing the directory that holds it.
static void
SyncDir(const char *target)
{
	char dir[4096];
	const char *slash = strrchr(target, '/');
	int fd;

	if (slash == NULL)
		strcpy(dir, ".");
	else if (slash == target)
		strcpy(dir, "/");
	else {
		memcpy(dir, target, slash - target);
		dir[slash - target] = 0;
	}
	if ((fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0) {
		fsync(fd);
		close(fd);
	}
}

// Puts the new content in place; with sync, only once it is on disk and
// with the rename made durable too.
static int
Commit(Replacement *r, int sync)
{
	int ok;

	ok = fflush(r->fp) == 0 && !ferror(r->fp);
	if (ok && sync && !r->inplace)
		ok = fsync(fileno(r->fp)) == 0;
	ok = fclose(r->fp) == 0 && ok;
	r->fp = NULL;
	if (r->inplace)
		return ok;
	if (ok && rename(r->temp, r->target) == 0) {
		r->temp[0] = 0;
		if (sync)
			SyncDir(r->target);
		return 1;
	}
	ReplaceAbort(r);
	return 0;
}

int
ReplaceCommit(Replacement *r)
{
	return Commit(r, 1);
}

void
ReplaceAbort(Replacement *r)
{
	if (r->fp) {
		fclose(r->fp);
		r->fp = NULL;
	}
	if (r->temp[0]) {
		unlink(r->temp);
		r->temp[0] = 0;
	}
}

// Errors after which the next, plainer way of copying may still work.
static int
TryNext(int err)
{
	return err == ENOSYS || err == EXDEV || err == EINVAL ||
	    err == EOPNOTSUPP || err == EPERM || err == ETXTBSY || err == EBADF;
}

int
CopyFile(const char *from, const char *to)
{
	static char buf[1 << 16];
	Replacement r;
	struct stat st;
	ssize_t n = 0, w;
	off_t total = 0;
	int in, out, ok = 0;

	if ((in = open(from, O_RDONLY | O_CLOEXEC)) < 0)
		return 0;
	if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode) || !ReplaceOpen(&r, to)) {
		close(in);
		return 0;
	}
	out = fileno(r.fp);
	// The kernel copies without a trip through user space where it can;
	// a regular file it reports empty (as /proc does) is read plainly.
	if (S_ISREG(st.st_mode)) {
		while ((n = copy_file_range(in, NULL, out, NULL, 1 << 30, 0)) > 0)
			total += n;
		if (n < 0 && TryNext(errno))
			while ((n = sendfile(out, in, NULL, 1 << 30)) > 0)
				total += n;
	}
	if (n < 0 && !TryNext(errno))
		goto done;
	if (n < 0 || total == 0) {
		while ((n = read(in, buf, sizeof buf)) != 0) {
			if (n < 0) {
				if (errno == EINTR)
					continue;
				goto done;
			}
			for (char *p = buf; n > 0; p += w, n -= w)
				if ((w = write(out, p, n)) < 0) {
					if (errno == EINTR) {
						w = 0;
						continue;
					}
					goto done;
				}
		}
	}
	ok = 1;
done:
	close(in);
	if (!ok) {
		ReplaceAbort(&r);
		return 0;
	}
	// Not synced, unlike the log: writing a large file through to the
	// disk costs many times the copy itself, and from still holds the
	// data.  A killed run leaves the old file or the new one, whole; after
	// a power cut to may hold the old data or none, and the next run
	// copies again.
	return Commit(&r, 0);
}

static int LockFd = -1;

// The lock is taken on the directory that holds the log (a symbolic link's
// target): the log itself is replaced by a rename, which would leave a lock
// on it behind with the old file, and a lock file of its own would be one
// more file beside the log.
int
LockStatus(const char *logname)
{
	char target[4096];
	char *slash;

	UnlockStatus();
	if (!Resolve(logname, target, sizeof target))
		return 0;
	if ((slash = strrchr(target, '/')) == NULL)
		strcpy(target, ".");
	else if (slash == target)
		target[1] = 0;
	else
		*slash = 0;
	if ((LockFd = open(target, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
		return 0;
	while (flock(LockFd, LOCK_EX) != 0) {
		if (errno != EINTR) {
			// A file system without locks: run as before, unguarded.
			UnlockStatus();
			return 0;
		}
	}
	return 1;
}

void
UnlockStatus(void)
{
	if (LockFd >= 0) {
		close(LockFd);
		LockFd = -1;
	}
}
