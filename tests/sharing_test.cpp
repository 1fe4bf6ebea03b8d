// Runs among other users and other runs: links another user planted, files
// that cannot be replaced without changing them, temporaries after a
// signal, locks, streams that are gone and commands that cannot start.
#include <csignal>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "harness.h"


class Sharing : public ToolTest {
protected:
	// Lets another user into the test directory; false with the reason
	// where these tests cannot be run as root with an unprivileged user.
	bool Users(std::string *why)
	{
		if (!WindowsBuild() && geteuid() != 0) {
			*why = "needs root to act as two users";
			return false;
		}
		if (!PermissionsCount(why))
			return false;
		user_.clear();  // root, unless a row says otherwise
		return true;
	}

	// The words that run a command as nobody, with the extra group given.
	static std::vector<std::string> Nobody(const std::string &group = "")
	{
		return { "setpriv", "--reuid=65534", "--regid=65534",
			group.empty() ? "--clear-groups" : "--groups=" + group };
	}

	// Runs the tool as nobody, or as root with an empty who.
	Result As(const std::string &who, const std::vector<std::string> &args,
	    const std::string &dir = "")
	{
		std::vector<std::string> w;
		if (!who.empty())
			w = Nobody(who == "nobody" ? "" : who);
		std::vector<std::string> tool = ToolWords(args);
		w.insert(w.end(), tool.begin(), tool.end());
		return Exec(w, Input::Closed, dir);
	}

	// A directory of its own for row n, that every user may write.
	std::string Room(int n)
	{
		std::string c = "r" + std::to_string(n);
		MakeDir(c);
		chmod(Path(c).c_str(), 0777);
		return c;
	}

	struct stat Stat(const std::string &name) const
	{
		struct stat st = {};
		lstat(Path(name).c_str(), &st);
		return st;
	}
};

#define NEED_USERS() \
	do { \
		std::string why_; \
		if (!Users(&why_)) \
			GTEST_SKIP() << why_; \
	} while (0)

// What another user put where a run's file belongs is not the run's to
// follow, read or write.  A link on the way to a file the run writes is
// followed only when it is root's or the runner's, in any directory; a
// compare file is read through any link but another user's in a sticky
// directory that all may write.  A log or file-2 planted in a sticky
// directory, or a hard link to someone else's file in a directory others
// can write, is refused.  Nothing is read or written through them.
TEST_F(Sharing, FilesAnotherUserPlanted)
{
	NEED_USERS();
	const std::string nb = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
	const std::string member = "setpriv --reuid=65534 --regid=65534 --groups=4242 ";
	const std::string stk = "mkdir stk && chmod 1777 stk && ";
	const std::string open = "mkdir open && chmod 777 open && ";
	const std::string grp = "mkdir grp && chgrp 4242 grp && chmod 2775 grp && ";
	const std::string root = "0\nroot's own\n";
	const std::string made = Report(1, 0, "1.000000", "1", "0.500000");
	struct Row {
		std::string what;
		std::string setup;      // shell commands in the case directory, as root
		const char *runner;     // "nobody", a group for nobody, or "" (root)
		const char *log, *old;  // the names the run is given
		int code;
		std::string err;
		const char *file;       // a file that must hold content after
		std::string content;
	} rows[] = {
		{ "another user's log link in a sticky directory", stk + nb + "ln -s ../t stk/x.log",
		  "", "stk/x.log", "old", 5, LogOpenError, "t", "0\n" },
		{ "another user's dangling log link", stk + nb + "ln -s ../made stk/x.log",
		  "", "stk/x.log", "old", 5, LogOpenError, "made", Absent },
		{ "another user's log link, directory not sticky", open + nb + "ln -s ../t open/x.log",
		  "", "open/x.log", "old", 5, LogOpenError, "t", "0\n" },
		{ "another user's log link in a group's directory", grp + member + "ln -s ../t grp/x.log",
		  "", "grp/x.log", "old", 5, LogOpenError, "t", "0\n" },
		{ "another user's dangling link in a group's directory",
		  grp + member + "ln -s ../made grp/x.log", "", "grp/x.log", "old", 5, LogOpenError,
		  "made", Absent },
		{ "another user's file-2 link, not sticky", open + nb + "ln -s ../t open/old",
		  "", "s.log", "open/old", 1, CopyError("open/old"), "t", "0\n" },
		{ "another user's file-2 link in a sticky directory is not even read",
		  stk + nb + "ln -s ../t stk/old", "", "s.log", "stk/old", 5,
		  OpenError("stk/old") + CopyError("stk/old"), "t", "0\n" },
		{ "the runner's own link", stk + "ln -s ../t stk/x.log", "", "stk/x.log", "old", 1,
		  "", "t", made },
		{ "root's link, run by another user", stk + "ln -s ../t stk/x.log", "nobody",
		  "stk/x.log", "old", 1, "", "t", made },
		{ "the runner's own link in a group's directory", grp + member + "ln -s ../t grp/x.log",
		  "4242", "grp/x.log", "old", 1, "", "t", made },
		{ "another user's log in a sticky directory",
		  stk + nb + "sh -c 'printf \"7\\n7\\n\" >stk/s.log'", "", "stk/s.log", "old", 5,
		  LogOpenError, "stk/s.log", "7\n7\n" },
		{ "another user's open file-2 in a sticky directory",
		  stk + nb + "sh -c 'echo 1 >stk/old; chmod 666 stk/old'", "", "s.log", "stk/old", 1,
		  CopyError("stk/old"), "stk/old", "1\n" },
		{ "root's log in a sticky directory of a third user, run by nobody",
		  "mkdir stk && chown 4243 stk && chmod 1777 stk && touch stk/s.log && "
		  "chmod 666 stk/s.log", "nobody", "stk/s.log", "old", 5, LogOpenError, "stk/s.log", "" },
		{ "a hard link to root's file as the log, in a sticky directory",
		  stk + "ln secret stk/s.log", "", "stk/s.log", "old", 5, LogOpenError, "secret", root },
		{ "a hard link to root's file as file-2, in a directory others can write",
		  open + "ln secret open/old", "", "s.log", "open/old", 1, CopyError("open/old"),
		  "secret", root },
	};
	int n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string c = Room(n++);
		Write(c + "/t", "0\n");
		chmod(Path(c + "/t").c_str(), 0666);
		Write(c + "/secret", root);
		chmod(Path(c + "/secret").c_str(), 0640);
		Write(c + "/old", "1\n");
		chmod(Path(c + "/old").c_str(), 0666);
		Write(c + "/new", "9\n");
		ASSERT_EQ(Sh("cd " + c + " && " + row.setup), 0);
		Result r = As(row.runner, { "D=0.5", "L=1", "new", row.old, E, R, row.log }, c);
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(Events(c + "/ev"), row.code == 1 ? "E" : "");
		if (row.content == Absent)
			EXPECT_FALSE(Exists(c + "/" + row.file));
		else
			EXPECT_EQ(Read(c + "/" + row.file), row.content);
		EXPECT_EQ(Leftovers(), std::vector<std::string>{});
	}
}

// A file the run writes stays what it is besides its data: replaced, it
// keeps its access list and the user's extended attributes; where a new
// file would change its owner or group, or the system will not let go of
// it (a mount point), it is written in place.  Every run still counts,
// and names as long as the system allows work.
TEST_F(Sharing, FilesKeepWhatTheyAre)
{
	NEED_USERS();
	const std::string lo(255, 'n'), ng(255, 'o');
	struct Row {
		std::string what;
		const char *needs;     // a command that must exist
		std::string setup;     // shell commands in the case directory, as root
		const char *first;     // who runs the first run: "nobody", a group
		const char *second;    // for nobody, or "" (root); and the second
		std::string log, old;  // the log and file-2
		std::string show;      // shell commands whose output must not change
		const char *mount;     // the mount point made, to be let go
	} rows[] = {
		{ "a group's log, written by another member", "true",
		  "mkdir ops && chgrp 4242 ops && chmod 2775 ops && touch ops/s.log && "
		  "chgrp 4242 ops/s.log && chmod 664 ops/s.log", "4242", "4242", "ops/s.log", "old",
		  "stat -c '%u %g %i' ops/s.log", nullptr },
		{ "root's open log in root's sticky directory, written by another user", "true",
		  "mkdir stk && chmod 1777 stk && touch stk/s.log && chmod 666 stk/s.log",
		  "nobody", "nobody", "stk/s.log", "old", "stat -c '%u %g %i' stk/s.log", nullptr },
		{ "an access list for another user", "setfacl",
		  "touch s.log && chmod 600 s.log && setfacl -m u:nobody:rw s.log", "", "nobody",
		  "s.log", "old", "getfacl -cp s.log", nullptr },
		{ "an extended attribute of the user's", "setfattr",
		  "touch s.log && setfattr -n user.torquelin -v kept s.log", "", "", "s.log", "old",
		  "getfattr -d s.log", nullptr },
		{ "a log that is a mount point", "mount", "touch real s.log && mount --bind real s.log",
		  "", "", "s.log", "old", "stat -c %i s.log", "s.log" },
		{ "a file-2 that is a mount point", "mount",
		  "printf '1\\n' >real && touch old && mount --bind real old", "", "", "s.log", "old",
		  "stat -c %i old", "old" },
		{ "names of 255 bytes", "true", "true", "", "", lo, ng, "true", nullptr },
	};
	int n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		if (Sh(std::string("command -v ") + row.needs + " >/dev/null") != 0) {
			std::cout << "[ SKIPPED  ] " << row.what << ": no " << row.needs << "\n";
			continue;
		}
		std::string c = Room(n++);
		if (Sh("cd " + c + " && " + row.setup + " 2>/dev/null") != 0) {
			std::cout << "[ SKIPPED  ] " << row.what << ": cannot be set up here\n";
			continue;
		}
		if (row.mount)
			mounts_.push_back(Path(c + "/" + row.mount));
		const std::string old = c + "/" + row.old, show = "cd " + c + " && " + row.show;
		if (!Exists(old))
			Write(old, "1\n");
		chmod(Path(old).c_str(), 0666);
		ASSERT_EQ(Sh(show + " >>shown"), 0);
		const std::vector<std::string> args = { "D=0.5", "L=1", "new", row.old, E, R, row.log };
		for (int run = 1; run <= 2; run++) {
			Write(c + "/new", run == 1 ? "9\n" : "1\n");
			Result r = As(run == 1 ? row.first : row.second, args, c);
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(r.code, run);
			EXPECT_EQ(Read(old), run == 1 ? "9\n" : "1\n");
		}
		EXPECT_EQ(Events(c + "/ev"), "E");
		EXPECT_EQ(Read(c + "/" + row.log), Report(2, 1, "9.000000", "9", "0.500000"));
		ASSERT_EQ(Sh(show + " >>shown"), 0);
		std::string shown = Read(c + "/shown");
		EXPECT_EQ(shown.substr(0, shown.size() / 2), shown.substr(shown.size() / 2));
		unlink(Path(c + "/shown").c_str());
		EXPECT_EQ(Leftovers(), std::vector<std::string>{});
	}
}

// compare-file-2 is the tool's own: made from a read-only compare-file-1
// it can still be written by the next run, and one whose mode forbids
// writing is replaced all the same, as an ordinary user.
TEST_F(Sharing, ReadOnlyFilesAreCopiedRunAfterRun)
{
	NEED_USERS();
	MakeDir("c");
	chmod(Path("c").c_str(), 0777);
	Write("c/new", "9\n");
	chmod(Path("c/new").c_str(), 0444);
	const std::vector<std::string> args = { "D=0.5", "L=1", "new", "old", E, R, "s.log" };
	Result r = As("nobody", args, "c");
	EXPECT_EQ(r.err, OpenError("old") + "");
	EXPECT_EQ(r.code, 5);
	EXPECT_EQ(Mode(Path("c/old")) & 0200, 0200);
	ASSERT_EQ(chmod(Path("c/old").c_str(), 0444), 0);
	Write("c/new", "1\n");
	r = As("nobody", args, "c");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(Read("c/old"), "1\n");
	EXPECT_EQ(Mode(Path("c/old")), 0444);
	EXPECT_EQ(Stat("c/old").st_uid, 65534u);
}

// No temporary file outlives a run that a signal ends; the log is the old
// one or the new one, whole.  SIGKILL cannot be caught: where temporaries
// have no name until renamed, it may only find one in the instant it has a
// name, between its link and the rename, when it is already whole; a build
// without them (a portable one) names them throughout.
TEST_F(Sharing, NoTemporarySurvivesASignal)
{
	if (WindowsBuild())
		GTEST_SKIP() << "signals do not reach a Windows build";
	std::string big;
	for (int i = 0; big.size() < (24 << 20); i++)
		big += std::to_string(i) + "\n";
	Write("new", big);
	Write("old", "1\n");
	std::mt19937 rng(7);
	for (int sig : { SIGTERM, SIGKILL }) {
		for (int i = 0; i < 12; i++) {
			SCOPED_TRACE("signal " + std::to_string(sig) + " run " + std::to_string(i));
			pid_t pid = Spawn(ToolWords({ "D=0.5", "L=1", "X=2", "new", "old", "", "" }),
			    dir_, scratch_ + "/out", scratch_ + "/err");
			usleep(rng() % 30000);
			kill(pid, sig);
			Reap(pid, 20);
			for (const std::string &f : Leftovers()) {
				EXPECT_EQ(sig, SIGKILL) << f;
				EXPECT_TRUE(!TORQUELIN_UNNAMED_TEMPS || Read(f) == big ||
				    Read(f).find("Difference") != std::string::npos) <<
				    f << " is not whole";
				unlink(Path(f).c_str());
			}
			std::string log = Read("Plomt.log");
			EXPECT_TRUE(log.empty() || log.find("Difference    = 0.500000\n") != std::string::npos) << log;
		}
	}
}

// A reader that went away, or no standard streams at all, change nothing
// but where the messages go: the decision, the log, the command and the
// copy are as ever, and the log holds each message once.  The standard
// streams by name, whose links the system resolves, serve as a compare
// file (as the README's recipes pipe a command's output in) and as the
// log.
TEST_F(Sharing, StandardStreams)
{
	if (WindowsBuild())
		GTEST_SKIP() << "needs POSIX descriptors";
	const std::vector<std::string> two = { "D=0.5", "L=1", "X=1", "new", "old", E, R };
	const std::vector<std::string> one = { "v=10", "D=0.5", "L=1", "/dev/stdin", E, R };
	const std::string gone = WordCount(0, "") + Report(1, 0, "1.000000", "", "0.500000");
	const std::string read = Report(1, 0, "10.000000", "11", "0.500000");
	struct Row {
		const char *what, *script;  // the tool is "$@"
		std::vector<std::string> args;
		const char *log, *file;     // the log given, and the file that holds it
		std::string content;
	} rows[] = {
		{ "a pipe without a reader", "(sleep 0.3; \"$@\"; echo $? >code) 2>&1 | true",
		  two, "Plomt.log", "Plomt.log", gone },
		{ "all three closed", "\"$@\" <&- >&- 2>&-; echo $? >code", two, "Plomt.log",
		  "Plomt.log", gone },
		{ "a compare file from a pipe", "echo 11 | \"$@\"; echo $? >code", one, "s.log",
		  "s.log", read },
		{ "a compare file redirected from a file", "\"$@\" <d; echo $? >code", one, "s.log",
		  "s.log", read },
		{ "the log to a pipe", "echo 11 | \"$@\" | cat >out; echo $? >code", one,
		  "/dev/stdout", "out", read },
	};
	Write("d", "11\n");
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		Sh("rm -f ev code out Plomt.log s.log");
		Write("new", "9\n\n");
		Write("old", "1\n1\n");
		std::vector<std::string> args = row.args;
		args.push_back(row.log);
		std::vector<std::string> w = { "sh", "-c", row.script, "sh" };
		std::vector<std::string> tool = ToolWords(args);
		w.insert(w.end(), tool.begin(), tool.end());
		EXPECT_EQ(Exec(w).err, "");
		EXPECT_EQ(Read("code"), row.file == std::string("out") ? "0\n" : "1\n");
		EXPECT_EQ(Events("ev"), "E");
		EXPECT_EQ(Read(row.file), row.content);
		EXPECT_EQ(Read("old"), row.args == two ? "9\n\n" : "1\n1\n");
		EXPECT_EQ(Leftovers(), std::vector<std::string>{});
	}
}

// A command that cannot be started is reported; the exit code and the
// counter are as decided.
TEST_F(Sharing, CommandThatCannotStart)
{
	NEED_USERS();
	Write("d", "9\n");
	std::vector<std::string> w = Nobody();
	// A leak checker's own thread could not start at the end either.
	for (const char *s : { "env", "ASAN_OPTIONS=detect_leaks=0", "prlimit",
	    "--nproc=1:1", "--" })
		w.push_back(s);
	std::vector<std::string> tool = ToolWords({ "v=1", "D=0.5", "L=1", "d", E, R });
	w.insert(w.end(), tool.begin(), tool.end());
	Result r = Exec(w);
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "\nCommand >" + E + "< start error.\n\n");
	EXPECT_FALSE(Exists("ev"));
	EXPECT_EQ(Read("Plomt.log"), Report(1, 0, "1.000000", "9", "0.500000"));
}
