// The file policy: one set of rules for every file the tool opens by name.
//
// A run often has root's rights and its files lie in directories that other
// users can write.  Whoever can write a directory can put a link, a hard
// link or a file of their own under any name in it, and swap them at any
// moment.  So every path is walked one part at a time through directory
// handles, each part looked at before it is entered and opened without
// following a link; what a name is has been checked on the very handle that
// is then used, and a rename, removal or sync later uses that same handle.
//
// Writing (the status log, compare-file-2):
//  - A link anywhere on the path is followed only when it belongs to root
//    or to the runner.  Anyone else's link could point the run at any file.
//  - In a sticky directory, a file that belongs to neither the runner nor
//    the directory's owner was planted there: refused.
//  - A file with more than one name, in a directory that others can write,
//    may be a hard link to someone else's file: refused.  Elsewhere it is
//    written in place, and every name sees the new content.
//  - A regular file of one name that the runner owns (or any, for root) is
//    replaced: a new file is written beside it, given its owner, group,
//    mode, access list and extended attributes, and renamed over it in one
//    step, so that it is always whole.  Where any of that cannot be done,
//    or the rename is refused (a mount point), it is written in place: the
//    room reserved first, signals held while it is written, never emptied.
//  - A temporary file has no name until it is renamed, or a name nobody can
//    guess; a name someone took only costs the replacement, never the write.
//  - A log this run makes is its owner's alone, so that nobody else can read
//    it or hold its lock.  compare-file-2 is the tool's own: a new one gets
//    compare-file-1's permission bits and write for its owner.
// Reading (the compare files): links are followed, but not another user's
// link in a sticky directory that all may write, which the kernel's
// protected-symlinks rule forbids whether or not it is switched on.
//
// The lock: runs on one log take their turns, from reading its counter to
// putting the new log in place, on an exclusive lock of the log itself.
// Once it is had, the name must still lead to the locked file; if another
// run replaced or removed it meanwhile, the run opens the log again.
//
// What the run makes (a temporary, a log made for its lock) is listed in
// one place with its identity.  It is removed, on the normal path or when a
// signal ends the run, only while its name still leads to that very file
// (and a made log only while still empty), so that a run never removes
// another run's file.
#include "filepolicy.h"

#include <csignal>
#include <cstring>

// What the run owns on disk.
enum { TempSlot, MadeSlot, Slots };
struct Owned {
	int dir;
	char name[NameMax];
	unsigned long long dev, ino;
	int fd;     // a made log, open: removed only while still empty and
	            // while no other run holds its lock
};
static Owned Owns[Slots];
static volatile sig_atomic_t Has[Slots];

// Lists what name in dir is, as st describes it, as the run's own; fd is
// the made log's descriptor, or -1.
static void
Own(int k, int dir, const char *name, const Info *st, int fd)
{
	Owns[k].dir = dir;
	strcpy(Owns[k].name, name);
	Owns[k].dev = st->dev;
	Owns[k].ino = st->ino;
	Owns[k].fd = fd;
	Has[k] = 1;
}

static int
Same(const Info *a, const Info *b)
{
	return a->dev == b->dev && a->ino == b->ino;
}

// Removes slot k's file where its name still leads to it, and a made log
// only while nobody has written it or holds its lock to write it; lists it
// no more.
static void
Drop(int k)
{
	const Owned *o = &Owns[k];
	Info in;

	if (Has[k] && Look(o->dir, o->name, &in) == 0 && in.dev == o->dev &&
	    in.ino == o->ino && (o->fd < 0 || (in.size == 0 && Lock(o->fd, 0) != 0)))
		Remove(o->dir, o->name);
	Has[k] = 0;
}

// Lets go of the temporary: kept where it has become the file, else
// removed.
static void
LetGo(int kept)
{
	if (kept)
		Has[TempSlot] = 0;
	else
		Drop(TempSlot);
}

void
Cleanup(void)
{
	Drop(TempSlot);
	Drop(MadeSlot);
}

static int
Sticky(const Info *d)
{
	return (d->mode & 01000) != 0;
}

// True when someone besides the runner can write the directory.
static int
OthersWrite(const Info *d)
{
	return (d->mode & 022) != 0 || (d->uid != Runner() && (d->mode & 0200));
}

enum { ToRead, ToWrite };

// Whether the link st in the directory at may be followed.
static int
Trusted(const Info *st, const Info *at, int rule)
{
	if (rule == ToWrite)
		return st->uid == 0 || st->uid == Runner();
	if (!Sticky(at) || !(at->mode & 02))
		return 1;
	return st->uid == Runner() || st->uid == at->uid;
}

static void
CloseDir(int *dir)
{
	if (*dir >= 0)
		Close(*dir);
	*dir = -1;
}

static void
Unplace(Place *p)
{
	CloseDir(&p->dir);
	CloseDir(&p->ldir);
}

// Enters the root of path, or stays where a relative one starts; its
// length.
static size_t
Enter(const char *path, int *dir, Info *at)
{
	size_t n = Root(path, dir);

	if (*dir == -1 || (*dir == Cwd ? Look(Cwd, ".", at) : Stat(*dir, at)) != 0) {
		CloseDir(dir);
		return (size_t)-1;
	}
	return n;
}

// Follows path under rule to the directory that holds its last part,
// through every link on the way and a last one too: p names what the path
// names, which need not exist.  0 when a link is refused, a directory on
// the way is missing, or the path is too long or loops.
static int
Walk(const char *path, int rule, Place *p)
{
	static char buf[PathMax], text[PathMax], next[PathMax];
	size_t n, len;
	char *s, *e;
	Info in;
	int dir, hops = 0, last, k;

	p->dir = p->ldir = -1;
	if (path[0] == 0 || strlen(path) >= sizeof buf)
		return 0;
	strcpy(buf, path);
	if ((n = Enter(buf, &dir, &p->at)) == (size_t)-1)
		return 0;
	for (s = buf + n;;) {
		while (IsSep(*s))
			s++;
		for (e = s; *e && !IsSep(*e); e += IsLead(*e) && e[1] ? 2 : 1)
			;
		len = (size_t)(e - s);
		for (last = 1, k = 0; e[k]; k++)
			if (!IsSep(e[k]))
				last = 0;
		if (len >= NameMax)
			break;
		memcpy(p->name, len ? s : ".", len ? len : 1);
		p->name[len ? len : 1] = 0;
		if (Look(dir, p->name, &in) != 0) {
			if (last && Err == ErrMissing) {
				p->dir = dir;
				return 1;
			}
			break;
		}
		if (in.kind == KindLink) {
			if (!Trusted(&in, &p->at, rule) || ++hops > 40 ||
			    (k = ReadLink(dir, p->name, text, sizeof text)) <= 0)
				break;
			// A last link keeps a handle of its own, should its text
			// name no file that a walk can reach.
			if (last) {
				CloseDir(&p->ldir);
				if ((p->ldir = OpenDir(dir, ".")) < 0)
					break;
				strcpy(p->lname, p->name);
			}
			if (snprintf(next, sizeof next, "%s%s", text, e) >=
			    (int)sizeof next)
				break;
			strcpy(buf, next);
			s = buf;
			if (Root(buf, &k) > 0 || k != Cwd) {
				CloseDir(&k);
				CloseDir(&dir);
				if ((n = Enter(buf, &dir, &p->at)) == (size_t)-1)
					break;
				s = buf + n;
			}
			continue;
		}
		if (last) {
			p->dir = dir;
			return 1;
		}
		if (in.kind != KindDir || (k = OpenDir(dir, p->name)) < 0 ||
		    Stat(k, &p->at) != 0) {
			CloseDir(&k);
			break;
		}
		CloseDir(&dir);
		dir = k;
		s = e;
	}
	CloseDir(&dir);
	CloseDir(&p->ldir);
	return 0;
}

// Opens the last link of p through the system, for a link whose text
// names no file (such as /proc/self/fd/0 on a pipe): only where nobody
// else can put a file, or a link of their own, at the name the walk found
// missing, between that look and this open.
static int
SysOpen(const Place *p, How how)
{
	if (p->ldir < 0 || OthersWrite(&p->at)) {
		Err = ErrMissing;
		return -1;
	}
	return Open(p->ldir, p->lname, how, 0, 1);
}

// How a file st in the directory at may be written: refused, replaced or
// written in place.
static int
Judge(const Info *at, const Info *st)
{
	if (st->kind == KindDir || st->kind == KindLink)
		return Refuse;
	if (Sticky(at) && st->uid != Runner() && st->uid != at->uid)
		return Refuse;
	if (st->kind != KindFile)
		return InPlace;
	if (st->links > 1)
		return OthersWrite(at) ? Refuse : InPlace;
	if (Runner() != 0 && st->uid != Runner())
		return InPlace;
	return Replace;
}

// Opens what path leads to under the rule for reading; its information in
// *st.  With only, a regular file alone, looked at first so that a pipe
// is never waited on.  -1 when it cannot be opened or is refused.
static int
ReadFd(const char *path, Info *st, int only)
{
	Place p;
	int fd = -1, tries, again;

	for (tries = 0; fd < 0 && tries < 8; tries++) {
		if (!Walk(path, ToRead, &p))
			return -1;
		if (only && (Look(p.dir, p.name, st) != 0 || st->kind != KindFile))
			Err = ErrDenied;
		else if ((fd = Open(p.dir, p.name, ForRead, 0, 0)) < 0 &&
		    Err == ErrMissing)
			fd = SysOpen(&p, ForRead);
		again = fd < 0 && Err == ErrLoop;
		Unplace(&p);
		// A link put in its place since it was looked at: again.
		if (fd < 0 && !again)
			return -1;
	}
	if (fd >= 0 && (Stat(fd, st) != 0 || st->kind == KindDir ||
	    (only && st->kind != KindFile))) {
		Close(fd);
		fd = -1;
	}
	return fd;
}

// A stream on what ReadFd opens.
static FILE *
ReadStream(const char *path, Info *st, int only)
{
	FILE *f;
	int fd;

	if ((fd = ReadFd(path, st, only)) < 0)
		return NULL;
	f = Reader(fd);
	Close(fd);
	return f;
}

FILE *
ReadOpen(const char *path)
{
	Info st;

	return ReadStream(path, &st, 0);
}

FILE *
ReadRegular(const char *path, long long *written)
{
	Info st;
	FILE *f;

	if ((f = ReadStream(path, &st, 1)) != NULL)
		*written = st.written;
	return f;
}

// A name for a temporary file that nobody can guess.
static void
Guess(char *name)
{
	static const char hex[] = "0123456789abcdef";
	unsigned char r[8];
	int k;

	Random(r, sizeof r);
	strcpy(name, ".torquelin-");
	for (k = 0; k < 8; k++) {
		name[11 + 2 * k] = hex[r[k] >> 4];
		name[12 + 2 * k] = hex[r[k] & 15];
	}
	name[27] = 0;
}

// A temporary file in dir, into *fd; its name, or "" while it has none.
// 0 when none can be made.
static int
Temp(int dir, char *name, int *fd)
{
	Info st;
	int i;

	name[0] = 0;
	if ((*fd = Unnamed(dir)) >= 0)
		return 1;
	for (i = 0; i < 8; i++) {
		Guess(name);
		Hold(1);
		if ((*fd = Open(dir, name, ForNew, 0600, 0)) >= 0 &&
		    Stat(*fd, &st) == 0)
			Own(TempSlot, dir, name, &st, -1);
		Hold(0);
		if (*fd >= 0)
			return 1;
		if (Err != ErrExists)
			break;
	}
	name[0] = 0;
	return 0;
}

// Gives the unnamed temporary fd a name in dir, listed as the run's own
// first; 0 when it cannot.  Called while Held.
static int
Named(int fd, int dir, char *name)
{
	Info st;
	int i;

	if (Stat(fd, &st) != 0)
		return 0;
	for (i = 0; i < 8; i++) {
		Guess(name);
		Own(TempSlot, dir, name, &st, -1);
		if (Name(fd, dir, name) == 0)
			return 1;
		Has[TempSlot] = 0;
		if (Err != ErrExists)
			break;
	}
	return 0;
}

// Where new content comes from: text, or a descriptor.
struct Data {
	const char *text;
	size_t len;
	int in;
};

// Writes d to fd, text at off (or where fd stands, with off < 0), data
// from where both stand; *n gets how many bytes.
static int
Fill(int fd, const Data *d, long long off, long long *n)
{
	if (d->text) {
		*n = (long long)d->len;
		return WriteAt(fd, d->text, d->len, off) == 0;
	}
	return (*n = CopyData(d->in, fd)) >= 0;
}

// Writes d into a new file beside name in dir and puts it in name's place:
// over the file old (st) with all that it is besides its data, or, where
// old is -1, only where the name is free, with mode.  1 when done; 0 when
// it cannot be done without changing what the file is (nothing is left
// behind then); -1 when the data could not be had or written; Taken when
// the name was free and is no longer.  With Synced the new file is on
// disk first; with Owned, a file whose extended attributes the system
// cannot show is replaced with its owner, group and mode.
enum { Synced = 1, Owned = 2, Taken = -2 };
static int
Swap(int dir, const char *name, int old, const Info *st, int mode,
    const Data *d, int how)
{
	char tmp[NameMax];
	long long n;
	int fd, ok, put, e = 0, k;

	if (!Temp(dir, tmp, &fd))
		return 0;
	ok = Fill(fd, d, 0, &n) && (!(how & Synced) || Sync(fd) == 0);
	if (ok && old >= 0 && st)
		put = (k = Keep(old, fd, st)) > 0 || (k < 0 && (how & Owned));
	else
		put = ok && Chmod(fd, mode) == 0;
	Hold(1);
	if (put && tmp[0] == 0)
		put = Named(fd, dir, tmp);
	if (put && (old >= 0 ? Rename(dir, tmp, name) : Move(dir, tmp, name)) != 0) {
		e = old < 0 && Err == ErrExists ? Taken : 0;
		put = 0;
	}
	LetGo(put);
	Hold(0);
	Close(fd);
	return put ? 1 : e == Taken ? Taken : ok ? 0 : -1;
}

// Writes d over the file fd (st) from its start, in room for room bytes
// reserved first where the file system can, and cuts it to its new length.
// hold keeps signals waiting while it is written, so that it is never left
// torn.
static int
Over(int fd, const Info *st, const Data *d, long long room, int hold, int sync)
{
	long long n;
	int ok, file = st->kind == KindFile;

	if (file && Reserve(fd, room) == 0)
		return 0;
	if (hold)
		Hold(1);
	ok = Fill(fd, d, file ? 0 : -1, &n) && (!file || Truncate(fd, n) == 0) &&
	    (!sync || Sync(fd) == 0);
	if (hold)
		Hold(0);
	return ok;
}

// Opens the log that l->p names, or makes it, and judges it: 1 when it may
// be written, 0 when not, -1 when it changed while being opened.
static int
Find(Log *l)
{
	Place *p = &l->p;
	Info in;
	int fd;

	l->sys = 0;
	if (Look(p->dir, p->name, &in) == 0) {
		if (in.kind == KindLink)
			return -1;
		fd = Open(p->dir, p->name, in.kind == KindPipe ? ForWrite : ForUpdate,
		    0, 0);
	} else if (Err != ErrMissing) {
		return 0;
	} else if ((fd = SysOpen(p, ForUpdate)) >= 0) {
		l->sys = 1;
	} else {
		// The lock needs a file: the runner's alone, and removed again
		// should the run end without writing it.
		Hold(1);
		if ((fd = Open(p->dir, p->name, ForNew, 0600, 0)) >= 0 &&
		    Stat(fd, &in) == 0)
			Own(MadeSlot, p->dir, p->name, &in, fd);
		Hold(0);
	}
	if (fd < 0)
		return Err == ErrLoop || Err == ErrExists ? -1 : 0;
	l->fd = fd;
	if (Stat(fd, &l->st) != 0 || (!l->sys && l->st.kind == KindPipe &&
	    in.kind != KindPipe))
		return -1;
	l->how = l->sys ? (l->st.kind == KindDir ? Refuse : InPlace) :
	    Judge(&p->at, &l->st);
	return l->how != Refuse;
}

// Opens the log anew: walked, opened or made, judged.
static int
Reopen(Log *l)
{
	int tries, r = 0;

	// A log this run made is no longer at the name when it is opened
	// again: only forgotten then.
	Hold(1);
	Drop(MadeSlot);
	Hold(0);
	for (tries = 0; tries < 8; tries++) {
		if (l->fd >= 0)
			Close(l->fd);
		l->fd = -1;
		Unplace(&l->p);
		if (!Walk(l->path, ToWrite, &l->p))
			return 0;
		if ((r = Find(l)) >= 0)
			break;
	}
	return r > 0;
}

int
LogOpen(const char *path, Log *l)
{
	memset(l, 0, sizeof *l);
	l->path = path;
	l->fd = l->p.dir = l->p.ldir = -1;
	if (Reopen(l))
		return 1;
	LogDone(l);
	return 0;
}

int
LogLock(Log *l, double seconds)
{
	double end = Clock() + seconds;
	Info now;
	int r;

	for (;;) {
		if (l->st.kind != KindFile)
			return LockNone;
		if ((r = Lock(l->fd, end - Clock())) <= 0)
			return r < 0 ? LockNone : LockTimedOut;
		// Replaced or removed by another run while we waited: the
		// lock must be on the file that has the name now.
		if (l->sys || (Look(l->p.dir, l->p.name, &now) == 0 &&
		    Same(&now, &l->st)))
			return LockHad;
		if (!Reopen(l))
			return LockLost;
	}
}

FILE *
LogText(Log *l)
{
	return l->fd >= 0 && l->st.kind == KindFile ? Reader(l->fd) : NULL;
}

int
LogPut(Log *l, const char *text, size_t len)
{
	Data d = { text, len, -1 };
	Info now;
	int r;

	if (l->fd < 0)
		return 0;
	// A run that went on without the lock may find its log replaced by
	// another run meanwhile: the new content goes to the file that has
	// the name now, not to one that no name leads to.
	if (l->st.kind == KindFile && !l->sys && Stat(l->fd, &now) == 0 &&
	    now.links == 0 && !Reopen(l))
		return 0;
	if (l->how == Replace &&
	    (r = Swap(l->p.dir, l->p.name, l->fd, &l->st, 0, &d, Synced)) != 0) {
		if (r > 0)
			Sync(l->p.dir);
		return r > 0;
	}
	return Over(l->fd, &l->st, &d, (long long)len, 1, l->st.kind == KindFile);
}

void
LogDone(Log *l)
{
	Hold(1);
	Drop(MadeSlot);
	Hold(0);
	if (l->fd >= 0)
		Close(l->fd);
	l->fd = -1;
	Unplace(&l->p);
}

// The permission bits of a new compare-file-2: compare-file-1's, so that a
// private file does not become a readable one, and write for its owner, so
// that the next run can write it, under the umask.
static int
NewMode(const Info *src)
{
	return ((src->mode & 0777) | 0200) & ~Umask();
}

enum { Failed, Done, Again };

// Copies file-1 into a temporary file in dir first, so that a read error
// in it can no longer leave file-2 torn when file-2 is written in place:
// the temporary's descriptor, to be let go with Unstage; -1 when none can
// be made (then file-2 is written straight from file-1), -2 when file-1
// cannot be read.
static int
Stage(int dir, int in)
{
	char tmp[NameMax];
	int t;

	if (!Temp(dir, tmp, &t))
		return -1;
	if (CopyData(in, t) < 0 || Rewind(t) != 0) {
		Hold(1);
		LetGo(0);
		Hold(0);
		Close(t);
		return -2;
	}
	return t;
}

static void
Unstage(int t)
{
	if (t < 0)
		return;
	Hold(1);
	LetGo(0);
	Hold(0);
	Close(t);
}

// Makes file-2 at the name itself, where no temporary file can be made
// beside it (every name taken); removed again if the copy fails.
static int
Make(Place *p, const Data *d, const Info *src, long long room)
{
	Info st;
	int fd, ok;

	Hold(1);
	if ((fd = Open(p->dir, p->name, ForNew, NewMode(src), 0)) >= 0 &&
	    Stat(fd, &st) == 0)
		Own(TempSlot, p->dir, p->name, &st, -1);
	Hold(0);
	if (fd < 0)
		return Err == ErrExists ? Again : Failed;
	ok = Over(fd, &st, d, room, 0, 0);
	Hold(1);
	LetGo(ok);
	Hold(0);
	Close(fd);
	return ok ? Done : Failed;
}

// Puts in's data (src) at p: a new file, a replacement, or in place.
// Again when what p names changed meanwhile.
static int
CopyTo(Place *p, int in, const Info *src)
{
	Data d = { NULL, 0, in };
	long long room = src->kind == KindFile ? src->size : 0;
	Info st, now;
	int fd, r, t;

	if (Look(p->dir, p->name, &st) != 0) {
		if (Err != ErrMissing)
			return Failed;
		if ((fd = SysOpen(p, ForWrite)) >= 0) {
			r = Stat(fd, &st) == 0 && st.kind != KindDir &&
			    Over(fd, &st, &d, room, 0, 0);
			Close(fd);
			return r ? Done : Failed;
		}
		r = Swap(p->dir, p->name, -1, NULL, NewMode(src), &d, 0);
		if (r == 0)
			return Make(p, &d, src, room);
		return r > 0 ? Done : r == Taken ? Again : Failed;
	}
	if ((r = Judge(&p->at, &st)) == Refuse)
		return st.kind == KindLink ? Again : Failed;
	if (r == Replace) {
		// The tool's own: replaced even where its mode forbids writing.
		r = 0;
		if ((fd = Open(p->dir, p->name, ForRead, 0, 0)) >= 0 &&
		    Stat(fd, &now) == 0 && Same(&now, &st))
			r = Swap(p->dir, p->name, fd, &now, 0, &d, Owned);
		if (fd >= 0)
			Close(fd);
		if (r != 0)
			return r > 0 ? Done : Failed;
		if (Rewind(in) != 0)
			return Failed;
	}
	if ((fd = Open(p->dir, p->name, ForWrite, 0, 0)) < 0)
		return Err == ErrLoop || Err == ErrMissing ? Again : Failed;
	r = Again;
	if (Stat(fd, &now) == 0 && Same(&now, &st)) {
		t = now.kind == KindFile ? Stage(p->dir, in) : -1;
		if (t >= 0)
			d.in = t;
		r = t == -2 ? Failed : Over(fd, &now, &d, room, 0, 0) ? Done : Failed;
		Unstage(t);
	}
	Close(fd);
	return r;
}

int
CopyOver(const char *from, const char *to)
{
	Place p;
	Info src;
	int in, tries, r = Failed;

	if ((in = ReadFd(from, &src, 0)) < 0)
		return 0;
	for (tries = 0; tries < 8; tries++) {
		if (!Walk(to, ToWrite, &p))
			break;
		r = CopyTo(&p, in, &src);
		Unplace(&p);
		if (r != Again || Rewind(in) != 0)
			break;
	}
	Close(in);
	return r == Done;
}
