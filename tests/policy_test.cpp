// The file policy's decisions over the primitives kept in memory: each row
// lays out a tree, runs one call as a given user, with one event scripted
// on the primitives, and checks the result and the tree after it (or as a
// signal left it).
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "filepolicy.h"

namespace {

// What a row runs: a log's turn as a run takes it (open, lock, read, put,
// done), a copy of file-1 over file-2, a compare file read.
enum Call { Turn, Copy, Read };

// A file before the run, or expected after it: content null for none;
// after the run, uid or mode -1 and ino 0 are not checked, and ino may say
// the file is the one there before or a new one.
enum : unsigned long long { Kept = 1, Changed = 2 };
struct Ent {
	const char *path;
	const char *content;
	long uid;
	int mode;
	unsigned long long ino;
};

// The tables head their rows with this line:
//   what | files before | runner | call | path, file-1 | events | result |
//   the log as read | files after
struct Row {
	const char *what;
	std::vector<Ent> before;
	long runner;
	Call call;
	const char *path, *from;
	std::vector<Event> events;
	const char *result;  // "ok", "open", "lost", "write", "fail", or what was read
	const char *seen;    // what the log held when read, where checked
	std::vector<Ent> after;
};

Event
On(const char *call, int nth, std::function<void()> act)
{
	return { call, nth, nullptr, act, false, 0, 0 };
}

Event
Fails(const char *call, int nth, int ret, int err)
{
	return { call, nth, nullptr, nullptr, true, ret, err };
}

std::string
Slurp(FILE *f)
{
	std::string s;
	int c;

	while ((c = getc(f)) != EOF)
		s += (char)c;
	fclose(f);
	return s;
}

// A log's turn as the status log takes it; what it read in *seen.
std::string
TakeTurn(const char *path, std::string *seen)
{
	Log l;
	FILE *f;
	int ok;

	if (!LogOpen(path, &l))
		return "open";
	if (LogLock(&l, 10) == LockLost) {
		LogDone(&l);
		return "lost";
	}
	if ((f = LogText(&l)) != NULL)
		*seen = Slurp(f);
	ok = LogPut(&l, "new\n", 4);
	LogDone(&l);
	return ok ? "ok" : "write";
}

const char *L = "/home/me/x.log";
const std::vector<Ent> Base = {
	{ "/root", "<dir>", 0, 0700, 0 },
	{ "/root/secret", "s\n", 0, 0600, 0 },
	{ "/etc", "<dir>", 0, 0755, 0 },
	{ "/tmp", "<dir>", 0, 01777, 0 },
	{ "/pub", "<dir>", 0, 0777, 0 },
	{ "/shared", "<dir>", 0, 02775, 0 },
	{ "/home", "<dir>", 0, 0755, 0 },
	{ "/home/me", "<dir>", Me, 0755, 0 },
	{ "/home/eve", "<dir>", Eve, 0755, 0 },
};

std::string
Show(const Entry &e)
{
	char b[64];

	snprintf(b, sizeof b, " uid %ld mode %o ino %llu", e.uid, e.mode, e.ino);
	return "\"" + e.content + "\"" + b;
}

void
CheckTree(const Row &row, const Tree &was, const Tree &now)
{
	std::map<std::string, const Ent *> want;

	for (const Ent &e : row.after)
		want[e.path] = &e;
	for (auto &i : was)
		if (!want.count(i.first)) {
			auto j = now.find(i.first);
			EXPECT_TRUE(j != now.end() && Show(j->second) ==
			    Show(i.second)) << i.first << " changed: " <<
			    (j != now.end() ? Show(j->second) : "gone");
		}
	for (auto &i : now)
		EXPECT_TRUE(want.count(i.first) || was.count(i.first) ||
		    i.second.other) << i.first << " left behind";
	for (const Ent &e : row.after) {
		auto j = now.find(e.path);
		auto k = was.find(e.path);
		if (!e.content) {
			EXPECT_TRUE(j == now.end()) << e.path << " is there";
			continue;
		}
		ASSERT_TRUE(j != now.end()) << e.path << " is missing";
		const Entry &n = j->second;
		EXPECT_EQ(n.content, e.content) << e.path;
		if (e.uid != -1) {
			EXPECT_EQ(n.uid, e.uid) << e.path;
		}
		if (e.mode != -1) {
			EXPECT_EQ(n.mode, e.mode) << e.path;
		}
		if (e.ino == Kept || e.ino == Changed) {
			EXPECT_EQ(k != was.end() && n.ino == k->second.ino,
			    e.ino == Kept) << e.path << " identity";
		} else if (e.ino) {
			EXPECT_EQ(n.ino, e.ino) << e.path;
		}
	}
}

void
Check(const Row &row)
{
	std::string seen = "(none)", result;
	FILE *f;

	SCOPED_TRACE(row.what);
	FakeReset(row.runner, 022);
	for (const Ent &e : Base)
		FakeAdd(e.path, e.content, e.uid, e.mode);
	for (const Ent &e : row.before)
		FakeAdd(e.path, e.content, e.uid, e.mode, e.ino);
	Tree was = FakeTree();
	FakeScript(row.events);
	if (row.call == Turn)
		result = TakeTurn(row.path, &seen);
	else if (row.call == Copy)
		result = CopyOver(row.from, row.path) ? "ok" : "fail";
	else
		result = (f = ReadOpen(row.path)) ? Slurp(f) : "fail";
	EXPECT_EQ(result, row.result);
	EXPECT_EQ(FakeOpen(), 0) << "descriptors left open";
	if (row.seen) {
		EXPECT_EQ(seen, row.seen);
	}
	CheckTree(row, was, SignalCame ? AtSignal : FakeTree());
}

TEST(Policy, Log)
{
	const Row rows[] = {
		{ "a new log is its owner's alone", {}, Me, Turn, L, nullptr, {},
		    "ok", "", { { L, "new\n", Me, 0600, 0 } } },
		{ "made, then replaced by another run before it is locked: the "
		    "run locks the other's and counts on from it", {}, Me, Turn, L,
		    nullptr, { On("Lock", 1, [] { OtherPut(L, "3\n3\n", Me, 0600, 900); }) },
		    "ok", "3\n3\n", { { L, "new\n", Me, 0600, 0 } } },
		{ "removed by another run while it waited: made again and counted "
		    "from 0", { { L, "3\n3\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { On("Lock", 1, [] { OtherRemove(L); }) },
		    "ok", "", { { L, "new\n", Me, 0600, 0 } } },
		{ "a signal after that retry leaves the other run's made log",
		    {}, Me, Turn, L, nullptr,
		    { On("Lock", 1, [] { OtherPut(L, "", Me, 0600, 900); }),
		    On("Lock", 2, Signal) },
		    "ok", nullptr, { { L, "", Me, 0600, 900 } } },
		{ "a signal while the made log is empty removes it", {}, Me, Turn,
		    L, nullptr, { On("Lock", 1, Signal) }, "ok", nullptr,
		    { { L, nullptr, 0, 0, 0 } } },
		{ "a signal once another run wrote the made log keeps it", {}, Me,
		    Turn, L, nullptr,
		    { On("Lock", 1, [] { OtherWrite(L, "3\n3\n"); Signal(); }) },
		    "ok", nullptr, { { L, "3\n3\n", Me, 0600, 0 } } },
		{ "a link put at the name between look and open is refused",
		    { { "/tmp/x.log", "1\n1\n", 0, 0644, 0 } }, 0, Turn, "/tmp/x.log",
		    nullptr, { { "Open", 1, "x.log", [] { OtherPut("/tmp/x.log",
		    "->/root/secret", Eve, 0777, 900); }, false, 0, 0 } },
		    "open", nullptr, { { "/tmp/x.log", "->/root/secret", Eve, 0777, 900 } } },
		{ "root's link put there instead is followed",
		    { { "/tmp/x.log", "1\n1\n", 0, 0644, 0 }, { "/etc/x.log", "2\n2\n", 0, 0644, 0 } },
		    0, Turn, "/tmp/x.log", nullptr, { { "Open", 1, "x.log", [] {
		    OtherPut("/tmp/x.log", "->/etc/x.log", 0, 0777, 900); }, false, 0, 0 } },
		    "ok", "2\n2\n", { { "/tmp/x.log", "->/etc/x.log", 0, 0777, 900 },
		    { "/etc/x.log", "new\n", 0, 0644, Changed } } },
		{ "the file put at the name meanwhile is refused", {}, Me, Turn,
		    "/tmp/x.log", nullptr,
		    { On("Lock", 1, [] { OtherPut("/tmp/x.log", "7\n7\n", Eve, 0666, 900); }) },
		    "lost", nullptr, { { "/tmp/x.log", "7\n7\n", Eve, 0666, 900 } } },
		{ "a refused rename (a mount point) writes in place",
		    { { L, "1\n1\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { Fails("Rename", 1, -1, ErrBusy) }, "ok", "1\n1\n",
		    { { L, "new\n", Me, 0644, Kept } } },
		{ "a log left without a name while the run waited: the file at "
		    "the name now is written", { { L, "1\n1\n", Eve, 0666, 0 } }, Me,
		    Turn, L, nullptr,
		    { On("Lock", 1, [] { OtherPut(L, "3\n3\n", Eve, 0666, 900); }),
		    Fails("Lock", 1, 0, ErrNone) },
		    "ok", "1\n1\n", { { L, "new\n", Eve, 0666, 900 } } },
		{ "a full disk leaves a log written in place whole",
		    { { "/etc/x.log", "1\n1\n", 0, 0644, 0 }, { "/etc/y", "=/etc/x.log", 0, 0, 0 } },
		    0, Turn, "/etc/x.log", nullptr,
		    { Fails("Reserve", 1, 0, ErrNoSpace) }, "write", "1\n1\n", {} },
		{ "a full disk leaves a replaced log whole",
		    { { L, "1\n1\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { Fails("WriteAt", 1, -1, ErrNoSpace) }, "write", "1\n1\n", {} },
		{ "a full disk leaves no empty log made for the lock", {}, Me, Turn,
		    L, nullptr, { Fails("WriteAt", 1, -1, ErrNoSpace) }, "write", "",
		    { { L, nullptr, 0, 0, 0 } } },
		{ "extended attributes that cannot be carried over: in place",
		    { { L, "1\n1\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { Fails("Keep", 1, 0, ErrUnsupported) }, "ok", "1\n1\n",
		    { { L, "new\n", Me, 0644, Kept } } },
		{ "temporary names taken by another user: in place",
		    { { L, "1\n1\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { { "Open", 0, ".torquelin-", TakeName, false, 0, 0 } }, "ok",
		    "1\n1\n", { { L, "new\n", Me, 0644, Kept } } },
		{ "a temporary with no name given a taken one: in place",
		    { { L, "1\n1\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { On("Unnamed", 1, [] { HasUnnamed = true; }),
		    { "Name", 0, ".torquelin-", TakeName, false, 0, 0 } }, "ok",
		    "1\n1\n", { { L, "new\n", Me, 0644, Kept } } },
		{ "a signal while the new log is written removes the temporary",
		    { { L, "1\n1\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { On("Sync", 1, Signal) }, "ok", "1\n1\n", {} },
		{ "a signal while the log is written in place waits till it is whole",
		    { { L, "10\n10\n", Me, 0644, 0 } }, Me, Turn, L, nullptr,
		    { Fails("Rename", 1, -1, ErrBusy), On("Truncate", 1, Signal) },
		    "ok", "10\n10\n", { { L, "new\n", Me, 0644, Kept } } },
		{ "root's log of another owner is replaced, owner and mode kept",
		    { { L, "1\n1\n", Me, 0640, 0 } }, 0, Turn, L, nullptr, {}, "ok",
		    "1\n1\n", { { L, "new\n", Me, 0640, Changed } } },
		{ "another user's log in the runner's directory: in place",
		    { { L, "1\n1\n", Eve, 0666, 0 } }, Me, Turn, L, nullptr, {}, "ok",
		    "1\n1\n", { { L, "new\n", Eve, 0666, Kept } } },
		{ "a directory is no log", { { L, "<dir>", Me, 0755, 0 } }, Me, Turn,
		    L, nullptr, {}, "open", nullptr, {} },

		// Planted files and hard links.
		{ "another user's file in a sticky directory, for root",
		    { { "/tmp/x.log", "7\n7\n", Eve, 0666, 0 } }, 0, Turn,
		    "/tmp/x.log", nullptr, {}, "open", nullptr, {} },
		{ "another user's file in a sticky directory, for a user",
		    { { "/tmp/x.log", "7\n7\n", Eve, 0666, 0 } }, Me, Turn,
		    "/tmp/x.log", nullptr, {}, "open", nullptr, {} },
		{ "the sticky directory owner's file: in place",
		    { { "/tmp/x.log", "1\n1\n", 0, 0666, 0 } }, Me, Turn,
		    "/tmp/x.log", nullptr, {}, "ok", "1\n1\n",
		    { { "/tmp/x.log", "new\n", 0, 0666, Kept } } },
		{ "the runner's own file in a sticky directory is replaced",
		    { { "/tmp/x.log", "1\n1\n", Me, 0600, 0 } }, Me, Turn,
		    "/tmp/x.log", nullptr, {}, "ok", "1\n1\n",
		    { { "/tmp/x.log", "new\n", Me, 0600, Changed } } },
		{ "a hard link in a sticky directory",
		    { { "/tmp/x.log", "1\n1\n", 0, 0644, 0 }, { "/tmp/y", "=/tmp/x.log", 0, 0, 0 } },
		    0, Turn, "/tmp/x.log", nullptr, {}, "open", nullptr, {} },
		{ "a hard link in a world-writable directory",
		    { { "/pub/x.log", "1\n1\n", 0, 0644, 0 }, { "/pub/y", "=/pub/x.log", 0, 0, 0 } },
		    0, Turn, "/pub/x.log", nullptr, {}, "open", nullptr, {} },
		{ "a hard link in a group's directory",
		    { { "/shared/x.log", "1\n1\n", 0, 0644, 0 }, { "/shared/y", "=/shared/x.log", 0, 0, 0 } },
		    0, Turn, "/shared/x.log", nullptr, {}, "open", nullptr, {} },
		{ "a hard link in a directory all but its group may write",
		    { { "/spool", "<dir>", 0, 0757, 0 }, { "/spool/x.log", "1\n1\n", 0, 0644, 0 },
		    { "/spool/y", "=/spool/x.log", 0, 0, 0 } },
		    0, Turn, "/spool/x.log", nullptr, {}, "open", nullptr, {} },
		{ "a hard link in another user's directory",
		    { { "/home/eve/x.log", "1\n1\n", 0, 0644, 0 }, { "/home/eve/y", "=/home/eve/x.log", 0, 0, 0 } },
		    0, Turn, "/home/eve/x.log", nullptr, {}, "open", nullptr, {} },
		{ "a hard link in root's own directory: in place, both names",
		    { { "/etc/x.log", "1\n1\n", 0, 0644, 0 }, { "/etc/y", "=/etc/x.log", 0, 0, 0 } },
		    0, Turn, "/etc/x.log", nullptr, {}, "ok", "1\n1\n",
		    { { "/etc/x.log", "new\n", 0, 0644, Kept }, { "/etc/y", "new\n", 0, 0644, Kept } } },
		{ "a hard link in the runner's own directory: in place",
		    { { L, "1\n1\n", Me, 0644, 0 }, { "/home/me/y", "=/home/me/x.log", 0, 0, 0 } },
		    Me, Turn, L, nullptr, {}, "ok", "1\n1\n",
		    { { L, "new\n", Me, 0644, Kept }, { "/home/me/y", "new\n", Me, 0644, Kept } } },

		// Links on the way to a log.
		{ "another user's link in a sticky directory",
		    { { "/tmp/x.log", "->/root/secret", Eve, 0777, 0 } }, 0, Turn,
		    "/tmp/x.log", nullptr, {}, "open", nullptr, {} },
		{ "another user's link in a group's directory",
		    { { "/shared/x.log", "->/root/secret", Eve, 0777, 0 } }, 0, Turn,
		    "/shared/x.log", nullptr, {}, "open", nullptr, {} },
		{ "another user's link in a world-writable directory",
		    { { "/pub/x.log", "->/root/secret", Eve, 0777, 0 } }, 0, Turn,
		    "/pub/x.log", nullptr, {}, "open", nullptr, {} },
		{ "another user's link in that user's own directory",
		    { { "/home/eve/x.log", "->/root/secret", Eve, 0777, 0 } }, 0, Turn,
		    "/home/eve/x.log", nullptr, {}, "open", nullptr, {} },
		{ "another user's link to a directory on the way",
		    { { "/tmp/d", "->/root", Eve, 0777, 0 } }, 0, Turn,
		    "/tmp/d/secret", nullptr, {}, "open", nullptr, {} },
		{ "another user's link to a missing name",
		    { { "/shared/x.log", "->/root/keys", Eve, 0777, 0 } }, 0, Turn,
		    "/shared/x.log", nullptr, {}, "open", nullptr, {} },
		{ "root's link in a sticky directory is followed",
		    { { "/etc/x.log", "1\n1\n", 0, 0644, 0 }, { "/tmp/x.log", "->/etc/x.log", 0, 0777, 0 } },
		    0, Turn, "/tmp/x.log", nullptr, {}, "ok", "1\n1\n",
		    { { "/etc/x.log", "new\n", 0, 0644, Changed } } },
		{ "the runner's link in a sticky directory is followed",
		    { { L, "1\n1\n", Me, 0644, 0 }, { "/tmp/x.log", "->/home/me/x.log", Me, 0777, 0 } },
		    Me, Turn, "/tmp/x.log", nullptr, {}, "ok", "1\n1\n",
		    { { L, "new\n", Me, 0644, Changed } } },
		{ "the runner's link to a missing name makes the log there",
		    { { "/tmp/x.log", "->/home/me/x.log", Me, 0777, 0 } },
		    Me, Turn, "/tmp/x.log", nullptr, {}, "ok", "",
		    { { L, "new\n", Me, 0600, 0 } } },
	};

	for (const Row &row : rows)
		Check(row);
}

TEST(Policy, Copy)
{
	const char *F1 = "/home/me/f1", *F2 = "/home/me/f2";
	const Row rows[] = {
		{ "a new file-2 gets file-1's bits and write for its owner",
		    { { F1, "abc", 0, 0444, 0 } }, Me, Copy, F2, F1, {}, "ok",
		    nullptr, { { F2, "abc", Me, 0644, 0 } } },
		{ "a file-2 of the runner's that forbids writing is replaced",
		    { { F1, "abc", Me, 0644, 0 }, { F2, "old", Me, 0444, 0 } }, Me,
		    Copy, F2, F1, {}, "ok", nullptr, { { F2, "abc", Me, 0444, Changed } } },
		{ "a read error half way leaves file-2 whole",
		    { { F1, "abcdef", Me, 0644, 0 }, { F2, "old", Me, 0644, 0 } }, Me,
		    Copy, F2, F1, { Fails("CopyData", 1, -1, ErrOther) }, "fail",
		    nullptr, {} },
		{ "temporary names taken by another user: in place",
		    { { F1, "abc", Me, 0644, 0 }, { F2, "old", Me, 0644, 0 } }, Me,
		    Copy, F2, F1, { { "Open", 0, ".torquelin-", TakeName, false, 0, 0 } },
		    "ok", nullptr, { { F2, "abc", Me, 0644, Kept } } },
		{ "a link put at a new file-2's name meanwhile is refused", {}, 0,
		    Copy, "/tmp/f2", "/root/secret",
		    { On("Move", 1, [] { OtherPut("/tmp/f2", "->/root/keys", Eve, 0777, 900); }) },
		    "fail", nullptr, { { "/tmp/f2", "->/root/keys", Eve, 0777, 900 } } },
		{ "a file-2 another run made meanwhile is replaced",
		    { { F1, "abc", Me, 0644, 0 } }, Me, Copy, F2, F1,
		    { On("Move", 1, [] { OtherPut("/home/me/f2", "x", Me, 0644, 900); }) },
		    "ok", nullptr, { { F2, "abc", Me, 0644, 0 } } },
		{ "a directory is no file-2", { { F2, "<dir>", Me, 0755, 0 } }, 0,
		    Copy, F2, "/root/secret", {}, "fail", nullptr, {} },
		{ "another user's file-2 in a sticky directory",
		    { { "/tmp/f2", "", Eve, 0666, 0 } }, 0, Copy, "/tmp/f2",
		    "/root/secret", {}, "fail", nullptr, {} },
		{ "another user's link to a missing file-2",
		    { { "/shared/f2", "->/root/keys", Eve, 0777, 0 } }, 0, Copy,
		    "/shared/f2", "/root/secret", {}, "fail", nullptr, {} },
		{ "temporary names taken by another user: a new file-2 still made",
		    { { F1, "abc", Me, 0644, 0 } }, Me, Copy, F2, F1,
		    { { "Open", 0, ".torquelin-", TakeName, false, 0, 0 } },
		    "ok", nullptr, { { F2, "abc", Me, 0644, 0 } } },
		{ "a read error half way leaves a file-2 written in place whole",
		    { { F1, "abcdef", Me, 0644, 0 }, { F2, "old", Me, 0644, 0 },
		    { "/home/me/g", "=/home/me/f2", 0, 0, 0 } }, Me, Copy, F2, F1,
		    { Fails("CopyData", 1, -1, ErrOther) }, "fail", nullptr, {} },
		{ "a full disk leaves a file-2 written in place whole",
		    { { F1, "abcdef", Me, 0644, 0 }, { F2, "old", Me, 0644, 0 },
		    { "/home/me/g", "=/home/me/f2", 0, 0, 0 } }, Me, Copy, F2, F1,
		    { Fails("Reserve", 1, 0, ErrNoSpace) }, "fail", nullptr, {} },
	};

	for (const Row &row : rows)
		Check(row);
}

TEST(Policy, Read)
{
	const Ent data = { "/home/me/data", "5\n", Me, 0644, 0 };
	const Row rows[] = {
		{ "another user's link in a sticky world-writable directory",
		    { data, { "/tmp/r", "->/home/me/data", Eve, 0777, 0 } }, 0,
		    Read, "/tmp/r", nullptr, {}, "fail", nullptr, {} },
		{ "the same, put there between look and open",
		    { data, { "/tmp/r", "1\n", 0, 0644, 0 } }, 0, Read, "/tmp/r", nullptr,
		    { { "Open", 1, "r", [] { OtherPut("/tmp/r", "->/home/me/data", Eve,
		    0777, 900); }, false, 0, 0 } }, "fail", nullptr,
		    { { "/tmp/r", "->/home/me/data", Eve, 0777, 900 } } },
		{ "a directory is no compare file", {}, Me, Read, "/home/me",
		    nullptr, {}, "fail", nullptr, {} },
		{ "the same, for a user", { data, { "/tmp/r", "->/home/me/data", Eve, 0777, 0 } },
		    Me, Read, "/tmp/r", nullptr, {}, "fail", nullptr, {} },
		{ "the runner's link there", { data, { "/tmp/r", "->/home/me/data", Me, 0777, 0 } },
		    Me, Read, "/tmp/r", nullptr, {}, "5\n", nullptr, {} },
		{ "the directory owner's link there", { data, { "/tmp/r", "->/home/me/data", 0, 0777, 0 } },
		    Me, Read, "/tmp/r", nullptr, {}, "5\n", nullptr, {} },
		{ "another user's link in a group's directory",
		    { data, { "/shared/r", "->/home/me/data", Eve, 0777, 0 } }, 0,
		    Read, "/shared/r", nullptr, {}, "5\n", nullptr, {} },
		{ "another user's link in a world-writable directory",
		    { data, { "/pub/r", "->/home/me/data", Eve, 0777, 0 } }, 0,
		    Read, "/pub/r", nullptr, {}, "5\n", nullptr, {} },
	};

	for (const Row &row : rows)
		Check(row);
}

}  // namespace
