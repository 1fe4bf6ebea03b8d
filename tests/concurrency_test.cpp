// Runs that overlap on one status log, as two cron entries or a slow run
// and the next one do: they must count as if they had run one after the
// other, and a command that hangs must hold up no other run.
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

class Overlap : public ToolTest {
protected:
	void TearDown() override
	{
		for (pid_t pid : pids_) {
			kill(-pid, SIGKILL);
			waitpid(pid, nullptr, 0);
		}
		ToolTest::TearDown();
	}

	// Starts the tool in the test directory, output to files named after
	// index; given a gate, the run waits until the gate opens.
	pid_t Start(const std::vector<std::string> &args, int index,
	    const int *gate = nullptr)
	{
		pid_t pid = Spawn(ToolWords(args), dir_,
		    scratch_ + "/out." + std::to_string(index),
		    scratch_ + "/err." + std::to_string(index), nullptr, gate);
		if (pid > 0)
			pids_.push_back(pid);
		return pid;
	}

	// Waits for pid for at most seconds; -1 when it had to be killed.
	int Finish(pid_t pid, int seconds = 60)
	{
		int code = Reap(pid, seconds);
		for (size_t i = 0; i < pids_.size(); i++)
			if (pids_[i] == pid)
				pids_.erase(pids_.begin() + i);
		return code;
	}

	std::string Output(const char *stream, int index) const
	{
		return Slurp(scratch_ + "/" + stream + "." + std::to_string(index));
	}

	std::vector<pid_t> pids_;
};

// Twenty alarming runs let loose at once on a fresh log: exactly one is the
// first alarm and runs the alarm command, the others continue it, and the
// counter holds every one of them.  A log reached through a symbolic link,
// or through a linked directory, from elsewhere is the same log.
TEST_F(Overlap, SimultaneousAlarmsCountOneAfterTheOther)
{
	const int Runs = 20;
	struct Row {
		const char *what;
		const char *log;      // where the log really is
		const char *other;    // the name every second run uses
		bool fileLink;        // other is a symbolic link to the log
		std::vector<std::string> left, leftInSub;
		bool contender;       // another user tries to lock the log all along
	} rows[] = {
		{ "one name", "Plomt.log", "Plomt.log", false,
		  { "Plomt.log", "dirlink", "errproc.out", "in.txt", "link.log", "sub" }, {}, false },
		{ "one name, another user trying to lock it", "Plomt.log", "Plomt.log", false,
		  { "Plomt.log", "dirlink", "errproc.out", "in.txt", "link.log", "sub" }, {}, true },
		{ "link from elsewhere", "sub/real.log", "link.log", true,
		  { "dirlink", "errproc.out", "in.txt", "link.log", "sub" }, { "real.log" }, false },
		{ "linked directory", "sub/real.log", "dirlink/real.log", false,
		  { "dirlink", "errproc.out", "in.txt", "link.log", "sub" }, { "real.log" }, false },
	};

	ASSERT_EQ(mkdir(Path("sub").c_str(), 0777), 0);
	ASSERT_EQ(symlink("sub/real.log", Path("link.log").c_str()), 0);
	ASSERT_EQ(symlink("sub", Path("dirlink").c_str()), 0);
	Write("in.txt", "5\n");
	for (const Row &row : rows) {
		if (row.fileLink && WindowsBuild()) {
			std::cout << "[ SKIPPED  ] " << row.what << ": Wine shows a Linux"
			    " symbolic link to a file as a plain file, which the run replaces\n";
			continue;
		}
		if (row.contender && (WindowsBuild() || geteuid() != 0)) {
			std::cout << "[ SKIPPED  ] " << row.what << ": needs root and"
			    " POSIX locks\n";
			continue;
		}
		// Each round is a fresh race; a few of them make a lost count show.
		for (int round = 0; round < 5; round++) {
			SCOPED_TRACE(std::string(row.what) + ", round " + std::to_string(round));
			unlink(Path(row.log).c_str());
			unlink(Path("errproc.out").c_str());
			// Started before the gate, which it must not hold open.
			pid_t contender = -1;
			if (row.contender) {
				chmod(scratch_.c_str(), 0711);
				chmod(dir_.c_str(), 0777);
				contender = Spawn({ "setpriv", "--reuid=65534", "--regid=65534",
				    "--clear-groups", "sh", "-c", "while :; do { flock -n 9 &&"
				    " sleep 30; } 9<" + std::string(row.log) + "; sleep 0.01;"
				    " done 2>/dev/null" }, dir_,
				    "/dev/null", "/dev/null");
			}
			int gate[2];
			ASSERT_EQ(pipe(gate), 0);
			std::vector<pid_t> pids;
			for (int i = 0; i < Runs; i++)
				pids.push_back(Start({ "v=0", "d=1", "l=1", "w=1", "in.txt",
				    "echo ran >>errproc.out", "", i % 2 ? row.other : row.log },
				    i, gate));
			close(gate[0]);
			close(gate[1]);
			std::map<int, int> codes;
			for (int i = 0; i < Runs; i++) {
				ASSERT_GT(pids[i], 0);
				codes[Finish(pids[i])]++;
				EXPECT_EQ(Output("out", i), "");
				EXPECT_EQ(Output("err", i), "");
			}
			if (contender > 0) {
				kill(-contender, SIGKILL);
				waitpid(contender, nullptr, 0);
			}
			EXPECT_EQ(codes[1], 1);
			EXPECT_EQ(codes[2], Runs - 1);
			EXPECT_EQ(Events("errproc.out"), "ran");
			EXPECT_EQ(Text(row.log), Report(20, 19, "0.000000", "5", "1.000000"));
			EXPECT_EQ(List(), row.left);
			EXPECT_EQ(List("sub"), row.leftInSub);
			if (::testing::Test::HasFailure())
				return;
		}
		unlink(Path(row.log).c_str());
	}
	EXPECT_TRUE(List("sub").empty());
}

// An alarm command that never ends holds up neither the next run on the same
// log nor the log itself: the next run counts on, and the hung run, once let
// go, changes the log no more.  The command waits for a file "go"; cmd has
// no sleep of its own, so the batch file waits with ping, a second at a
// time, and gives up after two minutes should the test not end it.
TEST_F(Overlap, HungCommandBlocksNoOtherRun)
{
	std::string hang = "touch started; while [ ! -f go ]; do sleep 0.05; done";
	std::vector<std::string> left = { "Plomt.log", "go", "in.txt", "started" };

	if (WindowsBuild()) {
		Write("hang.bat", "@echo off\r\necho x>started\r\nset n=0\r\n"
		    ":wait\r\nif exist go exit /b 0\r\nset /a n+=1\r\n"
		    "if %n% gtr 120 exit /b 1\r\nping -n 2 127.0.0.1 >nul\r\n"
		    "goto wait\r\n");
		hang = "hang.bat";
		left.insert(left.begin() + 2, "hang.bat");
	}
	Write("in.txt", "5\n");
	std::vector<std::string> args = { "v=0", "d=1", "l=1", "w=1", "in.txt",
	    hang, "" };

	pid_t first = Start(args, 0);
	ASSERT_GT(first, 0);
	for (int i = 0; i < 10000 && !Exists("started"); i++)
		usleep(2000);
	ASSERT_TRUE(Exists("started"));
	const std::string second = Report(2, 1, "0.000000", "5", "1.000000");
	EXPECT_EQ(Text("Plomt.log"), Report(1, 0, "0.000000", "5", "1.000000"));

	Result r = Run({ "v=0", "d=1", "l=1", "w=1", "in.txt", "", "" });
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(r.code, 2);
	EXPECT_EQ(Text("Plomt.log"), second);

	Write("go", "");
	EXPECT_EQ(Finish(first), 1);
	EXPECT_EQ(Output("err", 0), "");
	EXPECT_EQ(Text("Plomt.log"), second);
	EXPECT_EQ(List(), left);
}

// With --timeout a command that hangs is ended, with all it started, and
// said; the exit code and the log are as decided.  A Windows build cannot
// end what system() started and refuses the option.
TEST_F(Overlap, HungCommandEndsAtTheTimeout)
{
	const std::string hang = "sleep 100 & echo $! >pid; sleep 100";
	Write("in.txt", "5\n");
	Result r = Run({ "--timeout=1", "v=0", "L=1", "in.txt", hang, "" }, Input::Closed, "", 60);
	EXPECT_FALSE(r.hung);
	if (WindowsBuild()) {
		EXPECT_EQ(r.err, "\n Parameter error>--timeout=1<\n");
		return;
	}
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "\nCommand >" + hang + "< timed out after 1 s.\n\n");
	EXPECT_EQ(Read("Plomt.log"), Report(1, 0, "0.000000", "5", "0.000000"));
	// The background sleep was in the command's group: gone, or a zombie.
	ASSERT_GT(atoi(Read("pid").c_str()), 0);
	std::string stat = "/proc/" + std::to_string(atoi(Read("pid").c_str())) + "/stat";
	auto gone = [&stat] {
		std::string s = Slurp(stat);
		return s.empty() || s.find(") Z ") != std::string::npos;
	};
	for (int i = 0; i < 2500 && !gone(); i++)
		usleep(2000);
	EXPECT_TRUE(gone()) << Slurp(stat);
}

// The lock is the log's own, and held only from reading the counter to
// putting the new log in place.  A run that reads a compare file that is
// a pipe with no data yet holds nothing: a run on the same log goes on at
// once.  A process that holds a.log's lock (as only one that can open it
// can) holds up a run on a.log for 10 s, then it goes on without the
// lock, while a run on b.log in the same folder goes on at once.
TEST_F(Overlap, LockIsTheLogsOwn)
{
	ASSERT_EQ(mkfifo(Path("slow.txt").c_str(), 0644), 0);
	// A writer from the start, so that opening the pipe does not wait.
	int fifo = open(Path("slow.txt").c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_GE(fifo, 0);
	Write("c.txt", "11\n");
	pid_t reader = Start({ "v=10", "D=0.5", "L=1", "W=1", "slow.txt", "", "",
	    "a.log" }, 0);
	for (int i = 0; i < 10000 && reader > 0 && !Exists("a.log"); i++)
		usleep(2000);
	const std::string waited = "\nLog file >a.log< still locked after 10 s, going on"
	    " without the lock.\n\n";
	struct Row {
		std::string log;
		bool held;       // a.log's lock is held by another process
		int code;
		std::string err, after;
	} rows[] = {
		{ "a.log", false, 1, "", Report(1, 0, "10.000000", "11", "0.500000") },
		{ "b.log", true, 1, "", Report(1, 0, "10.000000", "11", "0.500000") },
		{ "a.log", true, 2, waited, Report(2, 1, "10.000000", "11", "0.500000") },
	};
	int held = -1;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.log + (row.held ? ", a.log held" : ""));
		if (row.held && WindowsBuild()) {
			std::cout << "[ SKIPPED  ] a lock another process holds: a Windows"
			    " build locks a named mutex, not the file\n";
			continue;
		}
		if (row.held && held < 0) {
			held = open(Path("a.log").c_str(), O_RDONLY | O_CLOEXEC);
			ASSERT_EQ(flock(held, LOCK_EX), 0);
		}
		Result r = Run({ "v=10", "D=0.5", "L=1", "W=1", "c.txt", "", "", row.log });
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(Text(row.log), row.after);
	}
	if (held >= 0)
		close(held);
	// The line it waits for, and no end of the pipe: the run needs no more.
	EXPECT_EQ(write(fifo, "10.2\n", 5), 5);
	ASSERT_GT(reader, 0);
	EXPECT_EQ(Finish(reader), 255);
	close(fifo);
	EXPECT_EQ(Output("err", 0), "");
	EXPECT_EQ(Text("a.log"), Report(0, WindowsBuild() ? 1 : 2, "10.000000", "10.2",
	    "0.500000"));
	// b.log is made only by a row a Windows build skips.
	std::vector<std::string> left = { "a.log", "b.log", "c.txt", "slow.txt" };
	if (WindowsBuild())
		left.erase(left.begin() + 1);
	EXPECT_EQ(List(), left);
}
