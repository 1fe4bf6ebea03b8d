// The alarm decision as scripts see it: the stored counter and this run's
// lines give the exit code, the command that runs and the new log.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

using Decision = ToolTest;

static const std::string OldLog = "3\n1\nCompare value = 1.000000\n";

// One value against 10 with a margin of 0.5: "10.2" is normal, "11" is in alarm.
static std::vector<std::string>
One(std::vector<std::string> procs)
{
	std::vector<std::string> a = { "v=10", "D=0.5", "L=1", "d" };
	a.insert(a.end(), procs.begin(), procs.end());
	return a;
}

static std::string
Normal(int count, int before)
{
	return Report(count, before, "10.000000", "10.2", "0.500000");
}

static std::string
Alarm(int count, int before)
{
	return Report(count, before, "10.000000", "11", "0.500000");
}

// The same with options put before the check.
static std::vector<std::string>
Opt(const std::string &option, std::vector<std::string> procs)
{
	std::vector<std::string> a = One(procs);
	a.insert(a.begin(), option);
	return a;
}

static std::string
Said(const std::string &cmd, const std::string &how)
{
	return "\nCommand >" + cmd + "< " + how + ".\n\n";
}

TEST_F(Decision, EveryRowOfTheTable)
{
	const std::string twoLog = "2\n1\nCompare value = 1.000000\n";
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	std::vector<Case> cases = {
		{ "0, normal: nothing runs", { { "d", "10.2\n" } }, One({ E, R }),
		  0, "", { { "Plomt.log", Normal(0, 0) } }, "" },
		{ "0, normal: the old second number is not kept",
		  { { "d", "10.2\n" }, { "Plomt.log", "0\n5\n" } }, One({ E, R }),
		  0, "", { { "Plomt.log", Normal(0, 0) } }, "" },
		{ "0, alarm: first alarm runs Err-Proc", { { "d", "11\n" } }, One({ E, R }),
		  1, "", { { "Plomt.log", Alarm(1, 0) } }, "E" },
		{ "0, alarm, Err-Proc empty", { { "d", "11\n" } }, One({ "", R }),
		  1, "", { { "Plomt.log", Alarm(1, 0) } }, "" },
		{ "0, alarm, no command given", { { "d", "11\n" } }, One({}),
		  1, "", { { "Plomt.log", Alarm(1, 0) } }, "" },
		{ "n, alarm: continue alarm runs nothing",
		  { { "d", "11\n" }, { "Plomt.log", OldLog } }, One({ E, R }),
		  2, "", { { "Plomt.log", Alarm(4, 3) } }, "" },
		{ "n, normal: return to normal runs Ret-Proc",
		  { { "d", "10.2\n" }, { "Plomt.log", OldLog } }, One({ E, R }),
		  255, "", { { "Plomt.log", Normal(0, 3) } }, "R" },
		{ "n, normal, no Ret-Proc given",
		  { { "d", "10.2\n" }, { "Plomt.log", OldLog } }, One({ E }),
		  255, "", { { "Plomt.log", Normal(0, 3) } }, "" },
		{ "0, -1, alarm: Err-Proc", { { "d", "11\n" } }, One({ E, "-1" }),
		  1, "", { { "Plomt.log", Alarm(1, 0) } }, "E" },
		{ "n, -1, alarm: Err-Proc on every alarming run",
		  { { "d", "11\n" }, { "Plomt.log", OldLog } }, One({ E, "-1" }),
		  2, "", { { "Plomt.log", Alarm(4, 3) } }, "E" },
		{ "0, -1, normal: return to normal though the counter was 0",
		  { { "d", "10.2\n" } }, One({ E, "-1" }),
		  255, "", { { "Plomt.log", Normal(0, 0) } }, "" },
		{ "n, -1, normal: no command", { { "d", "10.2\n" }, { "Plomt.log", OldLog } },
		  One({ E, "-1" }), 255, "", { { "Plomt.log", Normal(0, 3) } }, "" },
		{ "0, -10 is a command and not -1", { { "d", "10.2\n" } }, One({ E, "-10" }),
		  0, "", { { "Plomt.log", Normal(0, 0) } }, "" },
		// A failing command is said; the exit code and the counter stand.
		{ "0, alarm: Err-Proc exits 3", { { "d", "11\n" } }, One({ "exit 3", R }),
		  1, Said("exit 3", "exit status 3"), { { "Plomt.log", Alarm(1, 0) } }, "" },
		{ "n, normal: Ret-Proc exits 1",
		  { { "d", "10.2\n" }, { "Plomt.log", OldLog } }, One({ E, R + "&& exit 1" }),
		  255, Said(R + "&& exit 1", "exit status 1"), { { "Plomt.log", Normal(0, 3) } }, "R" },
	};
	if (!WindowsBuild()) {
		cases.push_back({ "0, alarm: Err-Proc killed by a signal", { { "d", "11\n" } },
		    One({ "kill -9 $$", R }), 1, Said("kill -9 $$", "ended by signal 9"),
		    { { "Plomt.log", Alarm(1, 0) } }, "" });
		cases.push_back({ "0, alarm: no such command is exit status 127",
		    { { "d", "11\n" } }, One({ "no-such-command 2>/dev/null", R }), 1,
		    Said("no-such-command 2>/dev/null", "exit status 127"),
		    { { "Plomt.log", Alarm(1, 0) } }, "" });
		cases.push_back({ "2, alarm, --after=3: the event is still the exit code's",
		    { { "d", "11\n" }, { "Plomt.log", twoLog } },
		    Opt("--after=3", { "echo $TORQUELIN_EVENT>>ev", R }), 2, "",
		    { { "Plomt.log", Alarm(3, 2) } }, "continue-alarm" });
	}
	for (const Case &c : cases)
		Check(c);
}

// A line with too few words makes the run an error unless the decision
// that follows has a result of its own; the second number is carried over.
TEST_F(Decision, WordCountErrorAndTheDecision)
{
	const std::string two = WordCount(2, "1"), none = Report(0, 5, "10.000000", "", "0.500000");
	const std::vector<std::string> three = { "v=10", "D=0.5", "L=1", "W=3", "d", E, R };
	const std::vector<std::string> pairs = { "D=0.5", "L=1", "X=1", "W=3", "new", "old", E, R };
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "0: the error stands", { { "d", "1\n" }, { "Plomt.log", "0\n5\n" } }, three,
		  5, two, { { "Plomt.log", two + none } }, "" },
		{ "n: no line compared is no return to normal: the counter stays",
		  { { "d", "1\n" }, { "Plomt.log", "3\n5\n" } }, three,
		  5, two, { { "Plomt.log", two + Report(3, 5, "10.000000", "", "0.500000") } }, "" },
		{ "0, -1: no line compared is no return to normal either",
		  { { "d", "1\n" }, { "Plomt.log", "0\n5\n" } },
		  { "v=10", "D=0.5", "L=1", "W=3", "d", E, "-1" },
		  5, two, { { "Plomt.log", two + none } }, "" },
		{ "n: the counter read past the messages: the alarm goes on",
		  { { "new", "1 20\n   \n" }, { "old", "1 9\n1 9\n" },
		    { "Plomt.log", WordCount(1, "   ") + Report(1, 0, "9.000000", "9", "0.500000") } },
		  { "D=0.5", "L=1", "X=1", "W=2", "new", "old", E, R }, 2, WordCount(1, "   "),
		  { { "Plomt.log", WordCount(1, "   ") + Report(2, 0, "9.000000", "", "0.500000") },
		    { "old", "1 20\n   \n" } }, "" },
		{ "0: an alarm on a later line makes it a first alarm",
		  { { "new", "1\n1 1 9\n" }, { "old", "1 1 1\n1 1 1\n" }, { "Plomt.log", "0\n5\n" } },
		  pairs, 1, two,
		  { { "Plomt.log", two + Report(1, 5, "1.000000", "1", "0.500000") },
		    { "old", "1\n1 1 9\n" } }, "E" },
		{ "n: an alarm on a later line continues the alarm",
		  { { "new", "1\n1 1 9\n" }, { "old", "1 1 1\n1 1 1\n" }, { "Plomt.log", "3\n5\n" } },
		  pairs, 2, two,
		  { { "Plomt.log", two + Report(4, 5, "1.000000", "1", "0.500000") },
		    { "old", "1\n1 1 9\n" } }, "" },
		{ "a short line in compare-file-2",
		  { { "new", "1 1 1\n1 1 1\n" }, { "old", "7\n1 1 1\n" } },
		  pairs, 5, WordCount(2, "7"),
		  { { "Plomt.log", WordCount(2, "7") + Report(0, 0, "1.000000", "1", "0.500000") },
		    { "old", "1 1 1\n1 1 1\n" } }, "" },
		{ "two short lines: two messages, in order, above the report",
		  { { "new", "1\n2\n" }, { "old", "1 1 1\n1 1 1\n" } },
		  pairs, 5, WordCount(2, "1") + WordCount(2, "2"),
		  { { "Plomt.log", WordCount(2, "1") + WordCount(2, "2") +
		      Report(0, 0, "0.000000", "", "0.500000") },
		    { "old", "1\n2\n" } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// The run of the tool's own example, one run after the other on the same log.
TEST_F(Decision, AlarmLifeCycle)
{
	const std::vector<std::string> args = { "L=2", "W=3", "D=0.5", "v=10", "data", E, R };
	struct Step {
		const char *line;
		int code;
		std::string ran, log;
	} steps[] = {
		{ "a 10.4 9.6", 0, "", Report(0, 0, "10.000000", "9.6", "0.500000") },
		{ "a 10.4 9.4", 1, "E", Report(1, 0, "10.000000", "9.4", "0.500000") },
		{ "a 10.4 9.4", 2, "E", Report(2, 1, "10.000000", "9.4", "0.500000") },
		{ "a 10.4 9.4", 2, "E", Report(3, 2, "10.000000", "9.4", "0.500000") },
		{ "a 10.4 9.6", 255, "ER", Report(0, 3, "10.000000", "9.6", "0.500000") },
		{ "a 10.4 9.6", 0, "ER", Report(0, 0, "10.000000", "9.6", "0.500000") },
		{ "a 10.4 9.4", 1, "ERE", Report(1, 0, "10.000000", "9.4", "0.500000") },
	};
	int n = 0;
	for (const Step &s : steps) {
		SCOPED_TRACE("step " + std::to_string(++n));
		Write("data", std::string("title line\n") + s.line + "\n");
		Result r = Run(args);
		EXPECT_EQ(r.code, s.code);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(Events("ev"), s.ran);
		EXPECT_EQ(Text("Plomt.log"), s.log);
	}
}

// With --after=3 the codes and the counter are the same; the commands
// run only at the third alarming run and at the end of such an alarm.
TEST_F(Decision, AlarmAfterThreeRuns)
{
	const struct Step {
		const char *word;
		int code;
		const char *ran;
		int count, before;
	} steps[] = {
		{ "9.4", 1, "", 1, 0 }, { "9.4", 2, "", 2, 1 }, { "9.6", 255, "", 0, 2 },
		{ "9.4", 1, "", 1, 0 }, { "9.4", 2, "", 2, 1 }, { "9.4", 2, "E", 3, 2 },
		{ "9.4", 2, "E", 4, 3 }, { "9.6", 255, "ER", 0, 4 }, { "9.6", 0, "ER", 0, 0 },
	};
	int n = 0;
	for (const Step &s : steps) {
		SCOPED_TRACE("step " + std::to_string(++n));
		Write("data", std::string("a ") + s.word + "\n");
		Result r = Run({ "--after=3", "W=2", "D=0.5", "v=10", "L=1", "data", E, R });
		EXPECT_EQ(r.code, s.code);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(Events("ev"), s.ran);
		EXPECT_EQ(Text("Plomt.log"), Report(s.count, s.before, "10.000000", s.word,
		    "0.500000"));
	}
}

// The commands learn what happened from their environment: the alarm from
// its first line in alarm, the return from the last line compared, every
// digit and the difference as decimal arithmetic has it.  The run's
// variables replace a caller's of the same name, each set once; a caller's
// other ones stay, a run variable's name in front of theirs too.
TEST_F(Decision, CommandsKnowTheRun)
{
	if (WindowsBuild())
		GTEST_SKIP() << "the commands are written for sh";
	// The environment as the command was given it, before a shell merges
	// two entries of one name.
	const std::string dump =
	    "tr '\\0' '\\n' </proc/$$/environ | grep ^TORQUELIN_ | LC_ALL=C sort >";
	const std::vector<std::string> args = { "D=0.5", "L=2", "W=2", "X=2", "new", "old",
		dump + "alarm", dump + "back", "s.log" };
	const std::string first = "h\nx 1\nx 2\nx 3\n", second = "h\nx 1.25\nx 12.5\nx 30\n";
	const std::string third = "h\nx 1.25\nx 12.5\nx 30.25\n";
	const std::string alarm =
	    "TORQUELIN_ALARM_LINES=2\nTORQUELIN_COMPARE=2\nTORQUELIN_COUNTER=1\n"
	    "TORQUELIN_COUNTER_BEFORE=0\nTORQUELIN_DIFFERENCE=10.5\n"
	    "TORQUELIN_EVENT=first-alarm\nTORQUELIN_EXIT=1\nTORQUELIN_FILE2=old\n"
	    "TORQUELIN_FILE=new\nTORQUELIN_LINE=3\nTORQUELIN_LOG=s.log\n";
	const std::string alarmRest =
	    "TORQUELIN_MARGIN=0.5\nTORQUELIN_NORMAL_LINES=1\nTORQUELIN_VALUE=12.5\n"
	    "TORQUELIN_WORD=2\n";
	struct Row {
		std::vector<std::string> caller;  // the caller's own variables
		std::string old, now, log;        // the files before the run
		int code;
		const char *dump;
		std::string vars;
	} rows[] = {
		{ {}, first, second, "0\n7\n", 1, "alarm", alarm + alarmRest },
		{ {}, second, third, "1\n0\n", 255, "back",
		  "TORQUELIN_ALARM_LINES=0\nTORQUELIN_COMPARE=30\nTORQUELIN_COUNTER=0\n"
		  "TORQUELIN_COUNTER_BEFORE=1\nTORQUELIN_DIFFERENCE=0.25\n"
		  "TORQUELIN_EVENT=return-to-normal\nTORQUELIN_EXIT=-1\nTORQUELIN_FILE2=old\n"
		  "TORQUELIN_FILE=new\nTORQUELIN_LINE=4\nTORQUELIN_LOG=s.log\n"
		  "TORQUELIN_MARGIN=0.5\nTORQUELIN_NORMAL_LINES=3\nTORQUELIN_VALUE=30.25\n"
		  "TORQUELIN_WORD=2\n" },
		{ {}, third, "h\nx 1.25\nx 12.5\nx 1765100060.4\n", "0\n7\n", 1, "alarm",
		  "TORQUELIN_ALARM_LINES=1\nTORQUELIN_COMPARE=30.25\nTORQUELIN_COUNTER=1\n"
		  "TORQUELIN_COUNTER_BEFORE=0\nTORQUELIN_DIFFERENCE=1765100030.15\n"
		  "TORQUELIN_EVENT=first-alarm\nTORQUELIN_EXIT=1\nTORQUELIN_FILE2=old\n"
		  "TORQUELIN_FILE=new\nTORQUELIN_LINE=4\nTORQUELIN_LOG=s.log\n"
		  "TORQUELIN_MARGIN=0.5\nTORQUELIN_NORMAL_LINES=2\nTORQUELIN_VALUE=1765100060.4\n"
		  "TORQUELIN_WORD=2\n" },
		{ { "TORQUELIN_LOGS=keep", "TORQUELIN_VALUE=stale", "TORQUELIN_FILE2=x",
		    "TORQUELIN_EXIT=" }, first, second, "0\n7\n", 1, "alarm",
		  alarm + "TORQUELIN_LOGS=keep\n" + alarmRest },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.dump + std::string(", the caller's ") +
		    std::to_string(row.caller.size()));
		// The caller's variables first, then the suite's environment
		// without its own TORQUELIN_ settings.
		std::vector<std::string> words = { "env", "-i" };
		words.insert(words.end(), row.caller.begin(), row.caller.end());
		for (char **e = environ; *e; e++)
			if (strncmp(*e, "TORQUELIN_", 10) != 0)
				words.push_back(*e);
		for (const std::string &w : ToolWords(args))
			words.push_back(w);
		remove(Path(row.dump).c_str());
		Write("old", row.old);
		Write("new", row.now);
		Write("s.log", row.log);
		EXPECT_EQ(Exec(words).code, row.code);
		EXPECT_EQ(Read(row.dump), row.vars);
	}
}

// The margin test: strictly greater, in decimal arithmetic on the numbers
// as written, never a NaN, and the inverse flag swapping the outcome.
TEST_F(Decision, MarginTest)
{
	struct Row {
		std::vector<std::string> opts;
		const char *word;
		int code;
	} rows[] = {
		{ { "v=10", "D=0.5" }, "9.6", 0 },
		{ { "v=10", "D=0.5" }, "9.4", 1 },
		{ { "v=10", "D=0.5", "i" }, "9.6", 1 },
		{ { "v=10", "D=0.5", "I" }, "9.4", 0 },
		// Binary arithmetic, single or double, errs either way here (the
		// unit table of Above holds the rest).
		{ { "v=10", "D=0.4" }, "10.4", 0 },
		{ { "v=0.1", "D=0.2" }, "0.3", 0 },
		{ { "v=16777216", "D=0" }, "16777217", 1 },
		{ { "v=1765100000", "D=30" }, "1765100060", 1 },
		{ { "v=1765100000", "D=30" }, "1765100030", 0 },
		{ { "v=123456789", "D=5" }, "123456795", 1 },
		{ { "v=10", "D=0.5" }, "9.5", 0 },
		{ { "v=10", "D=0.5" }, "10.5", 0 },
		{ { "v=10", "D=0.5" }, "10.50001", 1 },
		{ { "v=10", "D=0.5", "i" }, "10.5", 1 },
		{ { "v=10", "D=0" }, "10", 0 },
		{ { "v=10", "D=0" }, "10.000001", 1 },
		{ { "v=0.1", "D=0" }, "0.1", 0 },
		{ { "v=10", "D=-1" }, "10", 1 },
		{ { "v=10", "D=abc" }, "10", 0 },
		{ { "v=10", "D=abc" }, "10.1", 1 },
		{ { "v=-2.5", "D=0" }, "-2.5", 0 },
		// Words that are no decimal number read as 0, in the file and
		// on the command line.
		{ { "v=10", "D=0.5" }, "nan", 1 },
		{ { "v=0", "D=0.5" }, "nan", 0 },
		{ { "v=nan", "D=0.5" }, "10", 1 },
		{ { "v=0", "D=nan" }, "1000", 1 },
		{ { "v=inf", "D=0.5" }, "inf", 0 },
		{ { "v=26", "D=0.5" }, "0x1A", 1 },
		{ { "v=0", "D=0.5" }, "info", 0 },
		// Beyond the double range: the largest double, never a NaN.
		{ { "v=0", "D=1e300" }, "1e309", 1 },
		{ { "v=1e309", "D=0" }, "1e310", 0 },
		{ { "v=-1e309", "D=1e308" }, "1e309", 1 },
	};
	for (const Row &row : rows) {
		std::vector<std::string> args = row.opts;
		args.insert(args.end(), { "L=1", "data", E, R });
		// The log's lines are the status log's tables to pin.
		Check({ std::string(row.word) + " " + row.opts[0] + " " + row.opts[1],
		    { { "data", std::string(row.word) + "\n" } }, args, row.code, "",
		    { { "Plomt.log", Any } }, row.code == 1 ? "E" : "" });
	}
}

// A socket bound at /dev/log for one test, where the machine has none.  It
// hears every run on the machine: a test keeps the lines naming its log.
struct DevLog {
	int fd = -1;
	~DevLog()
	{
		if (fd >= 0 && close(fd) == 0)
			unlink("/dev/log");
	}
	// The lines heard that hold mark, as "<priority>text".
	std::vector<std::string> Take(const std::string &mark)
	{
		std::vector<std::string> lines;
		char buf[4096];
		ssize_t n;
		while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
			std::string m(buf, n);
			if (m.find(mark) != std::string::npos && m.find("]: ") != std::string::npos)
				lines.push_back(m.substr(0, m.find('>') + 1) + m.substr(m.find("]: ") + 3));
		}
		return lines;
	}
};

// The system log hears the runs that begin or end a notified alarm, the
// runs that end in error and the commands that fail: one line each, with
// the user facility's warning (12), error (11) or notice (13).
TEST_F(Decision, TransitionsInTheSystemLog)
{
	struct sockaddr_un a = {};
	DevLog heard;
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, "/dev/log");
	if (WindowsBuild() || geteuid() != 0 || access(a.sun_path, F_OK) == 0)
		GTEST_SKIP() << "needs root, a POSIX build, and no /dev/log of the machine's";
	int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
	ASSERT_EQ(bind(fd, (struct sockaddr *)&a, sizeof a), 0) << strerror(errno);
	heard.fd = fd;
	const std::string log = Path("s.log"), in = ": log >" + log + "< value ";
	const std::string at = in + "11 compare 10 margin 0.5 line 1";
	struct Row {
		std::string option, err, ret, value;
		int code;
		std::vector<std::string> lines;
	} rows[] = {
		{ "L=1", "", R, "11", 1, { "<12>First Alarm" + at } },
		{ "L=1", "", R, "11", 2, {} },
		{ "L=1", E, R, "10.25", 255,
		  { "<13>Return to Normal" + in + "10.25 compare 10 margin 0.5 line 1" } },
		{ "L=1", "exit 3", R, "11", 1,
		  { "<12>First Alarm" + at, "<11>Command >exit 3< exit status 3" + at } },
		{ "L=3", E, R, "11", 5, { "<11>Error return: log >" + log + "< no value margin 0.5 line 3" } },
		{ "--no-syslog", E, R, "10", 255, {} },
		{ "--after=2", E, R, "11", 1, {} },
		{ "--after=2", E, R, "10", 255, {} },
		{ "--after=2", E, R, "11", 1, {} },
		{ "--after=2", E, R, "11", 2, { "<12>Continue Alarm, run 2" + at } },
		{ "--after=2", E, "-1", "11", 2, { "<12>Continue Alarm, run 3" + at } },
		{ "--after=3", E, "-1", "10", 255,
		  { "<13>Return to Normal" + in + "10 compare 10 margin 0.5 line 1" } },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.option + " " + row.err + " " + row.value);
		Write("d", row.value + "\n");
		std::vector<std::string> args = { row.option, "v=10", "D=0.5", "d", row.err, row.ret, log };
		if (row.option[0] == '-')
			args.insert(args.begin() + 1, "L=1");
		Result r = Run(args);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(heard.Take(">" + log + "<"), row.lines);
	}
}
