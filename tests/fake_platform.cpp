// The file primitives over a tree in memory; see fake_platform.h.
#include "fake_platform.h"

#include <cstring>
#include <deque>

#include "filepolicy.h"

int Err;
const char LineEnd[] = "\n";

struct Node {
	Kind kind;
	long uid;
	int mode;
	unsigned long long ino;
	long links;
	std::string data;  // a file's bytes, a link's text
	std::map<std::string, int> names;  // a directory's
	int up;
	bool other;
};
struct Desc {
	int node;
	size_t pos;
};

static std::vector<Node> Nodes;
static std::map<int, Desc> Fds;
static int NextFd;
static long Uid;
static int Mask;
static std::vector<Event> Events;
static std::vector<int> Calls;
static int Depth;
static bool Pending;
static int ArgDir;
static std::string ArgName;
bool SignalCame, HasUnnamed;
Tree AtSignal;

static int
Fail(int e)
{
	Err = e;
	return -1;
}

// The event that makes this call fail, after every act scripted on it.
static const Event *
Fire(const char *call, int dir, const char *name)
{
	const Event *f = nullptr;
	size_t i;

	ArgDir = dir;
	ArgName = name ? name : "";
	for (i = 0; i < Events.size(); i++) {
		const Event &e = Events[i];
		if (strcmp(e.call, call) != 0 || (e.prefix && (!name ||
		    strncmp(name, e.prefix, strlen(e.prefix)) != 0)))
			continue;
		if (++Calls[i] != e.nth && e.nth != 0)
			continue;
		if (e.act)
			e.act();
		if (e.fails)
			f = &e;
	}
	if (f)
		Err = f->err;
	return f;
}
#define FIRE(call, dir, name) \
	if (const Event *e_ = Fire(call, dir, name)) return e_->ret

static int
Make(Kind kind, long uid, int mode, unsigned long long ino, bool other)
{
	Node n = { kind, uid, mode, ino ? ino : 100 + Nodes.size(), 0, "", {},
	    0, other };

	Nodes.push_back(n);
	return (int)Nodes.size() - 1;
}

static int
Child(int d, const std::string &name)
{
	if (name == ".")
		return d;
	if (name == "..")
		return Nodes[d].up;
	auto i = Nodes[d].names.find(name);
	return i == Nodes[d].names.end() ? -1 : i->second;
}

static void
Link(int d, const std::string &name, int n)
{
	Nodes[d].names[name] = n;
	Nodes[n].links++;
	Nodes[n].up = d;
}

static void
Unlink(int d, const std::string &name)
{
	int n = Child(d, name);

	if (n >= 0) {
		Nodes[d].names.erase(name);
		Nodes[n].links--;
	}
}

// The node path leads to, following links where follow; its directory
// and last part in *d and *last.
static int
Find(const std::string &path, bool follow, int *d, std::string *last,
    int hops = 0)
{
	size_t s = 1, e;
	int n = 0;

	*d = 0;
	while (s < path.size() && n >= 0) {
		e = path.find('/', s);
		e = e == std::string::npos ? path.size() : e;
		*d = n;
		*last = path.substr(s, e - s);
		n = Child(n, *last);
		if (n >= 0 && follow && Nodes[n].kind == KindLink)
			n = hops > 40 ? -1 :
			    Find(Nodes[n].data, true, d, last, hops + 1);
		s = e + 1;
	}
	return n;
}

static int
At(int fd)
{
	auto i = Fds.find(fd);
	return fd == Cwd ? 0 : i == Fds.end() ? -1 : i->second.node;
}

static int
NewFd(int n)
{
	Fds[NextFd] = { n, 0 };
	return NextFd++;
}

static void
Fill(int n, Info *in)
{
	const Node &x = Nodes[n];

	*in = { x.kind, 1, x.ino, x.uid, x.uid, x.mode, x.links,
	    (long long)x.data.size(), 0 };
}

// Whether the runner may read (4) or write (2) the node; groups aside.
static bool
May(int n, int bits)
{
	int m = Nodes[n].uid == Uid ? Nodes[n].mode >> 6 : Nodes[n].mode;

	return Uid == 0 || (m & bits) == bits;
}

void
FakeReset(long runner, int umask)
{
	Nodes.clear();
	Fds.clear();
	Events.clear();
	Calls.clear();
	NextFd = 3;
	Uid = runner;
	Mask = umask;
	Depth = 0;
	Pending = SignalCame = HasUnnamed = false;
	AtSignal.clear();
	Make(KindDir, 0, 0755, 2, false);
	Nodes[0].links = 1;
}

void
FakeAdd(const std::string &path, const std::string &content, long uid,
    int mode, unsigned long long ino, bool other)
{
	std::string last;
	int d, n;

	Find(path, false, &d, &last);
	Unlink(d, last);
	if (content[0] == '=') {
		n = Find(content.substr(1), false, &d, &last);
		Find(path, false, &d, &last);
	} else if (content == "<dir>" || content == "<pipe>") {
		n = Make(content == "<dir>" ? KindDir : KindPipe, uid, mode, ino, other);
	} else if (content.compare(0, 2, "->") == 0) {
		n = Make(KindLink, uid, mode, ino, other);
		Nodes[n].data = content.substr(2);
	} else {
		n = Make(KindFile, uid, mode, ino, other);
		Nodes[n].data = content;
	}
	Link(d, last, n);
}

void
FakeScript(const std::vector<Event> &events)
{
	Events = events;
	Calls.assign(events.size(), 0);
}

static void
Render(int d, const std::string &at, Tree *t)
{
	for (auto &i : Nodes[d].names) {
		const Node &x = Nodes[i.second];
		std::string path = at + "/" + i.first;
		(*t)[path] = { x.kind == KindDir ? "<dir>" : x.kind == KindPipe ?
		    "<pipe>" : x.kind == KindLink ? "->" + x.data : x.data,
		    x.uid, x.mode, x.ino, x.other };
		if (x.kind == KindDir)
			Render(i.second, path, t);
	}
}

Tree
FakeTree(void)
{
	Tree t;

	Render(0, "", &t);
	return t;
}

int
FakeOpen(void)
{
	return (int)Fds.size();
}

void
OtherPut(const std::string &path, const std::string &content, long uid,
    int mode, unsigned long long ino)
{
	FakeAdd(path, content, uid, mode, ino, true);
}

void
OtherWrite(const std::string &path, const std::string &content)
{
	std::string last;
	int d;

	Nodes[Find(path, false, &d, &last)].data = content;
}

void
OtherRemove(const std::string &path)
{
	std::string last;
	int d;

	Find(path, false, &d, &last);
	Unlink(d, last);
}

void
TakeName(void)
{
	int d = At(ArgDir), n;

	if (d >= 0 && Child(d, ArgName) < 0) {
		n = Make(KindFile, Eve, 0644, 0, true);
		Link(d, ArgName, n);
	}
}

static void
Die(void)
{
	Pending = false;
	Cleanup();
	AtSignal = FakeTree();
	SignalCame = true;
}

void
Signal(void)
{
	if (Depth > 0)
		Pending = true;
	else if (!SignalCame)
		Die();
}

size_t
Root(const char *path, int *dir)
{
	if (path[0] != '/') {
		*dir = Cwd;
		return 0;
	}
	*dir = NewFd(0);
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
	return Uid;
}

int
Umask(void)
{
	return Mask;
}

int
Look(int dir, const char *name, Info *in)
{
	int d = At(dir), n;

	FIRE("Look", dir, name);
	if (d < 0 || (n = Child(d, name)) < 0)
		return Fail(ErrMissing);
	Fill(n, in);
	return 0;
}

int
Stat(int fd, Info *in)
{
	int n = At(fd);

	if (n < 0)
		return Fail(ErrOther);
	Fill(n, in);
	return 0;
}

int
ReadLink(int dir, const char *name, char *buf, size_t size)
{
	int d = At(dir), n;

	if (d < 0 || (n = Child(d, name)) < 0 || Nodes[n].kind != KindLink)
		return Fail(ErrOther);
	snprintf(buf, size, "%s", Nodes[n].data.c_str());
	return (int)strlen(buf);
}

int
OpenDir(int dir, const char *name)
{
	int d = At(dir), n;

	FIRE("OpenDir", dir, name);
	if (d < 0 || (n = Child(d, name)) < 0)
		return Fail(ErrMissing);
	if (Nodes[n].kind == KindLink)
		return Fail(ErrLoop);
	if (Nodes[n].kind != KindDir)
		return Fail(ErrNotDir);
	return NewFd(n);
}

int
Open(int dir, const char *name, How how, int mode, int follow)
{
	static const int want[] = { 4, 2, 6, 6 };
	std::string last;
	int d = At(dir), n, k;

	FIRE("Open", dir, name);
	if (d < 0)
		return Fail(ErrOther);
	n = Child(d, name);
	if (how == ForNew) {
		if (n >= 0)
			return Fail(ErrExists);
		if (!May(d, 2))
			return Fail(ErrDenied);
		n = Make(KindFile, Uid, mode & ~Mask, 0, false);
		Link(d, name, n);
		return NewFd(n);
	}
	if (n >= 0 && Nodes[n].kind == KindLink)
		n = follow ? Find(Nodes[n].data, true, &k, &last) : -2;
	if (n < 0)
		return Fail(n == -2 ? ErrLoop : ErrMissing);
	if ((Nodes[n].kind == KindDir && how != ForRead) || !May(n, want[how]))
		return Fail(ErrDenied);
	return NewFd(n);
}

void
Close(int fd)
{
	Fds.erase(fd);
}

int
Lock(int fd, double)
{
	FIRE("Lock", fd, nullptr);
	return 1;
}

int
Unnamed(int dir)
{
	FIRE("Unnamed", dir, nullptr);
	if (!HasUnnamed)
		return Fail(ErrUnsupported);
	return NewFd(Make(KindFile, Uid, 0600, 0, false));
}

int
Name(int fd, int dir, const char *name)
{
	int d = At(dir);

	FIRE("Name", dir, name);
	if (Child(d, name) >= 0)
		return Fail(ErrExists);
	Link(d, name, At(fd));
	return 0;
}

void
Random(unsigned char *buf, size_t n)
{
	static unsigned char next;

	while (n-- > 0)
		*buf++ = next++;
}

static int
Put(int dir, const char *from, const char *to, bool replace)
{
	int d = At(dir), n = Child(d, from);

	if (n < 0)
		return Fail(ErrMissing);
	if (!replace && Child(d, to) >= 0)
		return Fail(ErrExists);
	if (Child(d, to) >= 0 && Nodes[Child(d, to)].kind == KindDir)
		return Fail(ErrOther);
	Unlink(d, from);
	Unlink(d, to);
	Link(d, to, n);
	return 0;
}

int
Rename(int dir, const char *from, const char *to)
{
	FIRE("Rename", dir, to);
	return Put(dir, from, to, true);
}

int
Move(int dir, const char *from, const char *to)
{
	FIRE("Move", dir, to);
	return Put(dir, from, to, false);
}

int
Remove(int dir, const char *name)
{
	FIRE("Remove", dir, name);
	Unlink(At(dir), name);
	return 0;
}

int
WriteAt(int fd, const char *p, size_t n, long long off)
{
	FIRE("WriteAt", fd, nullptr);
	Desc &f = Fds[fd];
	size_t at = off < 0 ? f.pos : (size_t)off;
	std::string &s = Nodes[f.node].data;

	if (s.size() < at + n)
		s.resize(at + n);
	s.replace(at, n, p, n);
	if (off < 0)
		f.pos += n;
	return 0;
}

int
Truncate(int fd, long long size)
{
	FIRE("Truncate", fd, nullptr);
	Nodes[Fds[fd].node].data.resize((size_t)size);
	return 0;
}

int
Reserve(int fd, long long)
{
	FIRE("Reserve", fd, nullptr);
	return 1;
}

int
Sync(int fd)
{
	FIRE("Sync", fd, nullptr);
	return 0;
}

// A failure scripted here comes half way through.
long long
CopyData(int in, int out)
{
	const Event *e = Fire("CopyData", in, nullptr);
	Desc &f = Fds[in];
	std::string s = Nodes[f.node].data.substr(f.pos);

	if (e)
		s.resize(s.size() / 2);
	f.pos += s.size();
	WriteAt(out, s.data(), s.size(), -1);
	if (e) {
		Err = e->err;
		return e->ret;
	}
	return (long long)s.size();
}

int
Rewind(int fd)
{
	Fds[fd].pos = 0;
	return 0;
}

int
Keep(int from, int to, const Info *st)
{
	FIRE("Keep", from, nullptr);
	if (Uid != 0 && st->uid != Uid)
		return 0;
	Nodes[At(to)].uid = st->uid;
	Nodes[At(to)].mode = st->mode;
	return 1;
}

int
Chmod(int fd, int mode)
{
	FIRE("Chmod", fd, nullptr);
	Nodes[At(fd)].mode = mode;
	return 0;
}

FILE *
Reader(int fd)
{
	static std::deque<std::string> copies;

	copies.push_back(Nodes[At(fd)].data);
	return fmemopen((void *)copies.back().data(), copies.back().size(), "r");
}

void
Hold(int on)
{
	if (on)
		Depth++;
	else if (Depth > 0 && --Depth == 0 && Pending)
		Die();
}

double
Clock(void)
{
	return 0;
}
