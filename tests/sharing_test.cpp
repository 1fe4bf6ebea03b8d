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

// A link on the way to a file the run writes is followed only when it is
// root's or the runner's: nobody else can point a run at a file of their
// choosing, existing or not, in any directory.  A compare file is read
// through any link but another user's in a sticky directory that all may
// write.
TEST_F(Sharing, LinksAnotherUserPlanted)
{
	NEED_USERS();
	const std::string refused = "refused", unread = "unread";
	const std::string made = Report(1, 0, "1.000000", "9", "0.500000");
	struct Row {
		const char *what;
		const char *dir;      // made by root with this mode and group
		int mode;
		const char *owner;    // "nobody" or "" (root) makes the link
		const char *runner;   // "nobody" or "" (root) runs the tool
		bool log;             // the link is the log, else file-2
		const char *target;   // what the link names, from dir
		std::string result;   // target's content after, refused or unread
	} rows[] = {
		{ "another user's log link", "stk", 01777, "nobody", "", true, "../t", refused },
		{ "another user's dangling log link", "stk", 01777, "nobody", "", true, "../made", refused },
		{ "another user's log link, directory not sticky", "open", 0777, "nobody", "", true,
		  "../t", refused },
		{ "another user's log link in a group's directory", "grp", 02775, "4242", "", true,
		  "../t", refused },
		{ "another user's dangling link in a group's directory", "grp", 02775, "4242", "",
		  true, "../made", refused },
		{ "another user's file-2 link, not sticky", "open", 0777, "nobody", "", false, "../t",
		  refused },
		{ "another user's file-2 link in a sticky directory is not even read", "stk", 01777,
		  "nobody", "", false, "../t", unread },
		{ "the runner's own link", "stk", 01777, "", "", true, "../t", made },
		{ "root's link, run by another user", "stk", 01777, "", "nobody", true, "../t", made },
		{ "the runner's own link in a group's directory", "grp", 02775, "4242", "4242", true,
		  "../t", made },
	};
	int n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string c = Room(n++), d = c + "/" + row.dir;
		MakeDir(d);
		if (std::string(row.dir) == "grp") {
			ASSERT_EQ(chown(Path(d).c_str(), 0, 4242), 0);
		}
		chmod(Path(d).c_str(), row.mode);
		Write(c + "/t", "0\n");
		chmod(Path(c + "/t").c_str(), 0666);
		Write(c + "/new", "9\n");
		std::string link = d + (row.log ? "/x.log" : "/old");
		std::string ln = "ln -s " + std::string(row.target) + " " + link;
		ASSERT_EQ(Sh(*row.owner ? "setpriv --reuid=65534 --regid=65534 " +
		    std::string(strcmp(row.owner, "nobody") ? "--groups=4242 " : "--clear-groups ") +
		    ln : ln), 0);

		const std::string name = link.substr(c.size() + 1);
		std::vector<std::string> args = { "v=1", "D=0.5", "L=1", "new", E, R, name };
		if (!row.log)
			args = { "D=0.5", "L=1", "new", name, E, R, "s.log" };
		Result r = As(row.runner, args, c);
		if (row.result == refused || row.result == unread) {
			EXPECT_EQ(r.err, row.log ? LogOpenError : row.result == unread ?
			    OpenError(name) + CopyError(name) : CopyError(name));
			EXPECT_EQ(r.code, row.log || row.result == unread ? 5 : 1);
			EXPECT_EQ(Read(c + "/t"), "0\n");
			EXPECT_FALSE(Exists(c + "/made"));
		} else {
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(r.code, 1);
			EXPECT_EQ(Read(c + "/t"), row.result);
		}
		EXPECT_EQ(LinkText(Path(link)), row.target);
		EXPECT_EQ(Leftovers(), std::vector<std::string>{});
	}
}

// Where replacing a file would change its owner or group, it is written
// in place, and every run still counts.  Names as long as the system
// allows work.
TEST_F(Sharing, FilesThatCannotBeReplacedAreWrittenInPlace)
{
	NEED_USERS();
	const std::string longName(255, 'n');
	struct Row {
		const char *what;
		const char *setup;    // shell commands in the case directory, as root
		const char *runner;   // "nobody", a group for nobody, or "" (root)
		std::string log, old; // the log and file-2
		int uid, gid;         // the log's owner and group after
	} rows[] = {
		{ "a group's log, written by another member",
		  "mkdir ops && chgrp 4242 ops && chmod 2775 ops && touch ops/s.log && "
		  "chgrp 4242 ops/s.log && chmod 664 ops/s.log", "4242", "ops/s.log", "old", 0, 4242 },
		{ "another user's open log in a sticky directory",
		  "mkdir stk && chmod 1777 stk && touch stk/s.log && chmod 666 stk/s.log",
		  "nobody", "stk/s.log", "old", 0, 0 },
		{ "names of 255 bytes", "true", "", longName, std::string(255, 'o'), 0, 0 },
	};
	int n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string c = Room(n++);
		ASSERT_EQ(Sh("cd " + c + " && " + row.setup), 0);
		std::vector<std::string> args = { "D=0.5", "L=1", "new", row.old, E, R, row.log };
		std::string old = c + "/" + row.old;
		ino_t ino = Stat(c + "/" + row.log).st_ino;
		for (int run = 1; run <= 2; run++) {
			Write(c + "/new", run == 1 ? "9\n" : "1\n");
			if (run == 1 && !Exists(old))
				Write(old, "1\n");
			if (run == 1)
				chmod(Path(old).c_str(), 0666);
			Result r = As(row.runner, args, c);
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(r.code, run);
			EXPECT_EQ(Read(old), run == 1 ? "9\n" : "1\n");
		}
		EXPECT_EQ(Events(c + "/ev"), "E");
		EXPECT_EQ(Read(c + "/" + row.log), Report(2, 1, "9.000000", "9", "0.500000"));
		struct stat st = Stat(c + "/" + row.log);
		EXPECT_EQ((int)st.st_uid, row.uid);
		EXPECT_EQ((int)st.st_gid, row.gid);
		if (ino != 0) {
			EXPECT_EQ(st.st_ino, ino);  // written in place
		}
		EXPECT_EQ(Leftovers(), std::vector<std::string>{});
	}
}

// A file that another user planted where the run's file belongs is not
// the run's to read or write: a log planted in a sticky directory, or a
// hard link to someone else's file in a directory others can write, is a
// log that cannot be opened, and such a file-2 a copy that fails.  Nothing
// is read from them and nothing is written into them.
TEST_F(Sharing, PlantedFilesAreRefused)
{
	NEED_USERS();
	const std::string root = "0\nroot's own\n";
	struct Row {
		const char *what;
		const char *setup;     // shell commands in the case directory, as root
		const char *runner;    // "nobody" or "" (root)
		const char *log, *old; // the names the run is given
		const char *planted;   // the file planted, its content before and after
		std::string content;
	} rows[] = {
		{ "another user's log in a sticky directory",
		  "mkdir stk && chmod 1777 stk && setpriv --reuid=65534 --regid=65534 "
		  "--clear-groups sh -c 'printf \"7\\n7\\n\" >stk/s.log'", "", "stk/s.log", "old",
		  "stk/s.log", "7\n7\n" },
		{ "another user's open file-2 in a sticky directory",
		  "mkdir stk && chmod 1777 stk && setpriv --reuid=65534 --regid=65534 "
		  "--clear-groups sh -c 'echo 1 >stk/old; chmod 666 stk/old'", "", "s.log",
		  "stk/old", "stk/old", "1\n" },
		{ "root's log in a sticky directory of a third user, run by nobody",
		  "mkdir stk && chown 4243 stk && chmod 1777 stk && touch stk/s.log && "
		  "chmod 666 stk/s.log", "nobody", "stk/s.log", "old", "stk/s.log", "" },
		{ "a hard link to root's file as the log, in a sticky directory",
		  "mkdir stk && chmod 1777 stk && ln secret stk/s.log", "", "stk/s.log", "old",
		  "secret", root },
		{ "a hard link to root's file as file-2, in a plain directory others can write",
		  "mkdir open && chmod 777 open && ln secret open/old", "", "s.log", "open/old",
		  "secret", root },
	};
	int n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string c = Room(n++);
		Write(c + "/secret", root);
		chmod(Path(c + "/secret").c_str(), 0640);
		Write(c + "/new", "9\n");
		chmod(Path(c + "/new").c_str(), 0644);
		ASSERT_EQ(Sh("cd " + c + " && " + row.setup), 0);
		bool log = std::string(row.old) == "old";
		if (log) {
			Write(c + "/old", "1\n");
			chmod(Path(c + "/old").c_str(), 0666);
		}
		Result r = As(row.runner, { "D=0.5", "L=1", "new", row.old, E, R, row.log }, c);
		EXPECT_EQ(r.err, log ? LogOpenError : CopyError(row.old));
		EXPECT_EQ(r.code, log ? 5 : 1);
		EXPECT_EQ(Read(c + "/" + row.planted), row.content);
		EXPECT_EQ(Events(c + "/ev"), log ? "" : "E");
		EXPECT_EQ(Leftovers(), std::vector<std::string>{});
	}
}

// A file replaced keeps what it is besides its data: its access list and
// the user's extended attributes; a file the system will not let go of (a
// mount point) is written where it is.  Runs count on through it.
TEST_F(Sharing, ReplacementKeepsWhatTheFileIs)
{
	NEED_USERS();
	struct Row {
		const char *what;
		const char *needs;   // a command that must exist
		const char *setup;   // shell commands in the case directory, as root
		const char *runner;  // who runs the second run: "nobody" or "" (root)
		const char *show;    // a shell command whose output must not change
		const char *mount;   // the mount point made, to be let go
	} rows[] = {
		{ "an access list for another user", "setfacl",
		  "touch s.log && chmod 600 s.log && setfacl -m u:nobody:rw s.log", "nobody",
		  "getfacl -cp s.log", nullptr },
		{ "an extended attribute of the user's", "setfattr",
		  "touch s.log && setfattr -n user.torquelin -v kept s.log", "",
		  "getfattr -d s.log", nullptr },
		{ "a log that is a mount point", "mount",
		  "touch real s.log && mount --bind real s.log", "", "stat -c %i s.log", "s.log" },
		{ "a file-2 that is a mount point", "mount",
		  "printf '1\\n' >real && touch old && mount --bind real old", "",
		  "stat -c %i old", "old" },
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
		if (!Exists(c + "/old"))
			Write(c + "/old", "1\n");
		chmod(Path(c + "/old").c_str(), 0666);
		std::string show = "cd " + c + " && " + row.show + " >>shown";
		ASSERT_EQ(Sh(show), 0);
		const std::vector<std::string> args = { "D=0.5", "L=1", "new", "old", E, R, "s.log" };
		for (int run = 1; run <= 2; run++) {
			Write(c + "/new", run == 1 ? "9\n" : "1\n");
			Result r = As(run == 1 ? "" : row.runner, args, c);
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(r.code, run);
			EXPECT_EQ(Read(c + "/old"), run == 1 ? "9\n" : "1\n");
		}
		EXPECT_EQ(Read(c + "/s.log"), Report(2, 1, "9.000000", "9", "0.500000"));
		ASSERT_EQ(Sh(show), 0);
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
// copy are as ever, and the log holds each message once.
TEST_F(Sharing, StreamsThatAreGone)
{
	if (WindowsBuild())
		GTEST_SKIP() << "needs POSIX descriptors";
	const std::string log = WordCount(0, "") + Report(1, 0, "1.000000", "", "0.500000");
	struct Row {
		const char *what, *script;  // the tool is "$@"
	} rows[] = {
		{ "a pipe without a reader", "(sleep 0.3; \"$@\"; echo $? >code) 2>&1 | true" },
		{ "all three closed", "\"$@\" <&- >&- 2>&-; echo $? >code" },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		Sh("rm -f ev code Plomt.log");
		Write("new", "9\n\n");
		Write("old", "1\n1\n");
		std::vector<std::string> w = { "sh", "-c", row.script, "sh" };
		std::vector<std::string> tool =
		    ToolWords({ "D=0.5", "L=1", "X=1", "new", "old", E, R });
		w.insert(w.end(), tool.begin(), tool.end());
		Exec(w);
		EXPECT_EQ(Read("code"), "1\n");
		EXPECT_EQ(Events("ev"), "E");
		EXPECT_EQ(Read("Plomt.log"), log);
		EXPECT_EQ(Read("old"), "9\n\n");
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
