// Runs among other users and other runs: links another user planted, files
// that cannot be replaced without changing them, temporaries after a
// signal, locks, streams that are gone and commands that cannot start.
#include <csignal>
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

// A link in a sticky directory that all may write is followed only when it
// is the runner's or the directory owner's: another user cannot point a
// run at a file of their choosing, existing or not.
TEST_F(Sharing, LinksAnotherUserPlanted)
{
	NEED_USERS();
	const std::string refused = "refused";
	struct Row {
		const char *what;
		const char *dir;      // made by root with this mode
		int mode;
		const char *owner;    // "nobody" or "" (root) makes the link
		const char *runner;   // "nobody" or "" (root) runs the tool
		bool log;             // the link is the log, else file-2
		const char *target;   // what the link names, from dir
		std::string result;   // target's content after, or refused
	} rows[] = {
		{ "another user's log link", "stk", 01777, "nobody", "", true, "../t", refused },
		{ "another user's dangling log link", "stk", 01777, "nobody", "", true, "../made", refused },
		{ "another user's file-2 link", "stk", 01777, "nobody", "", false, "../t", refused },
		{ "the runner's own link", "stk", 01777, "", "", true, "../t",
		  Report(1, 0, "1.000000", "9", "0.500000") },
		{ "the directory owner's link, run by another user", "stk", 01777, "", "nobody",
		  true, "../t", Report(1, 0, "1.000000", "9", "0.500000") },
		{ "another user's link, directory not sticky", "open", 0777, "nobody", "", true,
		  "../t", Report(1, 0, "1.000000", "9", "0.500000") },
	};
	int n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string c = "r" + std::to_string(n++), d = c + "/" + row.dir;
		MakeDir(c);
		MakeDir(d);
		chmod(Path(c).c_str(), 0777);
		chmod(Path(d).c_str(), row.mode);
		Write(c + "/t", "0\n");
		chmod(Path(c + "/t").c_str(), 0666);
		Write(c + "/new", "9\n");
		std::string link = d + (row.log ? "/x.log" : "/old");
		std::string ln = "ln -s " + std::string(row.target) + " " + link;
		ASSERT_EQ(Sh(*row.owner ? "setpriv --reuid=65534 --regid=65534 --clear-groups " + ln : ln), 0);

		std::vector<std::string> args = { "v=1", "D=0.5", "L=1", "new", E, R, link.substr(c.size() + 1) };
		if (!row.log)
			args = { "D=0.5", "L=1", "new", link.substr(c.size() + 1), E, R, "s.log" };
		Result r = As(row.runner, args, c);
		if (row.result == refused) {
			EXPECT_EQ(r.err, row.log ? LogOpenError : CopyError(link.substr(c.size() + 1)));
			EXPECT_EQ(r.code, row.log ? 5 : 1);
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
		std::string c = "r" + std::to_string(n++);
		MakeDir(c);
		chmod(Path(c).c_str(), 0777);
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

// No temporary file outlives a run that a signal ends; the log is the old
// one or the new one, whole.  SIGKILL cannot be caught: it may only find
// a temporary in the instant it has a name, between its link and the
// rename, when it is already whole.
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
				EXPECT_TRUE(Read(f) == big || Read(f).find("Difference") !=
				    std::string::npos) << f << " is not whole";
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
