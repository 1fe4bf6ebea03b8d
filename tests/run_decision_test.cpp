// The alarm decision as scripts see it: the stored counter and this run's
// lines give the exit code, the command that runs and the new log.
#include <string>
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

TEST_F(Decision, EveryRowOfTheTable)
{
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
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
	};
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

// The commands learn what happened from their environment: the alarm from
// its first line in alarm, the return from the last line compared.
TEST_F(Decision, CommandsKnowTheRun)
{
	if (WindowsBuild())
		GTEST_SKIP() << "the commands are written for sh";
	const std::string dump = "env | grep ^TORQUELIN_ | LC_ALL=C sort >";
	const std::vector<std::string> args = { "D=0.5", "L=2", "W=2", "X=2", "new", "old",
		dump + "alarm", dump + "back", "s.log" };
	Write("old", "h\nx 1\nx 2\nx 3\n");
	Write("new", "h\nx 1.25\nx 12.5\nx 30\n");
	Write("s.log", "0\n7\n");
	EXPECT_EQ(Run(args).code, 1);
	EXPECT_EQ(Read("alarm"),
	    "TORQUELIN_ALARM_LINES=2\nTORQUELIN_COMPARE=2\nTORQUELIN_COUNTER=1\n"
	    "TORQUELIN_COUNTER_BEFORE=0\nTORQUELIN_DIFFERENCE=10.5\n"
	    "TORQUELIN_EVENT=first-alarm\nTORQUELIN_EXIT=1\nTORQUELIN_FILE2=old\n"
	    "TORQUELIN_FILE=new\nTORQUELIN_LINE=3\nTORQUELIN_LOG=s.log\n"
	    "TORQUELIN_MARGIN=0.5\nTORQUELIN_NORMAL_LINES=1\nTORQUELIN_VALUE=12.5\n"
	    "TORQUELIN_WORD=2\n");
	Write("new", "h\nx 1.25\nx 12.5\nx 30.25\n");
	EXPECT_EQ(Run(args).code, 255);
	EXPECT_EQ(Read("back"),
	    "TORQUELIN_ALARM_LINES=0\nTORQUELIN_COMPARE=30\nTORQUELIN_COUNTER=0\n"
	    "TORQUELIN_COUNTER_BEFORE=1\nTORQUELIN_DIFFERENCE=0.25\n"
	    "TORQUELIN_EVENT=return-to-normal\nTORQUELIN_EXIT=-1\nTORQUELIN_FILE2=old\n"
	    "TORQUELIN_FILE=new\nTORQUELIN_LINE=4\nTORQUELIN_LOG=s.log\n"
	    "TORQUELIN_MARGIN=0.5\nTORQUELIN_NORMAL_LINES=3\nTORQUELIN_VALUE=30.25\n"
	    "TORQUELIN_WORD=2\n");
	// Every digit, and the difference as decimal arithmetic has it.
	Write("new", "h\nx 1.25\nx 12.5\nx 1765100060.4\n");
	EXPECT_EQ(Run(args).code, 1);
	EXPECT_EQ(Read("alarm"),
	    "TORQUELIN_ALARM_LINES=1\nTORQUELIN_COMPARE=30.25\nTORQUELIN_COUNTER=1\n"
	    "TORQUELIN_COUNTER_BEFORE=0\nTORQUELIN_DIFFERENCE=1765100030.15\n"
	    "TORQUELIN_EVENT=first-alarm\nTORQUELIN_EXIT=1\nTORQUELIN_FILE2=old\n"
	    "TORQUELIN_FILE=new\nTORQUELIN_LINE=4\nTORQUELIN_LOG=s.log\n"
	    "TORQUELIN_MARGIN=0.5\nTORQUELIN_NORMAL_LINES=2\nTORQUELIN_VALUE=1765100060.4\n"
	    "TORQUELIN_WORD=2\n");
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
		// Binary arithmetic, single or double, errs either way here.
		{ { "v=10", "D=0.4" }, "10.4", 0 },
		{ { "v=10", "D=0.4" }, "9.6", 0 },
		{ { "v=10", "D=0.3999999999" }, "10.4", 1 },
		{ { "v=0.1", "D=0.2" }, "0.3", 0 },
		{ { "v=0.1", "D=0.1999999999" }, "0.3", 1 },
		{ { "v=16777216", "D=0" }, "16777217", 1 },
		{ { "v=1765100000", "D=30" }, "1765100060", 1 },
		{ { "v=1765100000", "D=30" }, "1765100030", 0 },
		{ { "v=123456789", "D=5" }, "123456795", 1 },
		{ { "v=1e12", "D=29999" }, "1.00000003e12", 1 },
		{ { "v=1e12", "D=3e4" }, "1.00000003e12", 0 },
		{ { "v=1e39", "D=0" }, "1e40", 1 },
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
